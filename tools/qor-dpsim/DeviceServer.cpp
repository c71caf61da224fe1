#include "tools/qor-dpsim/DeviceServer.h"


#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <sstream>

#include "platform/device/DeviceFile.h"
#include "tools/qor-dpsim/Channel.h"

namespace qor::dpsim {

namespace asio = boost::asio;
using stream = asio::local::stream_protocol;

// One open descriptor of the device: reads request frames one at a time and writes each answer.
class DeviceServer::Session : public std::enable_shared_from_this<Session> {
 public:
  Session(stream::socket socket, uint64_t id, DeviceServer& server)
      : _socket(std::move(socket)), _id(id), _server(server) {}

  void ReadHeader() {
    asio::async_read(_socket, asio::buffer(_header), [self = shared_from_this()](const auto& error, size_t) {
      if (error) return self->Close();
      uint32_t length = device::GetFrameWord(self->_header + 4);
      if (length > device::kMaxArgument) return self->Close();
      self->_argument.assign(length, 0);
      asio::async_read(self->_socket, asio::buffer(self->_argument), [self](const auto& readError, size_t) {
        if (readError) return self->Close();
        self->_answer = self->_server.Serve(device::GetFrameWord(self->_header), std::move(self->_argument));
        asio::async_write(self->_socket, asio::buffer(self->_answer), [self](const auto& writeError, size_t) {
          if (writeError) return self->Close();
          self->ReadHeader();
        });
      });
    });
  }

  void Close() {
    boost::system::error_code ignored;
    _socket.close(ignored);
    _server._sessions.erase(_id);
  }

 private:
  stream::socket _socket;
  uint64_t _id;
  DeviceServer& _server;
  uint8_t _header[device::kFrameHeaderLen];
  std::vector<uint8_t> _argument;
  std::vector<uint8_t> _answer;
};

DeviceServer::DeviceServer(asio::io_context& context, std::string path, std::unique_ptr<DeviceModule> module)
    : _path(std::move(path)), _module(std::move(module)), _acceptor(context) {
  ListenAt(_acceptor, _path);
  Accept();
}

DeviceServer::~DeviceServer() {
  boost::system::error_code ignored;
  _acceptor.close(ignored);
  auto sessions = _sessions;
  for (auto& [id, session] : sessions) session->Close();
  ::unlink(_path.c_str());
}

void DeviceServer::Accept() {
  _acceptor.async_accept([this](const boost::system::error_code& error, stream::socket socket) {
    if (error == asio::error::operation_aborted) return;
    if (!error) {
      auto session = std::make_shared<Session>(std::move(socket), _nextSession++, *this);
      _sessions[_nextSession - 1] = session;
      session->ReadHeader();
    }
    Accept();
  });
}

std::vector<uint8_t> DeviceServer::Serve(uint32_t request, std::vector<uint8_t> argument) {
  ++_requests;
  auto failure = _failures.find(request);
  int status = failure != _failures.end() ? failure->second : _module->Request(request, argument);
  if (status != 0) argument.clear();
  std::vector<uint8_t> answer(device::kFrameHeaderLen + argument.size());
  device::PutFrameWord(answer.data(), static_cast<uint32_t>(status));
  device::PutFrameWord(answer.data() + 4, static_cast<uint32_t>(argument.size()));
  std::copy(argument.begin(), argument.end(), answer.begin() + device::kFrameHeaderLen);
  return answer;
}

void DeviceServer::InjectFailure(uint32_t request, int error) {
  if (error == 0) {
    _failures.erase(request);
  } else {
    _failures[request] = error;
  }
}

std::string DeviceServer::Dump() const {
  std::ostringstream out;
  out << "requests served: " << _requests << ", open descriptors: " << _sessions.size() << "\n";
  for (const auto& [request, error] : _failures) {
    out << "failing request 0x" << std::hex << request << std::dec << " with errno " << error << "\n";
  }
  out << _module->Dump();
  return out.str();
}

}  // namespace qor::dpsim
