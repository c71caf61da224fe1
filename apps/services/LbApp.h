// VevUroro::LbApp: the load-balancer application, brought up together with the firewall.
//
// It is constructed, started and stopped by start-up and, once the dispatcher exists, registered with it as
// component LB; it keeps a count of the updates handed to it. Update handling runs on the dispatcher's thread under
// the agent lock.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/Component.h"

namespace VevUroro {

class MsgDispatcher;
class ITolvarClient;
class IStateCacheConfigTable;

class LbApp : public qor::RefCounted<LbApp, Component> {
 public:
  LbApp(MsgDispatcher* dispatcher, ITolvarClient* tolvarClient, IStateCacheConfigTable* configTable);

  void Start();
  bool Started() const { return _started.load(); }

  void UpdateDesiredState(const std::list<TolvarUpdateMsg>& updates, uint8_t fullSync) override;
  uint64_t UpdatesReceived() const { return _updatesReceived.load(); }

 private:
  MsgDispatcher* _dispatcher;
  ITolvarClient* _tolvarClient;
  IStateCacheConfigTable* _configTable;
  std::atomic<bool> _started{false};
  std::atomic<uint64_t> _updatesReceived{0};
};

}  // namespace VevUroro
