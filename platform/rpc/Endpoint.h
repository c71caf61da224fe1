// TCP endpoints of the RPC library as text: "tcp://HOST:PORT".
//
// HOST is an IPv4 address, a bracketed IPv6 address ("[::1]") or a host name; PORT is decimal, 0 to 65535
// (0 asks the server for an ephemeral port). The short form "tcp:HOST:PORT" is accepted as well. Pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qor::rpc {

struct TcpEndpoint {
  std::string host;  // without brackets
  uint16_t port = 0;
};

// nullopt when `text` is not a TCP endpoint of the form above.
std::optional<TcpEndpoint> ParseTcpEndpoint(std::string_view text);

// "tcp://127.0.0.1:4097", "tcp://[::1]:4097".
std::string FormatTcpEndpoint(const std::string& host, uint16_t port);

}  // namespace qor::rpc
