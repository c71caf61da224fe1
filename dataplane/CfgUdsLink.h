// VevUroro::CfgUdsLink: the Unix-socket link to the host's agent, used by the packet tracing applications.
//
// Connects as a client to QorPath("/var/run/zantix/qor-agent/qora_link") on its own IO context and thread, and
// reconnects every 5 seconds while the agent is not there. Frames are DpMsg:
//   offset 0, 1 byte: bits 0–6 reserved (zero), bit 7 fragment flag; offset 1, 1 byte: message type (1 for what
//   the agent sends); offset 2, 4 bytes: total length, header included, big-endian; then one serialized protobuf.
// A frame is delimited by its length field; a length below the header, or above 16 MiB, cannot be trusted and
// closes the connection (the next reconnect starts a fresh stream).
//
// Ownership: held by std::shared_ptr (created once by start-up, shared with the tracing applications). Threads:
// Start/Stop on the main thread; Send from any thread; the receive handler runs on the link's own thread.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "dataplane/uds/UdsConnection.h"
#include "dataplane/uds/UdsConnectionListener.h"

namespace VevUroro {

class CfgUdsLink : public Common::UdsConnectionListener, public std::enable_shared_from_this<CfgUdsLink> {
 public:
  static constexpr size_t kHeaderLen = 6;
  static constexpr uint8_t kFragmentFlag = 0x80;
  static constexpr uint8_t kAgentMessageType = 1;
  static constexpr size_t kMaxFrame = 16 * 1024 * 1024;

  // Received payloads: (message type, fragment flag, payload bytes).
  using MessageHandler = std::function<void(uint8_t type, bool fragment, const std::string& payload)>;

  explicit CfgUdsLink(std::chrono::milliseconds reconnectInterval = std::chrono::seconds(5));
  ~CfgUdsLink() override;

  void SetMessageHandler(MessageHandler handler);
  // Starts the IO thread and the first connection attempt.
  void Start();
  // Closes the connection and joins the IO thread.
  void Stop();

  // Frames `payload` as one DpMsg of `type` and sends it. False when the payload is empty ("Input message is
  // empty") or no connection is up ("Active connection ID not exist", LCP02003).
  bool Send(const std::string& payload, uint8_t type = kAgentMessageType, bool fragment = false);
  bool Connected() const;

  // The frame's size as its header gives it, 0 when more bytes are needed, −1 when it cannot be framed.
  static long FrameSize(const uint8_t* data, size_t size);
  static std::vector<uint8_t> BuildFrame(const std::string& payload, uint8_t type, bool fragment);

  // Common::UdsConnectionListener (on the link's thread).
  void OnConnectionStatusChange(uint64_t id, bool up) override;
  void OnMessage(uint64_t id, const uint8_t* data, size_t length) override;

 private:
  void ConnectNow();
  void ScheduleReconnect();

  std::chrono::milliseconds _reconnectInterval;
  boost::asio::io_context _context;
  std::optional<boost::asio::steady_timer> _reconnectTimer;
  std::thread _thread;
  mutable std::mutex _mutex;  // guards the members below
  std::shared_ptr<Common::UdsConnection> _connection;
  uint64_t _activeId = 0;  // 0: no connection up
  uint64_t _nextId = 1;
  bool _running = false;
  MessageHandler _handler;
};

}  // namespace VevUroro
