// The property converter fed the way the agent feeds it: desired state written as whole objects, turned into the
// monitor updates tolvard would send (its own diff), decoded by the real decoder, applied to a real configuration
// table, whose changes go to the converter; what the converter sends is applied to the simulator's virtual switch
// module in-process, so tests read the datapath's resulting state. Timers are fired by hand.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "apps/config/DVSPropConvertor.h"
#include "cache/StateCacheConfigTable.h"
#include "intake/Decoder.h"
#include "platform/tolvar/TolvarSchema.h"
#include "tests/config/CapturingBuilder.h"
#include "tools/qor-dpsim/KcpSwitchModule.h"
#include "tools/tolvard/UpdateBuilder.h"
#include "zantix/qor/tolvar/config.pb.h"
#include "zantix/qor/tolvar/objecttype.pb.h"

namespace VevUroro::test {

namespace tv = zantix::qor::tolvar;

inline tv::UuidMsg Uuid(uint64_t low) {
  tv::UuidMsg id;
  id.set_high(0x5eed0000);
  id.set_low(low);
  return id;
}
inline std::string Id(uint64_t low) {
  return Uuid(low).SerializeAsString();
}
inline std::string IdText(uint64_t low) {
  return qor::tolvar::UuidToString(0x5eed0000, low);
}

// The database's objects of one test, and what a change of one gives its monitor clients: tolvard's own diff,
// decoded by the real decoder into the configuration table's entries (CONFIGCACHE) and the configuration
// application's (CONFIGAPP).
class DesiredObjects {
 public:
  struct Entries {
    std::list<TolvarUpdateMsg> table;
    std::list<TolvarUpdateMsg> app;
  };

  // A put (`body`) or a delete (nullopt); nothing when the object does not change, as tolvard publishes nothing.
  Entries Change(uint32_t type, const std::string& id, std::optional<std::string> body) {
    Entries entries;
    auto key = std::make_pair(type, id);
    auto old = _objects.find(key);
    qor::tolvar::ObjectChange change{
        {1, type, id}, old == _objects.end() ? std::nullopt : std::optional<std::string>(old->second), body};
    if (change.oldBody == change.newBody) return entries;
    if (body) {
      _objects[key] = *body;
    } else if (old != _objects.end()) {
      _objects.erase(old);
    }
    Decode(change, entries);
    return entries;
  }
  // Every object, as after a (re)connect: the full sync.
  Entries All() const {
    Entries entries;
    for (const auto& [key, body] : _objects) Decode({{1, key.first, key.second}, std::nullopt, body}, entries);
    return entries;
  }
  const std::map<std::pair<uint32_t, std::string>, std::string>& Objects() const { return _objects; }

 private:
  static void Decode(const qor::tolvar::ObjectChange& change, Entries& out) {
    qor::tolvar::ChangeDiff diff(change);
    for (auto& group : Decoder::Decode(diff.Update(nullptr))) {
      for (ComponentType target : group.targets) {
        if (target == CONFIGCACHE) out.table.insert(out.table.end(), group.entries.begin(), group.entries.end());
        if (target == CONFIGAPP) out.app.insert(out.app.end(), group.entries.begin(), group.entries.end());
      }
    }
  }

  std::map<std::pair<uint32_t, std::string>, std::string> _objects;
};

// The type and id of a database object; false (with a test failure) when it is not one.
inline bool ObjectKey(const google::protobuf::Message& object, uint32_t* type, std::string* id) {
  *type = qor::tolvar::ObjectTypeOf(object.GetDescriptor());
  EXPECT_NE(*type, 0u) << object.GetDescriptor()->full_name();
  bool named = qor::tolvar::ObjectIdBytes(object, id);
  EXPECT_TRUE(named) << object.ShortDebugString();
  return *type != 0 && named;
}

// Desired state as tolvard delivers it, into a real configuration table observed for the converter's types.
class DesiredStateFeed : public SCConfigTableObserver {
 public:
  static constexpr uint32_t kTypes[] = {tv::LOG_SWITCH_CONFIG, tv::LOG_SWITCH_PORT_CONFIG, tv::TRANSPORT_NODE_CONFIG,
                                        tv::BRIDGE_CLUSTER_CONFIG, tv::PORT_MIRROR_SESSION};

  DesiredStateFeed(StateCacheConfigTable& table, IDVSPropConvertor& converter) : _table(table), _converter(converter) {
    for (uint32_t type : kTypes) _table.RegisterDesiredStateObserver(type, this);
  }
  ~DesiredStateFeed() override {
    for (uint32_t type : kTypes) _table.UnregisterDesiredStateObserver(type, this);
  }

  void OnConfigDesiredStateChanged(const StateCacheChangeList& changes, bool, bool) override {
    ++notifications;
    _converter.ProcessConfigChanges(changes);
  }
  // With `takesLists`, the table's lists are handed over to the converter, as the configuration application does.
  void OnConfigDesiredStateTaken(StateCacheChangeList& changes, bool fullSync, bool first) override {
    if (!takesLists) return OnConfigDesiredStateChanged(changes, fullSync, first);
    ++notifications;
    _converter.TakeConfigChanges(changes);
  }
  bool takesLists = false;

