#include "tools/qor-dpsim/SwitchSecurityModule.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <sstream>

namespace qor::dpsim {

namespace {

constexpr uint16_t kGuestBindings = 1;
constexpr uint16_t kSolicitation = 2;
constexpr size_t kRecordLen = 23;

uint16_t U16(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

// The text of a TLV value that ends with a NUL; false when it does not.
bool NulTerminated(const uint8_t* p, size_t length, std::string* out) {
  if (length == 0 || p[length - 1] != 0) return false;
  out->assign(reinterpret_cast<const char*>(p), length - 1);
  return out->find('\0') == std::string::npos;
}

}  // namespace

void SwitchSecurityModule::OnMessage(Connection&, const std::vector<uint8_t>& message) {
  Receive(message);
}

bool SwitchSecurityModule::Receive(const std::vector<uint8_t>& message) {
  const size_t size = message.size();
  if (size < 4 || U16(message.data()) != kGuestBindings || U16(message.data() + 2) != size) {
    ++_malformed;
    return false;
  }
  std::string port;
  std::string switchId;
  std::vector<Binding> bindings;
  bool sawPort = false, sawSwitch = false, sawBindings = false;
  size_t at = 4;
  while (at < size) {
    if (size - at < 4) break;
    const uint16_t type = U16(message.data() + at);
    const size_t length = U16(message.data() + at + 2);
    if (length < 4 || length > size - at) break;
    const uint8_t* value = message.data() + at + 4;
    const size_t valueLength = length - 4;
    if (type == 1) {
      sawPort = NulTerminated(value, valueLength, &port);
    } else if (type == 2) {
      sawSwitch = NulTerminated(value, valueLength, &switchId);
    } else if (type == 3 && valueLength % kRecordLen == 0) {
      sawBindings = true;
      for (size_t i = 0; i < valueLength; i += kRecordLen) {
        Binding binding;
        binding.ipv4 = value[i] == 1;
        std::memcpy(binding.ip.data(), value + i + 1, 16);
        std::memcpy(binding.mac.data(), value + i + 17, 6);
        bindings.push_back(binding);
      }
    }
    at += length;
  }
  if (at != size || !sawPort || !sawSwitch || !sawBindings) {
    ++_malformed;
    return false;
  }
  PortBindings& held = _ports[port];
  held.switchId = switchId;
  held.bindings = std::move(bindings);
  ++held.messages;
  return true;
}

std::vector<uint8_t> SwitchSecurityModule::Solicitation(const std::string& vifId) {
  std::vector<uint8_t> out(4 + vifId.size() + 1, 0);
  out[0] = 0;
  out[1] = kSolicitation;
  out[2] = static_cast<uint8_t>(out.size() >> 8);
  out[3] = static_cast<uint8_t>(out.size());
  std::memcpy(out.data() + 4, vifId.data(), vifId.size());
  return out;
}

std::optional<std::pair<bool, std::string>> SwitchSecurityModule::Command(const std::vector<std::string>& words,
                                                                          std::vector<std::vector<uint8_t>>& messages) {
  if (words[0] != "swsec-solicit") return std::nullopt;
  if (words.size() != 3 || words[2].empty()) return std::pair(false, std::string("usage: swsec-solicit CHANNEL VIF"));
  messages.push_back(Solicitation(words[2]));
  return std::pair(true, std::string());
}

std::string SwitchSecurityModule::Dump() const {
  std::ostringstream out;
  out << "guest bindings: " << _ports.size() << " port(s), malformed messages: " << _malformed << "\n";
  for (const auto& [port, held] : _ports) {
    out << "  " << port << " switch=" << held.switchId << " bindings=" << held.bindings.size()
        << " messages=" << held.messages << "\n";
    for (const Binding& binding : held.bindings) {
      char ip[INET6_ADDRSTRLEN] = "";
      inet_ntop(binding.ipv4 ? AF_INET : AF_INET6, binding.ip.data(), ip, sizeof(ip));
      char mac[18];
      std::snprintf(mac, sizeof(mac), "%02x:%02x:%02x:%02x:%02x:%02x", binding.mac[0], binding.mac[1], binding.mac[2],
                    binding.mac[3], binding.mac[4], binding.mac[5]);
      out << "    " << ip << " " << mac << "\n";
    }
  }
  return out.str();
}

}  // namespace qor::dpsim
