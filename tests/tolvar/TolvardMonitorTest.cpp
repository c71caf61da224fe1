// tolvard against the client library: monitors, transactions, element operations, flush, get, echo.
#include "tests/tolvar/TolvardFixture.h"

namespace qor::tolvar::test {
namespace {

constexpr uint32_t kLsp = tv::LOG_SWITCH_PORT_CONFIG;
constexpr uint32_t kLsFib = tv::LOG_SWITCH_FIB;
constexpr uint32_t kRdFib = tv::ROUTING_DOMAIN_FIB;
constexpr uint32_t kFib = tv::FIB;
constexpr uint32_t kArp = tv::ARP_TABLE_CONFIG;
constexpr uint32_t kVifState = tv::VIF_STATE;

tv::LogSwitchPortConfigMsg Port(uint64_t id, bool up) {
  tv::LogSwitchPortConfigMsg port;
  *port.mutable_id() = Uuid(id);
  *port.mutable_switch_id() = Uuid(900);
  port.set_admin_state_up(up);
  return port;
}

tv::VtepMsg Vtep(uint32_t ip, uint32_t label) {
  tv::VtepMsg vtep;
  *vtep.mutable_ip() = Ip(ip);
  vtep.set_label(label);
  return vtep;
}

TEST_F(TolvardTest, RegistrationDeliversSnapshotThenOneBarrier) {
  auto writer = NewClient("writer");
  writer->StartAsync();
  ASSERT_TRUE(writer->Modify({Put(kLsp, Port(1, true)), Put(kLsp, Port(2, false))}).ok());

  Recorder recorder;
  auto client = Monitor(recorder, {kLsp, kLsFib});
  auto snapshot = recorder.Between(0);
  ASSERT_EQ(snapshot.size(), 2u);
  for (const auto& update : snapshot) {
    std::string op;
    ElementOps(update, &op);
    EXPECT_EQ(op, "SET");
    EXPECT_FALSE(update.has_old_object_body());
    EXPECT_EQ(update.object_type(), tv::LOG_SWITCH_PORT_CONFIG);
  }
  EXPECT_EQ(recorder.BarrierCount(), 1);
  EXPECT_EQ(recorder.StatusChanges(), std::vector<bool>{true});
}

TEST_F(TolvardTest, EachTransactionEndsWithOneBarrierAndCarriesOldBodies) {
  Recorder recorder;
  auto client = Monitor(recorder, {kLsp});
  ASSERT_TRUE(client->Modify({Put(kLsp, Port(1, true)), Put(kLsp, Port(2, true))}).ok());
  ASSERT_TRUE(recorder.WaitBarriers(2));
  ASSERT_TRUE(client->Modify({Put(kLsp, Port(1, false))}).ok());
  ASSERT_TRUE(recorder.WaitBarriers(3));
  EXPECT_EQ(recorder.Between(1).size(), 2u);
  auto second = recorder.Between(2);
  ASSERT_EQ(second.size(), 1u);
  tv::LogSwitchPortConfigMsg now, before;
  ASSERT_TRUE(now.ParseFromString(second[0].new_object_body()));
  ASSERT_TRUE(second[0].has_old_object_body());
  ASSERT_TRUE(before.ParseFromString(second[0].old_object_body()));
  EXPECT_FALSE(now.admin_state_up());
  EXPECT_TRUE(before.admin_state_up());

  // A put that changes nothing is no transaction for the monitors; an echo after it proves it was handled.
  ASSERT_TRUE(client->Modify({Put(kLsp, Port(1, false))}).ok());
  std::string reply;
  ASSERT_TRUE(client->Echo("after", &reply).ok());
  EXPECT_EQ(reply, "after");
  EXPECT_EQ(recorder.BarrierCount(), 3);
}

// Monitors receive a put's object in the serializer's own layout, whatever the layout of the bytes put: the agent's
// decoder takes a property's value from those bytes as they are, nested messages included. Put here: the top-level
// fields out of order, the id's two halves in the other order, and a nested field without presence written with
// its default value.
TEST_F(TolvardTest, APutReachesMonitorsInTheSerializersLayout) {
  tv::LogSwitchConfigMsg object;
  *object.mutable_id() = Uuid(5);
  object.set_vni(5001);
  object.mutable_transport_zone_id()->set_high(7);  // low left 0: written explicitly below
  const std::string canonical = DeterministicBytes(object);

  auto fixed64 = [](uint32_t number, uint64_t value) {
    std::string out(1, static_cast<char>(number << 3 | 1));
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
    return out;
  };
  auto delimited = [](uint32_t number, const std::string& payload) {
    return std::string(1, static_cast<char>(number << 3 | 2)) + static_cast<char>(payload.size()) + payload;
  };
  const std::string id = fixed64(2, object.id().low()) + fixed64(1, object.id().high());
  const std::string zone = fixed64(2, 0) + fixed64(1, 7);
  const std::string vni = std::string{'\x10'} + static_cast<char>(0x89) + static_cast<char>(0x27);  // 5001
  const std::string body = delimited(7, zone) + vni + delimited(1, id);
  tv::LogSwitchConfigMsg reparsed;
  ASSERT_TRUE(reparsed.ParseFromString(body));
  ASSERT_EQ(DeterministicBytes(reparsed), canonical) << "the put's bytes hold another object";
  ASSERT_NE(body, canonical);

  Recorder recorder;
  auto client = Monitor(recorder, {tv::LOG_SWITCH_CONFIG});
  tv::ModifyRequestMsg request;
  tv::PutMsg* put = request.mutable_modify()->mutable_put();
  put->mutable_object()->set_object_type(tv::LOG_SWITCH_CONFIG);
  put->mutable_object()->set_object_body(body);
  ASSERT_TRUE(client->Modify({request}).ok());
  ASSERT_TRUE(recorder.WaitBarriers(2));
  auto updates = recorder.Between(1);
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0].new_object_body(), canonical);
}

