// An IBfdDataplane that records what the BFD table sends, and the sessions a datapath would hold after applying
// them in order (one per key, on the VNI of its last add). Calls come with the agent lock held, reads from the test
// thread: a mutex of its own keeps them apart.
#pragma once

#include <map>
#include <mutex>
#include <tuple>
#include <vector>

#include "apps/overlay/IBfdDataplane.h"

namespace VevUroro::test {

class CapturingBfdDataplane : public IBfdDataplane {
 public:
  using SessionKey = std::tuple<BfdEndpointAddress, BfdEndpointAddress, uint32_t, uint32_t, uint32_t>;

  bool SendBfdSession(const BfdSessionUpdate& update) override {
    std::lock_guard<std::mutex> lock(_mutex);
    if (_fail) return false;
    _sessions.push_back(update);
    SessionKey key{update.localIp, update.remoteIp, update.localLabel, update.remoteLabel, update.sessionType};
    if (update.op == BfdSessionOp::kAdd) {
      _live[key] = update.vni;
    } else {
      _live.erase(key);
    }
    return true;
  }
  bool SendBfdConfig(const BfdHostSwitchConfig& config) override {
    std::lock_guard<std::mutex> lock(_mutex);
    if (_fail) return false;
    _configs.push_back(config);
    return true;
  }
  bool SendEvpnBfdConfig(const EvpnBfdConfig& config) override {
    std::lock_guard<std::mutex> lock(_mutex);
    if (_fail) return false;
    _evpn.push_back(config);
    return true;
  }

  std::vector<BfdSessionUpdate> Sessions() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _sessions;
  }
  std::map<SessionKey, uint32_t> Live() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _live;
  }
  std::vector<BfdHostSwitchConfig> Configs() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _configs;
  }
  std::vector<EvpnBfdConfig> Evpn() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _evpn;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(_mutex);
    _sessions.clear();
    _configs.clear();
    _evpn.clear();
  }
  void SetFail(bool fail) {
    std::lock_guard<std::mutex> lock(_mutex);
    _fail = fail;
  }

 private:
  mutable std::mutex _mutex;
  bool _fail = false;
  std::vector<BfdSessionUpdate> _sessions;
  std::map<SessionKey, uint32_t> _live;
  std::vector<BfdHostSwitchConfig> _configs;
  std::vector<EvpnBfdConfig> _evpn;
};

}  // namespace VevUroro::test
