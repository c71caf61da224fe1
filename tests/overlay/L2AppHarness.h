// The L2 application on test links wired to the simulator's overlay module in process: what the application sends
// reaches the module at once, the module's replies and injected events wait until Pump delivers them to the
// application on the test thread. The state cache tables are real and are fed with real decoder output.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "apps/overlay/L2App.h"
#include "cache/CacheTestUtil.h"
#include "cache/StateCache.h"
#include "config/TestLinks.h"
#include "tools/qor-dpsim/OverlayModule.h"
#include "zantix/qor/tolvar/config.pb.h"
#include "zantix/qor/tolvar/l2.pb.h"

namespace VevUroro::test {

namespace tv = zantix::qor::tolvar;

inline tv::UuidMsg UuidOfLow(uint64_t low) {
  tv::UuidMsg id;
  id.set_high(0x1111);
  id.set_low(low);
  return id;
}

inline tv::IpAddressMsg Ipv4(uint32_t address) {
  tv::IpAddressMsg ip;
  ip.set_ipv4(address);
  return ip;
}

inline tv::VtepMsg Vtep(uint32_t address, uint32_t label, std::optional<uint32_t> encap = std::nullopt) {
  tv::VtepMsg vtep;
  *vtep.mutable_ip() = Ipv4(address);
  vtep.set_label(label);
  vtep.mutable_mac()->set_mac(0x005056000000ull + label);
  if (encap) vtep.set_encap_type(*encap);
  return vtep;
}

class L2AppHarness {
 public:
  static constexpr const char* kChannel = "qor_l2_tkmlink";

  L2AppHarness() {
    L2App::Collaborators c;
    c.configTable = _cache.ConfigTable();
    c.l2Table = _cache.L2Table();
    c.links = _links.Factory();
    app = new L2App(std::move(c));
    app->Start(ConfigTree());
    // The database's first (empty) full sync.
    _cache.L2Table()->UpdateDesiredState({}, 1);
    Link().onSend = [this](const std::vector<uint8_t>& message) {
      ++sent;
      std::vector<std::vector<uint8_t>> replies;
      module.Receive(message, replies);
      for (auto& reply : replies) _toAgent.push_back(std::move(reply));
    };
  }
  ~L2AppHarness() { app->Stop(); }

  TestLink& Link() { return _links[kChannel]; }
  StateCache& Cache() { return _cache; }

  // Delivers the module's messages to the application until none is left.
  void Pump() {
    while (!_toAgent.empty()) {
      std::vector<uint8_t> message = std::move(_toAgent.front());
      _toAgent.pop_front();
      Link().Deliver(message);
    }
  }
  // Link up and the whole session exchange.
  void Connect() {
    Link().Up();
    Pump();
  }
  // A control command of the module; its messages are delivered.
  void Command(std::vector<std::string> words) {
    words.insert(words.begin() + 1, kChannel);
    std::vector<std::vector<uint8_t>> messages;
    auto reply = module.Command(words, messages);
    ASSERT_TRUE(reply && reply->first) << (reply ? reply->second : "not the module's");
    for (auto& message : messages) _toAgent.push_back(std::move(message));
    Pump();
  }
  void Deliver(const std::vector<uint8_t>& message) { Link().Deliver(message); }

  // A logical switch with a VNI (and a routing domain), through the decoder into the configuration table.
  void PutSwitch(uint64_t id, uint32_t vni) {
    tv::LogSwitchConfigMsg ls;
    *ls.mutable_id() = UuidOfLow(id);
    ls.set_vni(vni);
    ls.mutable_mac_management()->mutable_mac_learning()->mutable_limit()->set_limit(64);
    _cache.ConfigTable()->UpdateDesiredState(Decoded(CONFIGCACHE, nullptr, &ls), 0);
  }
  // The forwarding table of a switch, replacing `before` (null: created).
  void PutFib(const tv::LogSwitchFibMsg* before, const tv::LogSwitchFibMsg& after) {
    _cache.L2Table()->UpdateDesiredState(Decoded(L2CACHE, before, &after), 0);
  }

  StateCache _cache;
  TestLinks _links;
  qor::dpsim::OverlayModule module;
  qor::RefPtr<L2App> app;
  std::deque<std::vector<uint8_t>> _toAgent;
  size_t sent = 0;
};

inline tv::LogSwitchFibMsg SwitchFib(uint64_t fibId, uint64_t lsId) {
  tv::LogSwitchFibMsg fib;
  *fib.mutable_id() = UuidOfLow(fibId);
  *fib.mutable_logical_switch_id() = UuidOfLow(lsId);
  return fib;
}

}  // namespace VevUroro::test
