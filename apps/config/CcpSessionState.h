// The controller (CCP) session state the converter reports to the datapath as switch property key 1: up exactly
// when the cached CCP_SESSION object says the session is up (state 1) and both watched daemons (1: the database
// connection, 2: reported once at start by the daemon health monitor) are alive (non-zero).
//
// Each input is judged with the stored ones and compared with the value last reported; the caller sends the new
// value only when it differs. A report for a daemon id other than 1 and 2 judges down and is not stored: the next
// input of a watched daemon or of the session then reports the stored inputs' value again. Owned by the
// DVSPropConvertor; guarded by the agent lock.
#pragma once

#include <cstdint>
#include <optional>

namespace VevUroro {

class CcpSessionState {
 public:
  static constexpr uint32_t kSessionUp = 1;

  // A CCP_SESSION set (up when its state is 1) or clear (down). Returns the new derived value when it changed.
  std::optional<bool> OnSession(bool up);
  // A daemon health report. Returns the new derived value when it changed.
  std::optional<bool> OnDaemon(uint32_t state, uint32_t daemonId);
  // The value last reported.
  bool Up() const { return _reported; }

 private:
  static bool Derive(uint32_t session, uint32_t daemon1, uint32_t daemon2) {
    return session == kSessionUp && daemon1 != 0 && daemon2 != 0;
  }
  std::optional<bool> Judge(uint32_t session, uint32_t daemon1, uint32_t daemon2);
  std::optional<bool> Report(bool up);

  uint32_t _session = 2;
  uint32_t _daemon1 = 0;
  uint32_t _daemon2 = 0;
  bool _reported = false;
};

}  // namespace VevUroro
