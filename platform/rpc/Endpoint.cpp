#include "platform/rpc/Endpoint.h"

#include <charconv>

namespace qor::rpc {

std::optional<TcpEndpoint> ParseTcpEndpoint(std::string_view text) {
  if (text.starts_with("tcp://")) {
    text.remove_prefix(6);
  } else if (text.starts_with("tcp:")) {
    text.remove_prefix(4);
  } else {
    return std::nullopt;
  }
  TcpEndpoint endpoint;
  std::string_view portText;
  if (!text.empty() && text.front() == '[') {
    size_t close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') return std::nullopt;
    endpoint.host = std::string(text.substr(1, close - 1));
    portText = text.substr(close + 2);
  } else {
    size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    endpoint.host = std::string(text.substr(0, colon));
    // An unbracketed IPv6 address is ambiguous with the port separator.
    if (endpoint.host.find(':') != std::string::npos) return std::nullopt;
    portText = text.substr(colon + 1);
  }
  if (endpoint.host.empty() || portText.empty() || portText.size() > 5) return std::nullopt;
  unsigned port = 0;
  auto [end, error] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
  if (error != std::errc() || end != portText.data() + portText.size() || port > 65535) return std::nullopt;
  endpoint.port = static_cast<uint16_t>(port);
  return endpoint;
}

std::string FormatTcpEndpoint(const std::string& host, uint16_t port) {
  bool v6 = host.find(':') != std::string::npos;
  return "tcp://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

}  // namespace qor::rpc
