#include "apps/config/CcpSessionState.h"

#include "core/Logger.h"

namespace VevUroro {

std::optional<bool> CcpSessionState::Judge(uint32_t session, uint32_t daemon1, uint32_t daemon2) {
  bool before = Up();
  bool after = Derive(session, daemon1, daemon2);
  _session = session;
  _daemon1 = daemon1;
  _daemon2 = daemon2;
  if (after == before) return std::nullopt;
  return after;
}

std::optional<bool> CcpSessionState::OnSession(bool up) {
  return Judge(up ? kSessionUp : 2, _daemon1, _daemon2);
}

std::optional<bool> CcpSessionState::OnDaemon(uint32_t state, uint32_t daemonId) {
  switch (daemonId) {
    case 1:
      return Judge(_session, state, _daemon2);
    case 2:
      return Judge(_session, _daemon1, state);
    default:
      // Reporting "down" for a daemon nobody watches would contradict the stored inputs until the next report.
      Logger(LOG_LEVEL_WARN, "DVSPropConvertor::OnDaemonHealthStateUpdate: ignoring unknown daemon id %1", daemonId);
      return std::nullopt;
  }
}

}  // namespace VevUroro