TEST_F(TolvardTest, RequestListIsAtomic) {
  Recorder recorder;
  auto client = Monitor(recorder, {kLsp, kVifState});
  tv::VifStateMsg vif;
  vif.set_id("vif-1");
  // The third request patches an object that does not exist: nothing of the list may be applied.
  rpc::Status status = client->Modify({Put(kLsp, Port(1, true)), Put(kVifState, vif),
                                       Patch(kVifState, "vif-missing", tv::Property::VIF_MAC, tv::CLEAR, nullptr)});
  EXPECT_FALSE(status.ok());
  EXPECT_NE(status.message().find("request 2"), std::string::npos) << status.message();
  EXPECT_NE(status.message().find("vif-missing"), std::string::npos) << status.message();

  std::vector<tv::TypedObjectMsg> found{tv::TypedObjectMsg()};
  std::atomic<bool> done{false};
  tv::ObjectRequestMsg request;
  request.set_object_type(tv::LOG_SWITCH_PORT_CONFIG);
  request.set_object_id(UuidBytes(1));
  client->GetAsync(
      {request},
      [&](const std::vector<tv::TypedObjectMsg>& objects, const rpc::Status& s) {
        EXPECT_TRUE(s.ok());
        found = objects;
        done = true;
      },
      1);
  ASSERT_TRUE(qor::test::WaitFor([&] { return done.load(); }));
  EXPECT_TRUE(found.empty());
  EXPECT_EQ(recorder.BarrierCount(), 1);

  // Unknown types and bodies that do not parse are refused the same way.
  tv::ModifyRequestMsg unknown = Put(kLsp, Port(3, true));
  unknown.mutable_modify()->mutable_put()->mutable_object()->set_object_type(static_cast<tv::ObjectType>(7777));
  EXPECT_FALSE(client->Modify({Put(kLsp, Port(4, true)), unknown}).ok());
  tv::ModifyRequestMsg garbage = Put(kLsp, Port(5, true));
  garbage.mutable_modify()->mutable_put()->mutable_object()->set_object_body("\xff\xff\xff");
  EXPECT_FALSE(client->Modify({garbage}).ok());
  EXPECT_TRUE(client->Echo("x", nullptr).ok());
  EXPECT_EQ(recorder.BarrierCount(), 1);
}

