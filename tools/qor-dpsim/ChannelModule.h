// What answers on one channel of the simulator: the datapath module behind it.
//
// A module instance serves one channel; the channel hands it each connection's events. All calls come from the
// simulator's IO thread; a module needs no lock of its own.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qor::dpsim {

class Connection;

// Wall-clock nanoseconds since the epoch: the time stamps the simulator reports, comparable with other processes'.
inline int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

class ChannelModule {
 public:
  virtual ~ChannelModule() = default;
  // The kind name given on the command line or in the configuration file ("kcp", "raw").
  virtual const char* Kind() const = 0;
  virtual void OnConnect(Connection& /*connection*/) {}
  // One whole message (header included) received from the agent.
  virtual void OnMessage(Connection& connection, const std::vector<uint8_t>& message) = 0;
  virtual void OnDisconnect(Connection& /*connection*/) {}
  // Readable state for the control socket.
  virtual std::string Dump() const { return std::string(); }
  // A control command addressed to this module (words[0] the command, words[1] the channel): nullopt when the
  // command is not the module's, else (ok, reply text). Messages for the agent go to `messages`; the caller sends
  // them on every open connection of the channel.
  virtual std::optional<std::pair<bool, std::string>> Command(const std::vector<std::string>& /*words*/,
                                                              std::vector<std::vector<uint8_t>>& /*messages*/) {
    return std::nullopt;
  }
};

// A module that only receives: every message is recorded in the capture file and counted.
class RawModule : public ChannelModule {
 public:
  const char* Kind() const override { return "raw"; }
  void OnMessage(Connection&, const std::vector<uint8_t>& message) override {
    ++_messages;
    _bytes += message.size();
  }
  std::string Dump() const override {
    return "messages received: " + std::to_string(_messages) + ", bytes: " + std::to_string(_bytes) + "\n";
  }

 private:
  uint64_t _messages = 0;
  uint64_t _bytes = 0;
};

}  // namespace qor::dpsim
