// One simulated device: a listening Unix stream socket at "$QOR_ROOT/dev/NAME" that answers the platform's device
// requests (platform/device/DeviceFile.h gives the frames) through a DeviceModule.
//
// A request whose argument length exceeds the platform's limit cannot be answered: the connection is closed. A
// failure can be injected per request number (the answer then carries that errno and the module is not called).
//
// Threads: everything runs on the simulator's IO thread (the io_context passed in).
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace qor::dpsim {

// What a device does with one request: 0 or an errno value; `argument` is the parameter block in and out.
class DeviceModule {
 public:
  virtual ~DeviceModule() = default;
  virtual int Request(uint32_t request, std::vector<uint8_t>& argument) = 0;
  virtual std::string Dump() const = 0;
};

class DeviceServer {
 public:
  // Binds and listens at `path` (a stale socket file is replaced). Throws boost::system::system_error on failure.
  DeviceServer(boost::asio::io_context& context, std::string path, std::unique_ptr<DeviceModule> module);
  ~DeviceServer();
  DeviceServer(const DeviceServer&) = delete;
  DeviceServer& operator=(const DeviceServer&) = delete;

  const std::string& Path() const { return _path; }
  // Requests numbered `request` fail with `error` from now on; 0 clears the failure.
  void InjectFailure(uint32_t request, int error);
  // The module's state, requests served and the injected failures.
  std::string Dump() const;

 private:
  class Session;
  void Accept();
  // Answers one request frame.
  std::vector<uint8_t> Serve(uint32_t request, std::vector<uint8_t> argument);

  std::string _path;
  std::unique_ptr<DeviceModule> _module;
  boost::asio::local::stream_protocol::acceptor _acceptor;
  std::map<uint64_t, std::shared_ptr<Session>> _sessions;
  std::map<uint32_t, int> _failures;
  uint64_t _nextSession = 1;
  uint64_t _requests = 0;
};

}  // namespace qor::dpsim