TEST_F(TolvardTest, LogSwitchFibElementOperations) {
  Recorder recorder;
  auto client = Monitor(recorder, {kLsFib});
  tv::LogSwitchFibMsg fib;
  *fib.mutable_id() = Uuid(10);
  *fib.add_vteps() = Vtep(1, 1);
  *fib.add_vteps() = Vtep(2, 2);
  tv::VmMacMsg mac;
  mac.mutable_mac()->set_mac(0xaabbccddeeffULL);
  *fib.add_vm_macs() = mac;
  ASSERT_TRUE(client->Modify({Put(kLsFib, fib)}).ok());
  ASSERT_TRUE(recorder.WaitBarriers(2));
  std::string op;
  EXPECT_EQ(ElementOps(recorder.Between(1)[0], &op),
            (std::vector<std::string>{"INSERT L2_VM_MAC[0]", "INSERT L2_VTEP[0]", "INSERT L2_VTEP[1]"}));
  EXPECT_EQ(op, "SET");

  // New version: vtep 1 stays, vtep 2 goes, vtep 3 comes; the MAC list is unchanged.
  tv::LogSwitchFibMsg next = fib;
  next.clear_vteps();
  *next.add_vteps() = Vtep(3, 3);
  *next.add_vteps() = Vtep(1, 1);
  ASSERT_TRUE(client->Modify({Put(kLsFib, next)}).ok());
  ASSERT_TRUE(recorder.WaitBarriers(3));
  EXPECT_EQ(ElementOps(recorder.Between(2)[0], &op),
            (std::vector<std::string>{"REMOVE L2_VTEP[1]", "INSERT L2_VTEP[0]"}));
  EXPECT_EQ(op, "UPDATE");

  // A patch append and a patch remove each yield exactly one element operation.
  tv::VmIpMsg vmIp;
  *vmIp.mutable_ip() = Ip(77);
  ASSERT_TRUE(client->Modify({Patch(kLsFib, UuidBytes(10), tv::Property::L2_VM_IP, tv::APPEND, &vmIp)}).ok());
  ASSERT_TRUE(recorder.WaitBarriers(4));
  EXPECT_EQ(ElementOps(recorder.Between(3)[0]), (std::vector<std::string>{"INSERT L2_VM_IP[0]"}));
  tv::VtepMsg gone = Vtep(3, 3);
  ASSERT_TRUE(client->Modify({Patch(kLsFib, UuidBytes(10), tv::Property::L2_VTEP, tv::REMOVE, &gone)}).ok());
  ASSERT_TRUE(recorder.WaitBarriers(5));
  auto removal = recorder.Between(4);
  ASSERT_EQ(removal.size(), 1u);
  EXPECT_EQ(ElementOps(removal[0]), (std::vector<std::string>{"REMOVE L2_VTEP[0]"}));
  tv::LogSwitchFibMsg old;
  ASSERT_TRUE(old.ParseFromString(removal[0].old_object_body()));
  EXPECT_EQ(old.vteps(0).label(), 3u);  // the index points into the old body

  // Deleting the object removes every element that was left.
  ASSERT_TRUE(client->Modify({Delete(kLsFib, UuidBytes(10))}).ok());
  ASSERT_TRUE(recorder.WaitBarriers(6));
  EXPECT_EQ(ElementOps(recorder.Between(5)[0], &op),
            (std::vector<std::string>{"REMOVE L2_VM_IP[0]", "REMOVE L2_VM_MAC[0]", "REMOVE L2_VTEP[0]"}));
  EXPECT_EQ(op, "CLEAR");
  EXPECT_TRUE(recorder.Between(5)[0].new_object_body().empty());
}

