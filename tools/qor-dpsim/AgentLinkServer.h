// The host agent's end of the agent's host-agent link: qor-dpsim listens at
// "$QOR_ROOT/var/run/zantix/qor-agent/qora_link" so that the agent's CfgUdsLink (a client) has something to
// connect to.
//
// Frames are DpMsg: byte 0 bit 7 fragment flag (bits 0–6 reserved), byte 1 message type, bytes 2–5 the big-endian
// total length, header included, then the payload. Every frame, in both directions, goes to the capture file
// "<capture dir>/qora_link.cap" in the channels' record format (Capture.h); outgoing frames are recorded when they
// are queued. A length below the header or above 16 MiB cannot be framed: the 6 header bytes are captured, the
// error reported on standard error and the connection closed (the agent reconnects). Bytes left when the agent
// closes mid-frame are captured as one short record.
//
// Threads: everything runs on the simulator's IO thread (the io_context passed in), Start and Stop included.
#pragma once

#include <boost/asio/io_context.hpp>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "dataplane/uds/UdsConnectionListener.h"
#include "dataplane/uds/UdsServer.h"
#include "tools/qor-dpsim/Capture.h"

namespace qor::dpsim {

class AgentLinkServer : public Common::UdsConnectionListener {
 public:
  static constexpr const char* kName = "qora_link";
  static constexpr size_t kHeaderLen = 6;
  static constexpr uint8_t kFragmentFlag = 0x80;
  static constexpr size_t kMaxFrame = 16 * 1024 * 1024;

  AgentLinkServer(boost::asio::io_context& context, std::string path, const std::string& captureDirectory);
  ~AgentLinkServer() override;
  AgentLinkServer(const AgentLinkServer&) = delete;
  AgentLinkServer& operator=(const AgentLinkServer&) = delete;

  // Binds and listens (creating the parent directory); false with `error` set on failure.
  bool Start(std::string* error);
  void Stop();

  // Queues `frame` as it is on every open connection; returns how many connections it went to.
  size_t SendToAll(const std::vector<uint8_t>& frame);
  // Ids of the open connections, counting from 1 in accept order.
  std::vector<uint64_t> Connections() const;
  uint64_t AcceptedCount() const { return _accepted; }
  const std::string& Path() const { return _path; }
  // Connections and frames received per message type, for the control socket.
  std::string Dump() const;

  // The frame's size from its header, 0 when more bytes are needed. A length that cannot be framed yields the
  // header alone, so that OnMessage sees it with its connection id and closes that connection.
  static long FrameSize(const uint8_t* data, size_t size);
  static std::vector<uint8_t> BuildFrame(const std::vector<uint8_t>& payload, uint8_t type, bool fragment);

  // Common::UdsConnectionListener (IO thread).
  void OnConnectionStatusChange(uint64_t id, bool up) override;
  void OnMessage(uint64_t id, const uint8_t* data, size_t length) override;

 private:
  std::string _path;
  CaptureWriter _capture;
  Common::UdsServer _server;
  std::set<uint64_t> _open;
  std::set<uint64_t> _closing;  // framing lost: whatever else arrives on them is dropped
  uint64_t _accepted = 0;
  std::map<unsigned, uint64_t> _framesByType;
  uint64_t _bytesIn = 0;
  uint64_t _framingErrors = 0;
};

}  // namespace qor::dpsim
