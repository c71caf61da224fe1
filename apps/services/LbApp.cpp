#include "apps/services/LbApp.h"

#include "core/AgentLock.h"
#include "core/Logger.h"
#include "intake/MsgDispatcher.h"

namespace VevUroro {

LbApp::LbApp(MsgDispatcher* dispatcher, ITolvarClient* tolvarClient, IStateCacheConfigTable* configTable)
    : _dispatcher(dispatcher), _tolvarClient(tolvarClient), _configTable(configTable) {}

void LbApp::Start() {
  if (_dispatcher) _dispatcher->Register(LB, qor::RefPtr<Component>(this));
  _started = true;
}

void LbApp::UpdateDesiredState(const std::list<TolvarUpdateMsg>& updates, uint8_t fullSync) {
  AgentLockGuard lock(AgentLock());
  _updatesReceived += updates.size();
  Logger(LOG_LEVEL_DEBUG, "LbApp: %1 updates, full sync %2", updates.size(), static_cast<bool>(fullSync));
}

}  // namespace VevUroro