// A list property is a set keyed by its elements' keys (for VTEPs: the label): a put or a set holding one key
// twice is refused, an append of a present key replaces that element, a remove takes the element of its key.
TEST_F(TolvardTest, ListsAreSetsKeyedByTheirElements) {
  Recorder recorder;
  auto client = Monitor(recorder, {kLsFib, tv::L2_VTEP_GROUP});
  tv::LogSwitchFibMsg fib;
  *fib.mutable_id() = Uuid(10);
  *fib.add_vteps() = Vtep(1, 5);
  *fib.add_vteps() = Vtep(2, 5);
  rpc::Status refused = client->Modify({Put(kLsFib, fib)});
  EXPECT_EQ(refused.code(), 3);
  EXPECT_NE(refused.message().find("request 0: put LOG_SWITCH_FIB"), std::string::npos) << refused.message();
  EXPECT_NE(refused.message().find("L2_VTEP holds two elements with the same key (elements 0 and 1)"),
            std::string::npos)
      << refused.message();
  tv::VtepGroupMsg group;
  *group.mutable_id() = Uuid(11);
  ASSERT_TRUE(client->Modify({Put(tv::L2_VTEP_GROUP, group)}).ok());
  tv::VtepGroupMsg twice;
  *twice.add_vteps() = Vtep(1, 5);
  *twice.add_vteps() = Vtep(1, 5);
  refused = client->Modify({Patch(tv::L2_VTEP_GROUP, UuidBytes(11), tv::Property::L2_VTEP_GROUP, tv::SET, &twice)});
  EXPECT_EQ(refused.code(), 3);
  EXPECT_NE(refused.message().find("L2_VTEP_GROUP holds two elements"), std::string::npos) << refused.message();

  fib.clear_vteps();
  *fib.add_vteps() = Vtep(1, 5);
  *fib.add_vteps() = Vtep(1, 6);
  ASSERT_TRUE(client->Modify({Put(kLsFib, fib)}).ok());
  ASSERT_TRUE(recorder.WaitBarriers(3));
  // Label 5 at another address: the element of label 5 is replaced, in place.
  tv::VtepMsg moved = Vtep(9, 5);
  ASSERT_TRUE(client->Modify({Patch(kLsFib, UuidBytes(10), tv::Property::L2_VTEP, tv::APPEND, &moved)}).ok());
  ASSERT_TRUE(recorder.WaitBarriers(4));
  std::string op;
  EXPECT_EQ(ElementOps(recorder.Between(3)[0], &op),
            (std::vector<std::string>{"REMOVE L2_VTEP[0]", "INSERT L2_VTEP[0]"}));
  EXPECT_EQ(op, "UPDATE");
  tv::LogSwitchFibMsg now;
  ASSERT_TRUE(now.ParseFromString(recorder.Between(3)[0].new_object_body()));
  ASSERT_EQ(now.vteps_size(), 2);
  EXPECT_EQ(now.vteps(0).ip().ipv4(), 9u);
  // Appending it again changes nothing: no update, and the next transaction is the next barrier.
  ASSERT_TRUE(client->Modify({Patch(kLsFib, UuidBytes(10), tv::Property::L2_VTEP, tv::APPEND, &moved)}).ok());
  // A remove names the key: label 6, whatever its address.
  tv::VtepMsg gone = Vtep(77, 6);
  ASSERT_TRUE(client->Modify({Patch(kLsFib, UuidBytes(10), tv::Property::L2_VTEP, tv::REMOVE, &gone)}).ok());
  ASSERT_TRUE(recorder.WaitBarriers(5));
  EXPECT_EQ(ElementOps(recorder.Between(4)[0]), (std::vector<std::string>{"REMOVE L2_VTEP[1]"}));
}

