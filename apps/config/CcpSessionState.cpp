#include "apps/config/CcpSessionState.h"

#include "core/Logger.h"

namespace VevUroro {

std::optional<bool> CcpSessionState::Judge(uint32_t session, uint32_t daemon1, uint32_t daemon2) {
  _session = session;
  _daemon1 = daemon1;
  _daemon2 = daemon2;
  return Report(Derive(session, daemon1, daemon2));
}

std::optional<bool> CcpSessionState::Report(bool up) {
  if (up == _reported) return std::nullopt;
  _reported = up;
  return up;
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
      Logger(LOG_LEVEL_WARN, "DVSPropConvertor::OnDaemonHealthStateUpdate: unknown daemon id %1 judged down", daemonId);
      return Report(false);
  }
}

}  // namespace VevUroro
