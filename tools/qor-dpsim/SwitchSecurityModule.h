// The switch-security module behind the switch-security channel, as far as the agent can observe it.
//
// It keeps the guest-reported bindings the agent sends (guest-bindings messages, type 1: TLV 1 port ID, TLV 2
// switch ID, TLV 3 binding records of 23 bytes: IPv4 flag, 16 address bytes, 6 MAC bytes; every integer big-endian,
// every TLV length counting its 4-byte header), one list per port ID, each message replacing the port's list.
// Messages that do not parse are counted and kept out of the state. On command it asks the agent for a VIF's
// bindings with a binding solicitation (type 2: the VIF ID and a terminating NUL after the header).
//
// Threads: the simulator's IO thread only (see ChannelModule).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tools/qor-dpsim/ChannelModule.h"

namespace qor::dpsim {

class SwitchSecurityModule : public ChannelModule {
 public:
  struct Binding {
    bool ipv4 = false;
    std::array<uint8_t, 16> ip{};
    std::array<uint8_t, 6> mac{};
  };
  struct PortBindings {
    std::string switchId;
    std::vector<Binding> bindings;
    uint64_t messages = 0;
  };

  const char* Kind() const override { return "swsec"; }
  void OnMessage(Connection& connection, const std::vector<uint8_t>& message) override;
  // Also the in-process entry for tests: false when the message does not parse.
  bool Receive(const std::vector<uint8_t>& message);
  std::string Dump() const override;
  // swsec-solicit CHANNEL VIF
  std::optional<std::pair<bool, std::string>> Command(const std::vector<std::string>& words,
                                                      std::vector<std::vector<uint8_t>>& messages) override;

  static std::vector<uint8_t> Solicitation(const std::string& vifId);
  const std::map<std::string, PortBindings>& Ports() const { return _ports; }

 private:
  std::map<std::string, PortBindings> _ports;  // by port ID
  uint64_t _malformed = 0;
};

}  // namespace qor::dpsim