// The runtime write-back's shape: a put and then one patch per element, in one transaction. Consecutive changes of
// one object are one change, so a monitor sees one update with the object as the transaction leaves it (not one
// full copy of the object per patch, which made such a transaction cost the square of its length); a delete and a
// re-creation stay two, and a run that puts an object back as it was is no update at all.
TEST_F(TolvardTest, ARunOfPatchesOfOneObjectIsOneChange) {
  Recorder recorder;
  auto client = Monitor(recorder, {kLsFib, kLsp});
  tv::LogSwitchFibMsg fib;
  *fib.mutable_id() = Uuid(20);
  std::vector<tv::ModifyRequestMsg> transaction = {Put(kLsFib, fib)};
  for (uint32_t label = 1; label <= 300; ++label) {
    tv::VtepMsg vtep = Vtep(label, label);
    transaction.push_back(Patch(kLsFib, UuidBytes(20), tv::Property::L2_VTEP, tv::APPEND, &vtep));
  }
  tv::VtepMsg replaced = Vtep(1000, 7);  // label 7 again: replaced in place
  transaction.push_back(Patch(kLsFib, UuidBytes(20), tv::Property::L2_VTEP, tv::APPEND, &replaced));
  tv::VtepMsg removed = Vtep(0, 9);
  transaction.push_back(Patch(kLsFib, UuidBytes(20), tv::Property::L2_VTEP, tv::REMOVE, &removed));
  transaction.push_back(Put(kLsp, Port(21, true)));
  tv::VtepMsg after = Vtep(2000, 500);  // a later run of the same object: a change of its own
  transaction.push_back(Patch(kLsFib, UuidBytes(20), tv::Property::L2_VTEP, tv::APPEND, &after));
  ASSERT_TRUE(client->Modify(transaction).ok());
  ASSERT_TRUE(recorder.WaitBarriers(2));
  std::vector<tv::MonitorUpdateMsg> updates = recorder.Between(1);
  ASSERT_EQ(updates.size(), 3u);
  EXPECT_EQ(static_cast<uint32_t>(updates[0].object_type()), kLsFib);
  EXPECT_FALSE(updates[0].has_old_object_body());
  tv::LogSwitchFibMsg first;
  ASSERT_TRUE(first.ParseFromString(updates[0].new_object_body()));
  ASSERT_EQ(first.vteps_size(), 299);
  EXPECT_EQ(first.vteps(6).ip().ipv4(), 1000u);
  EXPECT_EQ(first.vteps(7).label(), 8u);  // label 9 removed, the rest in order
  EXPECT_EQ(ElementOps(updates[0]).size(), 299u);
  EXPECT_EQ(static_cast<uint32_t>(updates[1].object_type()), kLsp);
  EXPECT_EQ(ElementOps(updates[2]), (std::vector<std::string>{"INSERT L2_VTEP[299]"}));

  // Patches that end where the object started: no change, no update.
  tv::VtepMsg extra = Vtep(3000, 3000);
  ASSERT_TRUE(client
                  ->Modify({Patch(kLsFib, UuidBytes(20), tv::Property::L2_VTEP, tv::APPEND, &extra),
                            Patch(kLsFib, UuidBytes(20), tv::Property::L2_VTEP, tv::REMOVE, &extra)})
                  .ok());
  // Delete and re-create in one transaction: two updates.
  tv::LogSwitchFibMsg again;
  *again.mutable_id() = Uuid(20);
  *again.add_vteps() = Vtep(5, 5);
  ASSERT_TRUE(client->Modify({Delete(kLsFib, UuidBytes(20)), Put(kLsFib, again)}).ok());
  ASSERT_TRUE(recorder.WaitBarriers(3));
  updates = recorder.Between(2);
  ASSERT_EQ(updates.size(), 2u);
  EXPECT_TRUE(updates[0].new_object_body().empty());
  EXPECT_FALSE(updates[1].has_old_object_body());
}

