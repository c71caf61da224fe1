// MsgDispatcher: registry rules, ascending order, full-sync flag, loop start and stop on a real worker group; and
// the Tolvar client's merge of repeated overlay changes.
#include <gtest/gtest.h>

#include <mutex>

#include "core/WorkGroup.h"
#include "intake/MsgDispatcher.h"
#include "intake/TolvarClient.h"
#include "support/LogCapture.h"
#include "support/Wait.h"
#include "zantix/qor/tolvar/l3.pb.h"
#include "zantix/qor/tolvar/objecttype.pb.h"

namespace VevUroro {
namespace {

namespace tv = zantix::qor::tolvar;

// Records every call, across components, in call order.
struct CallLog {
  std::mutex mutex;
  std::vector<std::tuple<int, size_t, bool>> calls;  // component, entries, full sync
  size_t Size() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls.size();
  }
};

class Recording : public qor::RefCounted<Recording, Component> {
 public:
  Recording(int id, CallLog* log) : _id(id), _log(log) {}
  void UpdateDesiredState(const std::list<TolvarUpdateMsg>& updates, uint8_t fullSync) override {
    std::lock_guard<std::mutex> lock(_log->mutex);
    _log->calls.emplace_back(_id, updates.size(), fullSync != 0);
  }

 private:
  int _id;
  CallLog* _log;
};

Transaction Make(std::vector<std::pair<ComponentType, size_t>> lists, bool fullSync, unsigned long id) {
  Transaction transaction;
  for (auto [component, count] : lists) transaction.first[component].resize(count);
  transaction.second = {fullSync, id};
  return transaction;
}

TEST(MsgDispatcherTest, RegistryKeepsFirstAndLogsDuplicatesAndUnknowns) {
  qor::test::LogCapture log;
  CallLog calls;
  qor::RefPtr<MsgDispatcher> dispatcher(new MsgDispatcher(MakeUpdateQueue()));
  dispatcher->Register(DFW, new Recording(1, &calls));
  dispatcher->Register(DFW, new Recording(2, &calls));
  EXPECT_EQ(log.Count("MsgDispatcher: registered component DFW"), 1u);
  EXPECT_EQ(log.Count("MsgDispatcher: register existing component DFW"), 1u);
  dispatcher->Dispatch(Make({{DFW, 3}}, false, 1));
  ASSERT_EQ(calls.calls.size(), 1u);
  EXPECT_EQ(std::get<0>(calls.calls[0]), 1);  // the first one stayed
  dispatcher->Unregister(DFW);
  dispatcher->Unregister(DFW);
  EXPECT_EQ(log.Count("MsgDispatcher: unregistered component: DFW"), 1u);
  EXPECT_EQ(log.Count("MsgDispatcher: unregister nonexistent component"), 1u);
  EXPECT_FALSE(dispatcher->IsRegistered(DFW));
}

TEST(MsgDispatcherTest, AscendingOrderFullSyncAndUnregisteredIdsDropped) {
  CallLog calls;
  qor::RefPtr<MsgDispatcher> dispatcher(new MsgDispatcher(MakeUpdateQueue()));
  for (ComponentType id : {BFD, CONFIGCACHE, L3CACHE, DFW}) dispatcher->Register(id, new Recording(id, &calls));
  qor::test::LogCapture log;
  dispatcher->Dispatch(Make({{BFD, 1}, {LB, 4}, {DFW, 0}, {CONFIGCACHE, 2}, {L3CACHE, 0}}, true, 42));
  std::vector<std::tuple<int, size_t, bool>> expected = {
      {CONFIGCACHE, 2, true}, {L3CACHE, 0, true}, {DFW, 0, true}, {BFD, 1, true}};
  EXPECT_EQ(calls.calls, expected);
  EXPECT_EQ(log.Count("MsgDispatcher: dispatching object to component CONFIGCACHE (FullSync) ID 42"), 1u);
  EXPECT_EQ(log.Count("LB"), 0u);  // dropped without a message
}

TEST(MsgDispatcherTest, LoopRunsOnTheWorkGroupAndStopsWhenTheQueueCloses) {
  qor::metrics::Registry registry;
  WorkGroup::SetConfiguredThreadCounts(1, 4);
  ASSERT_TRUE(WorkGroup::Start(registry));
  CallLog calls;
  auto queue = MakeUpdateQueue();
  qor::RefPtr<MsgDispatcher> dispatcher(new MsgDispatcher(queue));
  dispatcher->Register(L2APP, new Recording(L2APP, &calls));
  ASSERT_TRUE(dispatcher->Start());
  EXPECT_FALSE(dispatcher->Start());
  for (unsigned long id = 0; id < 5; ++id) queue->Put(Make({{L2APP, id}}, id == 0, id));
  EXPECT_TRUE(qor::test::WaitFor([&] { return calls.Size() == 5; }));
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(std::get<1>(calls.calls[i]), i);  // FIFO
  dispatcher->Stop();
  dispatcher->Stop();
  EXPECT_FALSE(queue->IsOpen());
  WorkGroup::Stop();
}

TolvarUpdateMsg Entry(int32_t type, const std::string& id, const std::string& value, int32_t op) {
  TolvarUpdateMsg entry;
  entry.objectType = type;
  entry.objectId = id;
  entry.propertyType = 404;
  entry.value = value;
  entry.operation = op;
  return entry;
}

std::vector<std::pair<std::string, int32_t>> Summary(const std::list<TolvarUpdateMsg>& list) {
  std::vector<std::pair<std::string, int32_t>> out;
  for (const auto& entry : list) out.push_back({entry.value, entry.operation});
  return out;
}

TolvarUpdateMsg Entry(int32_t type, const std::string& id, int32_t property, const std::string& value, int32_t op) {
  TolvarUpdateMsg entry = Entry(type, id, value, op);
  entry.propertyType = property;
  return entry;
}

TEST(MergeRepeatedTest, InverseOperationsCancelAndRepeatsAreReported) {
  qor::test::LogCapture log;
  TransactionEntries entries;
  auto& l3 = entries[L3CACHE];
  l3.push_back(Entry(tv::ARP_TABLE_CONFIG, "a", "x", TolvarUpdateMsg::OP_INSERT));
  l3.push_back(Entry(tv::ARP_TABLE_CONFIG, "a", "x", TolvarUpdateMsg::OP_REMOVE));  // cancels the first
  l3.push_back(Entry(tv::ARP_TABLE_CONFIG, "a", "y", TolvarUpdateMsg::OP_INSERT));
  l3.push_back(Entry(tv::ARP_TABLE_CONFIG, "a", "y", TolvarUpdateMsg::OP_REMOVE));
  l3.push_back(Entry(tv::ARP_TABLE_CONFIG, "a", "y", TolvarUpdateMsg::OP_INSERT));  // survives
  // A next hop inserted twice (a database keeping lists as sets never sends it): both stay, one error naming it.
  tv::FibNextHopMsg hop;
  hop.mutable_ip()->set_ipv4(0x0a000001);
  const std::string z = hop.SerializeAsString();
  l3.push_back(Entry(tv::FIB, "b", tv::Property::L3_FIB_NEXT_HOP, z, TolvarUpdateMsg::OP_INSERT));
  l3.push_back(Entry(tv::FIB, "b", tv::Property::L3_FIB_NEXT_HOP, z, TolvarUpdateMsg::OP_INSERT));
  l3.push_back(Entry(tv::FIB, "b", tv::Property::L3_FIB_NEXT_HOP, z, TolvarUpdateMsg::OP_REMOVE));  // the later one
  l3.push_back(Entry(tv::PREFIX_LIST, "c", "w", TolvarUpdateMsg::OP_SET));                          // not a merged type
  l3.push_back(Entry(tv::PREFIX_LIST, "c", "w", TolvarUpdateMsg::OP_CLEAR));
  entries[DFW].push_back(Entry(tv::ARP_TABLE_CONFIG, "a", "x", TolvarUpdateMsg::OP_INSERT));
  entries[DFW].push_back(Entry(tv::ARP_TABLE_CONFIG, "a", "x", TolvarUpdateMsg::OP_REMOVE));

  TolvarClient::MergeRepeated(entries);
  std::vector<std::pair<std::string, int32_t>> expected = {{"y", TolvarUpdateMsg::OP_INSERT},
                                                           {z, TolvarUpdateMsg::OP_INSERT},
                                                           {"w", TolvarUpdateMsg::OP_SET},
                                                           {"w", TolvarUpdateMsg::OP_CLEAR}};
  EXPECT_EQ(Summary(entries[L3CACHE]), expected);
  EXPECT_EQ(entries[DFW].size(), 2u);  // only the cache lists are merged
  EXPECT_EQ(log.Count({"TolvarClient: find the same tolvar update FIB msg", "LCP00028"}), 1u);
  EXPECT_EQ(log.Count({"property L3_FIB_NEXT_HOP operation 3: " + hop.ShortDebugString()}), 1u);
  EXPECT_EQ(log.Count("TolvarClient: merge ARP_TABLE_CONFIG msg"), 2u);
}

TEST(MergeRepeatedTest, ElementsDoNotCancelAcrossTheirObjectsDeleteAndScalarsPassUnchanged) {
  TransactionEntries entries;
  auto& l2 = entries[L2CACHE];
  // A switch FIB deleted and created again with the same VTEP: the delete takes the VTEP with the object in the
  // cache, so the re-creation's insert must arrive.
  l2.push_back(Entry(tv::LOG_SWITCH_FIB, "f", 0, "switch 1", TolvarUpdateMsg::OP_CLEAR));
  l2.push_back(Entry(tv::LOG_SWITCH_FIB, "f", 302, "x", TolvarUpdateMsg::OP_REMOVE));
  l2.push_back(Entry(tv::LOG_SWITCH_FIB, "f", 0, "switch 2", TolvarUpdateMsg::OP_SET));
  l2.push_back(Entry(tv::LOG_SWITCH_FIB, "f", 302, "x", TolvarUpdateMsg::OP_INSERT));
  // Between two changes of the object, a removal and an insert of one element still cancel.
  l2.push_back(Entry(tv::LOG_SWITCH_FIB, "f", 302, "y", TolvarUpdateMsg::OP_INSERT));
  l2.push_back(Entry(tv::LOG_SWITCH_FIB, "f", 302, "y", TolvarUpdateMsg::OP_REMOVE));
  auto& l3 = entries[L3CACHE];
  // A router id replaced, then cleared with its object: the clear must not cancel the set that replaced it.
  l3.push_back(Entry(tv::FIB, "g", 400, "r2", TolvarUpdateMsg::OP_SET));
  l3.push_back(Entry(tv::FIB, "g", 400, "r2", TolvarUpdateMsg::OP_CLEAR));
  l3.push_back(Entry(tv::FIB, "g", 400, "r3", TolvarUpdateMsg::OP_SET));
  l3.push_back(Entry(tv::FIB, "g", 400, "r3", TolvarUpdateMsg::OP_SET));

  qor::test::LogCapture log;
  TolvarClient::MergeRepeated(entries);
  EXPECT_EQ(Summary(entries[L2CACHE]),
            (std::vector<std::pair<std::string, int32_t>>{{"switch 1", TolvarUpdateMsg::OP_CLEAR},
                                                          {"x", TolvarUpdateMsg::OP_REMOVE},
                                                          {"switch 2", TolvarUpdateMsg::OP_SET},
                                                          {"x", TolvarUpdateMsg::OP_INSERT}}));
  EXPECT_EQ(entries[L3CACHE].size(), 4u);
  EXPECT_EQ(log.Count("TolvarClient: find the same tolvar update"), 0u);  // only elements are checked for repeats
}

TEST(TolvarClientSettingsTest, ByPersona) {
  auto host = TolvarClientSettings::ForPersona(3, "tcp://127.0.0.1:2480");
  EXPECT_EQ(host.clientName, "cfg-agent");
  EXPECT_EQ(host.tracingName, "qor-vevuroro");
  EXPECT_EQ(host.mainVdb, 1);
  auto snHost = TolvarClientSettings::ForPersona(1, "e");
  EXPECT_EQ(snHost.tracingName, "qor-vevuroro-host");
  auto sn = TolvarClientSettings::ForPersona(2, "e");
  EXPECT_EQ(sn.clientName, "sn-cfg-agent");
  EXPECT_EQ(sn.mainVdb, 0);
  EXPECT_FALSE(TolvarClientSettings::ForPersona(0, "e").createClient);

  auto statements = TolvarClient::MonitorStatements(3);
  std::vector<int> types;
  for (const auto& s : statements) types.push_back(s.statement().object_type());
  std::vector<int> expected = {1,  2,  5,   6,   22,  23,  105, 31,  130, 129, 174, 162, 27,  28,  3,   4,   49, 82,
                               12, 56, 136, 176, 150, 151, 154, 200, 179, 189, 53,  108, 140, 141, 109, 110, 214};
  EXPECT_EQ(types, expected);
  EXPECT_TRUE(statements[0].flag());
  EXPECT_TRUE(statements[12].statement().has_select());
  EXPECT_FALSE(statements[3].statement().has_select());
  auto hostList = TolvarClient::MonitorStatements(1);
  EXPECT_EQ(hostList[28].statement().object_type(), 219);
  auto snList = TolvarClient::MonitorStatements(2);
  EXPECT_EQ(snList[28].statement().object_type(), 236);
}

}  // namespace
}  // namespace VevUroro
