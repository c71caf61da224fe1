// Helpers of the state cache tests: entries, ids, a recording observer and a fake Tolvar client.
#pragma once

#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <vector>

#include "cache/StateCacheObservers.h"
#include "intake/Decoder.h"
#include "intake/ITolvarClient.h"
#include "platform/tolvar/TolvarSchema.h"
#include "tools/tolvard/UpdateBuilder.h"
#include "zantix/qor/tolvar/common.pb.h"
#include "zantix/qor/tolvar/monitor.pb.h"

namespace VevUroro::test {

inline std::string Id(uint64_t low) {
  zantix::qor::tolvar::UuidMsg id;
  id.set_high(0x1111);
  id.set_low(low);
  return id.SerializeAsString();
}

inline TolvarUpdateMsg Entry(uint32_t type, const std::string& id, uint32_t property, std::string value,
                             int32_t op = TolvarUpdateMsg::OP_SET) {
  TolvarUpdateMsg entry;
  entry.objectType = static_cast<int32_t>(type);
  entry.objectId = id;
  entry.propertyType = static_cast<int32_t>(property);
  entry.value = std::move(value);
  entry.operation = op;
  return entry;
}

// What the decoder gives `component` for one change of an object, the monitor update being built by tolvard's own
// diff: `before` null = created, `after` null = deleted. The caches are tested with input they really receive.
inline std::list<TolvarUpdateMsg> Decoded(ComponentType component, const google::protobuf::Message* before,
                                          const google::protobuf::Message* after) {
  const google::protobuf::Message& any = after ? *after : *before;
  qor::tolvar::ObjectChange change;
  change.key.vdb = 1;
  change.key.type = qor::tolvar::ObjectTypeOf(any.GetDescriptor());
  qor::tolvar::ObjectIdBytes(any, &change.key.id);
  if (before) change.oldBody = qor::tolvar::DeterministicBytes(*before);
  if (after) change.newBody = qor::tolvar::DeterministicBytes(*after);
  std::list<TolvarUpdateMsg> out;
  for (Decoder::Group& group : Decoder::Decode(qor::tolvar::ChangeDiff(change).Update(nullptr))) {
    for (ComponentType target : group.targets) {
      if (target == component) out.insert(out.end(), group.entries.begin(), group.entries.end());
    }
  }
  return out;
}

// The entries of a full sync of `objects` for `component`, as the decoder gives them.
inline std::list<TolvarUpdateMsg> FullSync(ComponentType component,
                                           std::initializer_list<const google::protobuf::Message*> objects) {
  std::list<TolvarUpdateMsg> out;
  for (const google::protobuf::Message* object : objects) out.splice(out.end(), Decoded(component, nullptr, object));
  return out;
}

// A change as a comparable line: type, id, property, operation, value.
inline std::string ChangeText(const StateCacheChange& change) {
  const TolvarUpdateMsg& e = change.entry;
  return std::to_string(e.objectType) + " " + std::to_string(e.objectId.size()) + ":" + e.objectId + " " +
         std::to_string(e.propertyType) + " op " + std::to_string(e.operation) + " " + e.value;
}

struct ObserverCall {
  StateCacheChangeList changes;
  bool fullSync = false;
  bool first = false;
};

class RecordingObserver : public SCConfigTableObserver, public SCL2TableObserver, public SCL3TableObserver {
 public:
  void OnConfigDesiredStateChanged(const StateCacheChangeList& changes, bool fullSync, bool first) override {
    Add({changes, fullSync, first});
  }
  void OnConfigRuntimeStateChanged(const StateCacheChangeList& changes, bool fullSync) override {
    Add({changes, fullSync, false});
  }
  void OnL2RuntimeStateChanged(const StateCacheChangeList& changes, bool fullSync) override {
    Add({changes, fullSync, false});
  }
  void OnL2DesiredStateChanged(const StateCacheChangeList& changes, bool fullSync) override {
    Add({changes, fullSync, false});
  }
  void OnL3DesiredStateChanged(const StateCacheChangeList& changes, bool fullSync) override {
    Add({changes, fullSync, false});
  }
  std::vector<ObserverCall> Calls() {
    std::lock_guard<std::mutex> lock(_mutex);
    return _calls;
  }

 private:
  void Add(ObserverCall call) {
    std::lock_guard<std::mutex> lock(_mutex);
    _calls.push_back(std::move(call));
  }
  std::mutex _mutex;
  std::vector<ObserverCall> _calls;
};

class FakeTolvarClient : public qor::RefCounted<FakeTolvarClient, ITolvarClient> {
 public:
  void Write(const std::list<zantix::qor::tolvar::ModifyRequestMsg>& requests) override {
    std::lock_guard<std::mutex> lock(_mutex);
    writes.push_back(requests);
  }
  // Recorded like Write; the completion runs when the test commits the write (Commit).
  void WriteThen(const std::list<zantix::qor::tolvar::ModifyRequestMsg>& requests,
                 std::function<void()> committed) override {
    std::lock_guard<std::mutex> lock(_mutex);
    writes.push_back(requests);
    completions.push_back(std::move(committed));
  }
  // Runs the completions of the writes made so far.
  void Commit() {
    std::vector<std::function<void()>> done;
    {
      std::lock_guard<std::mutex> lock(_mutex);
      done.swap(completions);
    }
    for (auto& completion : done) completion();
  }
  void RegisterVessixVifMonitor() override {}
  void FullSyncWithDpDone(bool done, ComponentType component) override {
    std::lock_guard<std::mutex> lock(_mutex);
    fullSyncReports.emplace_back(done, component);
  }
  uint16_t MainVdb() const override { return vdb; }
  static zantix::qor::tolvar::ModifyRequestMsg Flush(uint32_t type) {
    zantix::qor::tolvar::ModifyRequestMsg request;
    request.mutable_modify()->mutable_flush()->set_object_type(static_cast<zantix::qor::tolvar::ObjectType>(type));
    request.mutable_modify()->mutable_flush()->add_vdbs(1);
    return request;
  }

  uint16_t vdb = 1;
  std::vector<std::list<zantix::qor::tolvar::ModifyRequestMsg>> writes;
  std::vector<std::pair<bool, ComponentType>> fullSyncReports;
  std::vector<std::function<void()>> completions;

 private:
  std::mutex _mutex;
};

}  // namespace VevUroro::test