TEST_F(TolvardTest, RoutingDomainFibFibAndArpElementOperations) {
  Recorder recorder;
  auto client = Monitor(recorder, {kRdFib, kFib, kArp});

  tv::RoutingDomainFibMsg rd;
  *rd.mutable_id() = Uuid(20);
  *rd.add_vteps() = Vtep(1, 1);
  tv::VtepGroupLabelMsg label;
  label.set_label(5);
  *rd.add_vtep_group_labels() = label;
  tv::FibMsg fib;
  *fib.mutable_id() = Uuid(21);
  *fib.mutable_router_id() = Uuid(99);
  tv::FibNextHopMsg hop;
  *hop.mutable_ip() = Ip(1);
  *fib.add_next_hops() = hop;
  tv::ArpTableConfigMsg arp;
  *arp.mutable_id() = Uuid(22);
  *arp.mutable_router_port_id() = Uuid(98);
  tv::ArpEntryMsg entry;
  *entry.mutable_ip() = Ip(1);
  entry.mutable_mac()->set_mac(1);
  *arp.add_entries() = entry;
  ASSERT_TRUE(client->Modify({Put(kRdFib, rd), Put(kFib, fib), Put(kArp, arp)}).ok());
  ASSERT_TRUE(recorder.WaitBarriers(2));
  auto first = recorder.Between(1);
  ASSERT_EQ(first.size(), 3u);
  EXPECT_EQ(ElementOps(first[0]), (std::vector<std::string>{"INSERT L2_VTEP[0]", "INSERT L2_VTEP_GROUP_LABEL[0]"}));
  EXPECT_EQ(ElementOps(first[1]), (std::vector<std::string>{"INSERT L3_FIB_NEXT_HOP[0]"}));
  EXPECT_EQ(ElementOps(first[2]), (std::vector<std::string>{"INSERT L3_ARP_ENTRY[0]"}));

  // One transaction: an ARP entry replaced (remove + insert), a next hop added, a group label removed.
  tv::ArpTableConfigMsg arp2 = arp;
  arp2.mutable_entries(0)->mutable_mac()->set_mac(2);
  tv::FibNextHopMsg hop2;
  hop2.set_blackhole(true);
  tv::VtepGroupLabelMsg labelGone = label;
  ASSERT_TRUE(
      client
          ->Modify({Put(kArp, arp2), Patch(kFib, UuidBytes(21), tv::Property::L3_FIB_NEXT_HOP, tv::APPEND, &hop2),
                    Patch(kRdFib, UuidBytes(20), tv::Property::L2_VTEP_GROUP_LABEL, tv::REMOVE, &labelGone)})
          .ok());
  ASSERT_TRUE(recorder.WaitBarriers(3));
  auto second = recorder.Between(2);
  ASSERT_EQ(second.size(), 3u);
  EXPECT_EQ(ElementOps(second[0]), (std::vector<std::string>{"REMOVE L3_ARP_ENTRY[0]", "INSERT L3_ARP_ENTRY[0]"}));
  EXPECT_EQ(ElementOps(second[1]), (std::vector<std::string>{"INSERT L3_FIB_NEXT_HOP[1]"}));
  EXPECT_EQ(ElementOps(second[2]), (std::vector<std::string>{"REMOVE L2_VTEP_GROUP_LABEL[0]"}));

  // Changing a scalar of a FIB (its router) is an object-level SET without element operations.
  tv::FibMsg moved = fib;
  *moved.add_next_hops() = hop2;
  *moved.mutable_router_id() = Uuid(97);
  ASSERT_TRUE(client->Modify({Put(kFib, moved)}).ok());
  ASSERT_TRUE(recorder.WaitBarriers(4));
  std::string op;
  EXPECT_TRUE(ElementOps(recorder.Between(3)[0], &op).empty());
  EXPECT_EQ(op, "SET");
}

