#include "dataplane/CfgUdsLink.h"

#include <boost/asio/post.hpp>

#include "core/Logger.h"
#include "platform/QorRoot.h"

namespace VevUroro {

namespace {
constexpr const char* kAgentSocket = "/var/run/zantix/qor-agent/qora_link";

uint32_t ReadBe32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}
}  // namespace

CfgUdsLink::CfgUdsLink(std::chrono::milliseconds reconnectInterval) : _reconnectInterval(reconnectInterval) {}

CfgUdsLink::~CfgUdsLink() {
  Stop();
}

void CfgUdsLink::SetMessageHandler(MessageHandler handler) {
  std::lock_guard<std::mutex> lock(_mutex);
  _handler = std::move(handler);
}

void CfgUdsLink::Start() {
  Logger(LOG_LEVEL_INFO, "CfgUdsLink: Start");
  {
    std::lock_guard<std::mutex> lock(_mutex);
    if (_running) return;
    _running = true;
  }
  _context.restart();
  _reconnectTimer.emplace(_context);
  boost::asio::post(_context, [this] { ConnectNow(); });
  _thread = std::thread([this] {
    auto guard = boost::asio::make_work_guard(_context);
    _context.run();
  });
}

void CfgUdsLink::Stop() {
  {
    std::lock_guard<std::mutex> lock(_mutex);
    if (!_running) return;
    _running = false;
  }
  _context.stop();
  if (_thread.joinable()) _thread.join();
  std::lock_guard<std::mutex> lock(_mutex);
  _connection.reset();
  _activeId = 0;
}

void CfgUdsLink::ConnectNow() {
  std::shared_ptr<Common::UdsConnection> connection;
  {
    std::lock_guard<std::mutex> lock(_mutex);
    if (!_running) return;
    connection = std::make_shared<Common::UdsConnection>(_context, _nextId++, &CfgUdsLink::FrameSize, this);
    _connection = connection;
  }
  connection->Connect(qor::QorPath(kAgentSocket));
}

void CfgUdsLink::ScheduleReconnect() {
  _reconnectTimer->expires_after(_reconnectInterval);
  _reconnectTimer->async_wait([this](const boost::system::error_code& error) {
    if (!error) ConnectNow();
  });
}

void CfgUdsLink::OnConnectionStatusChange(uint64_t id, bool up) {
  Logger(LOG_LEVEL_INFO, "Conection %1 changed its status to %2", id, up ? "up" : "down");
  {
    std::lock_guard<std::mutex> lock(_mutex);
    if (up) {
      _activeId = id;
      return;
    }
    if (_activeId == id) _activeId = 0;
    if (!_connection || _connection->Id() != id) return;  // an older connection
    _connection.reset();
  }
  ScheduleReconnect();
}

long CfgUdsLink::FrameSize(const uint8_t* data, size_t size) {
  if (size < kHeaderLen) return 0;
  uint32_t length = ReadBe32(data + 2);
  if (length < kHeaderLen) {
    Logger(LOG_LEVEL_ERROR, "Message len %1 is smaller than header len %2", length, kHeaderLen)
        .AddTag("errorCode:LCP02002");
    return -1;
  }
  if (length > kMaxFrame) {
    Logger(LOG_LEVEL_ERROR, "CfgUdsLink: message len %1 exceeds the largest frame %2", length, kMaxFrame);
    return -1;
  }
  return static_cast<long>(length);
}

void CfgUdsLink::OnMessage(uint64_t, const uint8_t* data, size_t length) {
  if (length < kHeaderLen) {
    Logger(LOG_LEVEL_ERROR, "Message len %1 is smaller than header len %2", length, kHeaderLen)
        .AddTag("errorCode:LCP02002");
    return;
  }
  uint32_t declared = ReadBe32(data + 2);
  if (declared != length) {
    // Only a stream cut short by the peer gets here: the frame's own length was never reached.
    Logger(LOG_LEVEL_ERROR, "Payload len %1 does not match message header %2", length - kHeaderLen,
           declared >= kHeaderLen ? declared - kHeaderLen : 0)
        .AddTag("errorCode:LCP02001");
    return;
  }
  MessageHandler handler;
  {
    std::lock_guard<std::mutex> lock(_mutex);
    handler = _handler;
  }
  if (handler) {
    handler(data[1], (data[0] & kFragmentFlag) != 0,
            std::string(reinterpret_cast<const char*>(data + kHeaderLen), length - kHeaderLen));
  }
}

std::vector<uint8_t> CfgUdsLink::BuildFrame(const std::string& payload, uint8_t type, bool fragment) {
  std::vector<uint8_t> frame(kHeaderLen + payload.size());
  uint32_t length = static_cast<uint32_t>(frame.size());
  frame[0] = fragment ? kFragmentFlag : 0;
  frame[1] = type;
  frame[2] = static_cast<uint8_t>(length >> 24);
  frame[3] = static_cast<uint8_t>(length >> 16);
  frame[4] = static_cast<uint8_t>(length >> 8);
  frame[5] = static_cast<uint8_t>(length);
  std::copy(payload.begin(), payload.end(), frame.begin() + kHeaderLen);
  return frame;
}

bool CfgUdsLink::Send(const std::string& payload, uint8_t type, bool fragment) {
  if (payload.empty()) {
    Logger(LOG_LEVEL_ERROR, "Input message is empty");
    return false;
  }
  if (payload.size() > kMaxFrame - kHeaderLen) {
    Logger(LOG_LEVEL_ERROR, "Failed to allocate DpMsg").AddTag("errorCode:LCP00021");
    return false;
  }
  std::shared_ptr<Common::UdsConnection> connection;
  {
    std::lock_guard<std::mutex> lock(_mutex);
    if (_activeId != 0 && _connection && _connection->Id() == _activeId) connection = _connection;
  }
  if (!connection) {
    Logger(LOG_LEVEL_ERROR, "Active connection ID not exist").AddTag("errorCode:LCP02003");
    return false;
  }
  auto frame = BuildFrame(payload, type, fragment);
  Logger(LOG_LEVEL_DEBUG, "Sending DpMsg, Header of DpMsg: reserved: %1, fragment: %2, type: %3, len: %4", 0,
         fragment ? 1 : 0, type, frame.size());
  connection->Send(std::move(frame));
  return true;
}

bool CfgUdsLink::Connected() const {
  std::lock_guard<std::mutex> lock(_mutex);
  return _activeId != 0;
}

}  // namespace VevUroro
