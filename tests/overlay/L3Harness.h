// The L3 application in-process, fed the way the agent feeds it: desired objects become tolvard's monitor updates
// (its own diff), decoded by the real decoder into real L3 and configuration tables, whose notifications reach the
// application. Its kernel link is a test link whose messages go to the simulator's router module in-process, so tests
// read the router's resulting tables as well as the bytes.
#pragma once

#include <gtest/gtest.h>

#include <list>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "apps/overlay/L3App.h"
#include "intake/Decoder.h"
#include "platform/tolvar/TolvarSchema.h"
#include "tests/config/ConverterHarness.h"
#include "tests/config/TestLinks.h"
#include "tools/qor-dpsim/RouterModule.h"
#include "tools/tolvard/UpdateBuilder.h"
#include "zantix/qor/tolvar/l3.pb.h"

namespace VevUroro::test {

// The database's objects and what a change of one gives the two tables.
class L3Feed {
 public:
  L3Feed(StateCacheL3Table& l3, StateCacheConfigTable& config) : _l3(l3), _config(config) {}

  void Put(const google::protobuf::Message& object) {
    uint32_t type = 0;
    std::string id;
    if (ObjectKey(object, &type, &id)) Change(type, id, object.SerializeAsString());
  }
  void Delete(uint32_t type, const std::string& id) { Change(type, id, std::nullopt); }
  // Every object as one full sync of both tables (the configuration table first, as its types come first).
  void FullSync() {
    Entries entries;
    for (const auto& [key, body] : _objects) Decode({{1, key.first, key.second}, std::nullopt, body}, entries);
    _config.UpdateDesiredState(entries.config, 1);
    _l3.UpdateDesiredState(entries.l3, 1);
  }
  const std::map<std::pair<uint32_t, std::string>, std::string>& Objects() const { return _objects; }
  void SetObjects(const std::map<std::pair<uint32_t, std::string>, std::string>& objects) { _objects = objects; }

 private:
  struct Entries {
    std::list<TolvarUpdateMsg> config;
    std::list<TolvarUpdateMsg> l3;
  };
  void Change(uint32_t type, const std::string& id, std::optional<std::string> body) {
    auto key = std::make_pair(type, id);
    auto old = _objects.find(key);
    qor::tolvar::ObjectChange change{
        {1, type, id}, old == _objects.end() ? std::nullopt : std::optional<std::string>(old->second), body};
    if (change.oldBody == change.newBody) return;
    if (body) {
      _objects[key] = *body;
    } else if (old != _objects.end()) {
      _objects.erase(old);
    }
    Entries entries;
    Decode(change, entries);
    if (!entries.config.empty()) _config.UpdateDesiredState(entries.config, 0);
    if (!entries.l3.empty()) _l3.UpdateDesiredState(entries.l3, 0);
  }
  static void Decode(const qor::tolvar::ObjectChange& change, Entries& out) {
    qor::tolvar::ChangeDiff diff(change);
    for (auto& group : Decoder::Decode(diff.Update(nullptr))) {
      for (ComponentType target : group.targets) {
        if (target == CONFIGCACHE) out.config.insert(out.config.end(), group.entries.begin(), group.entries.end());
        if (target == L3CACHE) out.l3.insert(out.l3.end(), group.entries.begin(), group.entries.end());
      }
    }
  }