TEST_F(TolvardTest, SelectClauseNamesTheListsToFollow) {
  auto client = NewClient();
  Recorder recorder;
  client->RegisterCallbacks(101, recorder.Updates(), recorder.Barriers(), 1);
  tv::MonitorStatementMsg statement = Statement(kLsFib);
  tv::LogSwitchFibOpMsg select;
  select.set_op(tv::SELECT);
  select.add_vteps_ops()->set_op(tv::SELECT);
  statement.mutable_statement()->mutable_select()->set_op_message(select.SerializeAsString());
  ASSERT_TRUE(client->ConfigureMonitors({statement}, {}, 101, 1));
  client->StartAsync();
  ASSERT_TRUE(recorder.WaitBarriers(1));
  tv::LogSwitchFibMsg fib;
  *fib.mutable_id() = Uuid(1);
  *fib.add_vteps() = Vtep(1, 1);
  *fib.add_vm_ips()->mutable_ip() = Ip(5);
  ASSERT_TRUE(client->Modify({Put(kLsFib, fib)}).ok());
  ASSERT_TRUE(recorder.WaitBarriers(2));
  EXPECT_EQ(ElementOps(recorder.Between(1)[0]), (std::vector<std::string>{"INSERT L2_VTEP[0]"}));

  tv::MonitorStatementMsg bad = Statement(kLsFib);
  bad.mutable_statement()->mutable_select()->set_op_message("\xff\xff");
  EXPECT_FALSE(client->ConfigureMonitors({bad}, {}, 101, 1));
  EXPECT_FALSE(client->ConfigureMonitors({Statement(5555)}, {}, 101, 1));
}

TEST_F(TolvardTest, FlushRemovesOneTypeInTheNamedVdbsOnly) {
  Recorder vdb1, vdb2;
  auto c1 = Monitor(vdb1, {kVifState, kLsp}, 1);
  auto c2 = Monitor(vdb2, {kVifState}, 2);
  tv::VifStateMsg a, b;
  a.set_id("a");
  b.set_id("b");
  ASSERT_TRUE(
      c1->Modify({Put(kVifState, a, 1), Put(kVifState, b, 1), Put(kVifState, a, 2), Put(kLsp, Port(1, true), 1)}).ok());
  ASSERT_TRUE(vdb1.WaitBarriers(2));
  ASSERT_TRUE(vdb2.WaitBarriers(2));
  ASSERT_TRUE(c1->Modify({Flush(kVifState, {1})}).ok());
  ASSERT_TRUE(vdb1.WaitBarriers(3));
  auto flushed = vdb1.Between(2);
  ASSERT_EQ(flushed.size(), 2u);
  for (const auto& update : flushed) {
    std::string op;
    ElementOps(update, &op);
    EXPECT_EQ(op, "CLEAR");
    EXPECT_EQ(update.object_type(), tv::VIF_STATE);
  }
  // vdb 2 kept its object and saw no transaction; the port in vdb 1 survived.
  ASSERT_TRUE(c2->Echo("sync", nullptr).ok());
  EXPECT_EQ(vdb2.BarrierCount(), 2);
  Recorder check;
  auto c3 = Monitor(check, {kVifState, kLsp}, 1);
  auto snapshot = check.Between(0);
  ASSERT_EQ(snapshot.size(), 1u);
  EXPECT_EQ(snapshot[0].object_type(), tv::LOG_SWITCH_PORT_CONFIG);
}

