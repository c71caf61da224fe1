// The controller (CCP) session state the converter reports to the datapath as switch property key 1: up exactly
// when the cached CCP_SESSION object says the session is up (state 1) and both watched daemons (1: the database
// connection, 2: reported once at start by the daemon health monitor) are alive (non-zero).
//
// Each input is judged against the stored ones; the caller sends the new value only when it changed. Owned by the
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
  // A daemon health report. Unknown daemon ids are ignored. Returns the new derived value when it changed.
  std::optional<bool> OnDaemon(uint32_t state, uint32_t daemonId);
  bool Up() const { return Derive(_session, _daemon1, _daemon2); }

 private:
  static bool Derive(uint32_t session, uint32_t daemon1, uint32_t daemon2) {
    return session == kSessionUp && daemon1 != 0 && daemon2 != 0;
  }
  std::optional<bool> Judge(uint32_t session, uint32_t daemon1, uint32_t daemon2);

  uint32_t _session = 2;
  uint32_t _daemon1 = 0;
  uint32_t _daemon2 = 0;
};

}  // namespace VevUroro