  StateCacheL3Table& _l3;
  StateCacheConfigTable& _config;
  std::map<std::pair<uint32_t, std::string>, std::string> _objects;
};

// The database writes the application hands to the Tolvar client.
class CapturingTolvar : public qor::RefCounted<CapturingTolvar, ITolvarClient> {
 public:
  void Write(const std::list<tv::ModifyRequestMsg>& requests) override {
    writes.insert(writes.end(), requests.begin(), requests.end());
  }
  void WriteThen(const std::list<tv::ModifyRequestMsg>& requests, std::function<void()> committed) override {
    Write(requests);
    if (committed) committed();
  }
  void RegisterVessixVifMonitor() override {}
  void FullSyncWithDpDone(bool, ComponentType) override {}
  uint16_t MainVdb() const override { return 1; }
  std::vector<tv::ModifyRequestMsg> writes;
};

// One TLV of a captured message.
struct Tlv {
  uint16_t type = 0;
  std::vector<uint8_t> bytes;  // header included
};

// The TLVs of UPDATE messages, read by the layout's framing (not by the module or the builder).
inline std::vector<Tlv> TlvsOf(const std::vector<std::vector<uint8_t>>& messages) {
  std::vector<Tlv> out;
  for (const auto& message : messages) {
    EXPECT_GE(message.size(), 4u);
    EXPECT_EQ((message[0] << 8) | message[1], 4);
    EXPECT_EQ(static_cast<size_t>((message[2] << 8) | message[3]), message.size());
    for (size_t at = 4; at + 4 <= message.size();) {
      const size_t length = (message[at + 2] << 8) | message[at + 3];
      EXPECT_GE(length, 4u);
      EXPECT_LE(at + length, message.size());
      if (length < 4 || at + length > message.size()) break;
      out.push_back({static_cast<uint16_t>((message[at] << 8) | message[at + 1]),
                     std::vector<uint8_t>(message.begin() + at, message.begin() + at + length)});
      at += length;
    }
  }
  return out;
}

inline std::string NameAt(const std::vector<uint8_t>& b, size_t at) {
  std::string out;
  for (size_t i = at; i < at + 64 && b[i]; ++i) out.push_back(static_cast<char>(b[i]));
  return out;
}

// Objects of the tests.
inline tv::IpAddressMsg V4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  tv::IpAddressMsg ip;
  ip.set_ipv4((uint32_t(a) << 24) | (uint32_t(b) << 16) | (uint32_t(c) << 8) | d);
  return ip;
}
inline tv::IpPrefixMsg Prefix(const tv::IpAddressMsg& ip, uint32_t length) {
  tv::IpPrefixMsg prefix;
  *prefix.mutable_address() = ip;
  prefix.set_prefix_length(length);
  return prefix;
}
inline tv::LogRouterConfigMsg Router(uint64_t n, uint32_t vdr) {
  tv::LogRouterConfigMsg router;
  *router.mutable_id() = Uuid(n);
  router.set_vdr_id(vdr);
  router.set_name("lr-" + std::to_string(n));
  return router;
}
inline tv::LogSwitchConfigMsg Switch(uint64_t n, uint32_t vni, bool binding = true) {
  tv::LogSwitchConfigMsg ls;
  *ls.mutable_id() = Uuid(n);
  ls.set_vni(vni);
  ls.set_replication_mode(1);
  if (binding) ls.mutable_transport_binding()->set_type(1);
  return ls;
}
inline tv::LogRouterPortConfigMsg Port(uint64_t n, uint64_t router, uint64_t ls, bool up = true) {
  tv::LogRouterPortConfigMsg port;
  *port.mutable_id() = Uuid(n);
  *port.mutable_router_id() = Uuid(router);
  *port.mutable_logical_switch_id() = Uuid(ls);
  port.set_type(1);
  port.set_admin_state_up(up);
  *port.add_addresses() = Prefix(V4(10, static_cast<uint8_t>(n), 0, 1), 24);
  port.mutable_mac()->set_mac(0x005056000000ull + n);
  return port;
}
inline tv::FibNextHopMsg Hop(const tv::IpAddressMsg& ip, uint64_t port, bool isStatic = false) {
  tv::FibNextHopMsg hop;
  *hop.mutable_ip() = ip;
  *hop.mutable_router_port_id() = Uuid(port);
  if (isStatic) hop.set_static_route(true);
  return hop;
}
inline tv::FibMsg Fib(uint64_t n, uint64_t router, const tv::IpPrefixMsg& prefix, std::vector<tv::FibNextHopMsg> hops) {
  tv::FibMsg fib;
  *fib.mutable_id() = Uuid(n);
  *fib.mutable_router_id() = Uuid(router);
  *fib.mutable_ip_prefix() = prefix;
  for (auto& hop : hops) *fib.add_next_hops() = hop;
  return fib;
}
inline tv::ArpTableConfigMsg ArpTable(uint64_t n, uint64_t port,
                                      std::vector<std::pair<tv::IpAddressMsg, uint64_t>> entries) {
  tv::ArpTableConfigMsg table;
  *table.mutable_id() = Uuid(n);
  *table.mutable_router_port_id() = Uuid(port);
  for (auto& [ip, mac] : entries) {
    tv::ArpEntryMsg* entry = table.add_entries();
    *entry->mutable_ip() = ip;
    entry->mutable_mac()->set_mac(mac);
  }
  return table;
}

// Tables, feed, application and router module of one test.
class L3Rig {
 public:
  static constexpr const char* kChannel = "qor_l3_tkmlink";

  explicit L3Rig(bool softRss = true) : _l3(new StateCacheL3Table), _config(new StateCacheConfigTable) {
    feed.emplace(*_l3, *_config);
    L3App::Collaborators c;
    c.l3Table = _l3.get();
    c.configTable = _config.get();
    c.tolvarClient = tolvar;
    c.links = links.Factory();
    app = new L3App(std::move(c));
    ConfigTree tree;
    tree.put("l3.tkmlink.path", kChannel);
    tree.put("l3.features.softRSS.enabled", softRss);
    EXPECT_TRUE(app->Start(tree));
    links[kChannel].onSend = [this](const std::vector<uint8_t>& bytes) {
      sent.push_back(bytes);
      module.Receive(bytes);
    };
  }
  ~L3Rig() { app->Stop(); }

  // What the kernel sends, delivered on the test's thread.
  void Deliver(const std::vector<uint8_t>& message) { links[kChannel].Deliver(message); }
  std::vector<Tlv> TakeTlvs() { return TlvsOf(std::exchange(sent, {})); }

  qor::RefPtr<StateCacheL3Table> _l3;
  qor::RefPtr<StateCacheConfigTable> _config;
  TestLinks links;
  qor::RefPtr<CapturingTolvar> tolvar{new CapturingTolvar};
  std::optional<L3Feed> feed;
  qor::dpsim::RouterModule module;
  qor::RefPtr<L3App> app;
  std::vector<std::vector<uint8_t>> sent;
};

}  // namespace VevUroro::test