TEST_F(TolvardTest, GetReturnsTheObjectsFoundAndEchoRoundTrips) {
  auto client = NewClient();
  client->StartAsync();
  tv::VifStateMsg vif;
  vif.set_id("vif-7");
  vif.mutable_mac()->set_mac(42);
  ASSERT_TRUE(client->Modify({Put(kVifState, vif, 3)}).ok());

  std::vector<tv::ObjectRequestMsg> requests(2);
  requests[0].set_object_type(tv::VIF_STATE);
  requests[0].set_object_id("vif-7");
  requests[1].set_object_type(tv::VIF_STATE);
  requests[1].set_object_id("vif-none");
  std::mutex mutex;
  std::vector<tv::TypedObjectMsg> found;
  int calls = 0;
  auto done = [&](const std::vector<tv::TypedObjectMsg>& objects, const rpc::Status& status) {
    std::lock_guard lock(mutex);
    EXPECT_TRUE(status.ok());
    found.insert(found.end(), objects.begin(), objects.end());
    ++calls;
  };
  client->GetAsync(requests, done, 3);
  client->GetAsync(requests, done, 1);  // another vdb: nothing
  ASSERT_TRUE(qor::test::WaitFor([&] {
    std::lock_guard lock(mutex);
    return calls == 2;
  }));
  ASSERT_EQ(found.size(), 1u);
  tv::VifStateMsg got;
  ASSERT_TRUE(got.ParseFromString(found[0].object_body()));
  EXPECT_EQ(got.mac().mac(), 42u);

  std::atomic<bool> failed{false};
  tv::ObjectRequestMsg unknown;
  unknown.set_object_type(static_cast<tv::ObjectType>(4444));
  client->GetAsync(
      {unknown}, [&](const std::vector<tv::TypedObjectMsg>&, const rpc::Status& status) { failed = !status.ok(); }, 1);
  ASSERT_TRUE(qor::test::WaitFor([&] { return failed.load(); }));

  std::string big(1 << 20, 'x'), reply;
  ASSERT_TRUE(client->Echo(big, &reply).ok());
  EXPECT_EQ(reply, big);
  EXPECT_GT(client->LastActivityTime().time_since_epoch().count(), 0);
}

TEST_F(TolvardTest, TwoClientsSeeEachOthersTransactions) {
  Recorder r1, r2;
  auto c1 = Monitor(r1, {kLsp});
  auto c2 = Monitor(r2, {kLsp});
  ASSERT_TRUE(c1->Modify({Put(kLsp, Port(1, true))}).ok());
  ASSERT_TRUE(c2->Modify({Put(kLsp, Port(2, true))}).ok());
  ASSERT_TRUE(r1.WaitBarriers(3));
  ASSERT_TRUE(r2.WaitBarriers(3));
  EXPECT_EQ(r1.Between(1).size(), 1u);
  EXPECT_EQ(r1.Between(2).size(), 1u);
  EXPECT_EQ(r2.Between(1)[0].new_object_body(), r1.Between(1)[0].new_object_body());
  EXPECT_EQ(r2.Between(2)[0].new_object_body(), r1.Between(2)[0].new_object_body());
}

TEST_F(TolvardTest, MonitorsSeeOnlyTheirVdbAndTypes) {
  Recorder ports1, fibs1, ports2;
  auto a = Monitor(ports1, {kLsp}, 1);
  auto b = Monitor(fibs1, {kLsFib}, 1);
  auto c = Monitor(ports2, {kLsp}, 2);
  ASSERT_TRUE(a->Modify({Put(kLsp, Port(1, true), 2)}).ok());  // vdb 2 only
  ASSERT_TRUE(ports2.WaitBarriers(2));
  ASSERT_TRUE(a->Modify({Put(kLsp, Port(2, true), 1)}).ok());  // vdb 1 ports only
  ASSERT_TRUE(ports1.WaitBarriers(2));
  ASSERT_TRUE(b->Echo("sync", nullptr).ok());
  ASSERT_TRUE(c->Echo("sync", nullptr).ok());
  EXPECT_EQ(ports1.BarrierCount(), 2);
  EXPECT_EQ(ports1.Between(1).size(), 1u);
  EXPECT_EQ(fibs1.BarrierCount(), 1);
  EXPECT_TRUE(fibs1.Entries().empty());
  EXPECT_EQ(ports2.BarrierCount(), 2);

  // Removing the statement stops the updates.
  ASSERT_TRUE(a->ConfigureMonitors({}, {Statement(kLsp)}, 101, 1));
  ASSERT_TRUE(a->Modify({Put(kLsp, Port(3, true), 1)}).ok());
  ASSERT_TRUE(a->Echo("sync", nullptr).ok());
  EXPECT_EQ(ports1.BarrierCount(), 2);
}

}  // namespace
}  // namespace qor::tolvar::test