  // Objects written in one transaction: Put/Delete between Begin and Commit; alone, each is its own transaction.
  void Begin() { _open = true; }
  void Commit() {
    _open = false;
    std::list<TolvarUpdateMsg> entries = std::move(_pending);
    _pending.clear();
    _table.UpdateDesiredState(entries, 0);
  }
  void Put(const google::protobuf::Message& object) {
    uint32_t type = 0;
    std::string id;
    if (ObjectKey(object, &type, &id)) Change(type, id, object.SerializeAsString());
  }
  void Delete(uint32_t type, const std::string& id) { Change(type, id, std::nullopt); }
  // The database's whole state once more, as after a reconnect: a full sync of the table.
  void FullSync() { _table.UpdateDesiredState(_objects.All().table, 1); }
  const std::map<std::pair<uint32_t, std::string>, std::string>& Objects() const { return _objects.Objects(); }

  // Counted on the dispatcher's thread, read by a test waiting for a write to arrive.
  std::atomic<int> notifications{0};

 private:
  void Change(uint32_t type, const std::string& id, std::optional<std::string> body) {
    std::list<TolvarUpdateMsg> entries = _objects.Change(type, id, std::move(body)).table;
    if (_open) {
      _pending.splice(_pending.end(), entries);
    } else if (!entries.empty()) {
      _table.UpdateDesiredState(entries, 0);
    }
  }

  StateCacheConfigTable& _table;
  IDVSPropConvertor& _converter;
  DesiredObjects _objects;
  std::list<TolvarUpdateMsg> _pending;
  bool _open = false;
};

// Timers the test fires by hand.
class ManualTimers {
 public:
  class Timer : public OneShotTimer {
   public:
    explicit Timer(std::function<void()> callback) : callback(std::move(callback)) {}
    void Start(uint64_t intervalMicros) override {
      pending = true;
      ++starts;
      lastInterval = intervalMicros;
    }
    void Cancel() override { pending = false; }
    bool Pending() const override { return pending; }
    void Fire() {
      pending = false;
      callback();
    }
    std::function<void()> callback;
    bool pending = false;
    int starts = 0;
    uint64_t lastInterval = 0;
  };

  TimerFactory Factory() {
    return [this](std::function<void()> callback) -> std::unique_ptr<OneShotTimer> {
      auto timer = std::make_unique<Timer>(std::move(callback));
      timers.push_back(timer.get());
      return timer;
    };
  }
  // In creation order: the resync timer, then the Hoplift sync timer.
  Timer& Resync() { return *timers.at(0); }
  Timer& Hoplift() { return *timers.at(1); }

  std::vector<Timer*> timers;
};

// The simulator's virtual switch, fed in-process.
class DatapathModel {
 public:
  void Apply(const std::vector<std::vector<uint8_t>>& messages) {
    for (const auto& message : messages) module.Receive(1, message, [](std::vector<uint8_t>) {});
  }
  std::map<uint16_t, std::string> Port(const std::string& vif) const {
    std::map<uint16_t, std::string> out;
    auto it = module.PortProperties().find(vif);
    if (it == module.PortProperties().end()) return out;
    for (const auto& [key, value] : it->second) out[key] = std::string(value.begin(), value.end());
    return out;
  }
  std::map<uint16_t, std::string> Switch(const std::string& id) const {
    std::map<uint16_t, std::string> out;
    auto it = module.SwitchProperties().find(id);
    if (it == module.SwitchProperties().end()) return out;
    for (const auto& [key, value] : it->second) out[key] = std::string(value.begin(), value.end());
    return out;
  }
  qor::dpsim::KcpSwitchModule module;
};

// A converter over a real configuration table and a capturing builder.
class ConverterFixture : public ::testing::Test {
 protected:
  void SetUp() override { Make(ConfigTree()); }
  void TearDown() override {
    feed.reset();
    if (converter) converter->Stop();
  }
  // A fresh table, builder and converter.
  void Make(const ConfigTree& subtree) {
    feed.reset();
    if (converter) converter->Stop();
    table = new StateCacheConfigTable();
    timers = ManualTimers();
    builder = new CapturingBuilder();
    DVSPropConvertor::Collaborators c;
    c.table = table.get();
    c.builder = builder;
    c.profiles = profiles;
    c.timers = timers.Factory();
    converter = new DVSPropConvertor(c, subtree);
    feed = std::make_unique<DesiredStateFeed>(*table, *converter);
  }
  // Applies what the converter sent so far to the datapath model and returns those messages.
  std::vector<std::vector<uint8_t>> Flush() {
    auto messages = builder->Take();
    dp.Apply(messages);
    return messages;
  }
  void Connect(const std::string& vif, const std::string& port, uint8_t type = 1, const std::string& sw = "dvs-1",
               const std::string& parent = "") {
    converter->HandleVifConnection(VifInfo{vif, port, sw, parent, type});
  }

  qor::RefPtr<StateCacheConfigTable> table{new StateCacheConfigTable()};
  std::shared_ptr<qor::upm::IProfileService> profiles;
  ManualTimers timers;
  qor::RefPtr<CapturingBuilder> builder;
  qor::RefPtr<DVSPropConvertor> converter;
  std::unique_ptr<DesiredStateFeed> feed;
  DatapathModel dp;
};

// Desired-state objects.
inline tv::LogSwitchConfigMsg Ls(uint64_t id) {
  tv::LogSwitchConfigMsg ls;
  *ls.mutable_id() = Uuid(id);
  return ls;
}
inline tv::LogSwitchPortConfigMsg Lsp(uint64_t id, uint64_t ls, const std::string& vif, const std::string& dvport) {
  tv::LogSwitchPortConfigMsg lsp;
  *lsp.mutable_id() = Uuid(id);
  *lsp.mutable_switch_id() = Uuid(ls);
  lsp.mutable_attachment()->set_type(1);
  lsp.mutable_attachment()->set_vif_id(vif);
  lsp.mutable_attachment()->set_dvport_id(dvport);
  return lsp;
}

}  // namespace VevUroro::test
