// The BFD table application fed as the agent feeds it: desired state written to a real tolvard and carried by the
// agent's client, decoder, dispatcher and state cache (AgentCachePipeline); local VTEPs stored in the L2 table's
// runtime store in the shape the L2 application stores what the datapath reports. What the application sends is
// captured by a CapturingBfdDataplane.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "apps/overlay/BFDTableApp.h"
#include "intake/Decoder.h"
#include "overlay/CapturingBfdDataplane.h"
#include "support/AgentCachePipeline.h"
#include "support/LogCapture.h"
#include "tolvar/TolvardFixture.h"
#include "zantix/qor/tolvar/ops.pb.h"
#include "zantix/qor/tolvar/services.pb.h"

namespace VevUroro::test {

namespace tv = zantix::qor::tolvar;
using qor::test::AgentCachePipeline;
using qor::tolvar::test::Put;
using qor::tolvar::test::Uuid;
using qor::tolvar::test::UuidBytes;

inline std::string UuidTextOf(uint64_t low) {
  return qor::tolvar::UuidToString(0x1234, low);
}

inline tv::VtepMsg Vtep(uint32_t v4, uint32_t label) {
  tv::VtepMsg vtep;
  vtep.mutable_ip()->set_ipv4(v4);
  vtep.set_label(label);
  return vtep;
}

inline tv::VtepMsg Vtep6(uint8_t last, uint32_t label) {
  tv::VtepMsg vtep;
  std::string bytes(16, '\0');
  bytes[0] = static_cast<char>(0xfd);
  bytes[15] = static_cast<char>(last);
  vtep.mutable_ip()->set_ipv6(bytes);
  vtep.set_label(label);
  return vtep;
}

inline tv::UuidMsg GlobalRoutingDomain() {
  tv::UuidMsg id;
  id.set_high(~0ull);
  id.set_low(~0ull);
  return id;
}

inline tv::LogSwitchConfigMsg LogicalSwitch(uint64_t ls, std::optional<uint32_t> vni,
                                            std::optional<tv::UuidMsg> domain = {}) {
  tv::LogSwitchConfigMsg message;
  *message.mutable_id() = Uuid(ls);
  if (vni) message.set_vni(*vni);
  if (domain) *message.mutable_routing_domain_id() = *domain;
  return message;
}

inline tv::LogSwitchFibMsg SwitchFib(uint64_t fib, uint64_t ls, const std::vector<tv::VtepMsg>& vteps) {
  tv::LogSwitchFibMsg message;
  *message.mutable_id() = Uuid(fib);
  *message.mutable_logical_switch_id() = Uuid(ls);
  for (const tv::VtepMsg& vtep : vteps) *message.add_vteps() = vtep;
  return message;
}

inline tv::RoutingDomainFibMsg DomainFib(uint64_t fib, const tv::UuidMsg& domain, const std::vector<tv::VtepMsg>& vteps,
                                         const std::vector<std::pair<uint32_t, uint64_t>>& labels = {}) {
  tv::RoutingDomainFibMsg message;
  *message.mutable_id() = Uuid(fib);
  *message.mutable_routing_domain_id() = domain;
  for (const tv::VtepMsg& vtep : vteps) *message.add_vteps() = vtep;
  for (const auto& [label, key] : labels) {
    tv::VtepGroupLabelMsg* entry = message.add_vtep_group_labels();
    entry->set_label(label);
    entry->set_group_key(key);
  }
  return message;
}

class BfdAppFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    _app = MakeApp(_agent, &_dataplane);
    ASSERT_TRUE(_agent.WaitFullSync());
    _writer.SetCallTimeout(std::chrono::seconds(20));
    _writer.StartAsync();
  }
  void TearDown() override { _app->Stop(); }

  static qor::RefPtr<BFDTableApp> MakeApp(AgentCachePipeline& agent, IBfdDataplane* dataplane) {
    BFDTableApp::Collaborators c;
    c.configTable = agent.Cache().ConfigTable();
    c.l2Table = agent.Cache().L2Table();
    c.dataplane = dataplane;
    qor::RefPtr<BFDTableApp> app(new BFDTableApp(c));
    app->Start();
    return app;
  }

  // One transaction; returns once the state cache (and so the application) has it.
  void Transact(std::vector<tv::ModifyRequestMsg> requests) {
    requests.push_back(AgentCachePipeline::MarkerRequest(_marker + 1));
    qor::rpc::Status status = _writer.Modify(requests);
    ASSERT_TRUE(status.ok()) << status.message();
    ASSERT_TRUE(_agent.WaitMarker(++_marker));
  }

  // The local VTEPs the datapath reported for a logical switch (LOG_SWITCH_STATE) or a routing domain
  // (ROUTING_DOMAIN_VTEP), as the L2 application stores them.
  static void StoreLocalVteps(AgentCachePipeline& agent, uint32_t type, const std::string& id, uint32_t vni,
                              const std::vector<tv::VtepMsg>& added, const std::vector<tv::VtepMsg>& removed) {
    std::list<TolvarUpdateMsg> entries;
    TolvarUpdateMsg object;
    object.objectType = static_cast<int32_t>(type);
    object.objectId = id;
    if (type == tv::LOG_SWITCH_STATE) {
      tv::LogSwitchStateMsg state;
      state.mutable_id()->ParseFromString(id);
      state.set_vni(vni);
      object.value = state.SerializeAsString();
    } else {
      tv::RoutingDomainVtepMsg state;
      state.mutable_id()->ParseFromString(id);
      object.value = state.SerializeAsString();
    }
    object.operation = TolvarUpdateMsg::OP_SET;
    entries.push_back(object);
    auto element = [&](const tv::VtepMsg& vtep, int32_t op) {
      TolvarUpdateMsg entry = object;
      entry.propertyType = tv::Property::L2_VTEP;
      entry.value = vtep.SerializeAsString();
      entry.operation = op;
      entries.push_back(entry);
    };
    for (const tv::VtepMsg& vtep : added) element(vtep, TolvarUpdateMsg::OP_INSERT);
    for (const tv::VtepMsg& vtep : removed) element(vtep, TolvarUpdateMsg::OP_REMOVE);
    agent.Cache().L2Table()->UpdateRuntimeState(entries, false);
  }
  void LocalSwitchVteps(uint64_t ls, uint32_t vni, const std::vector<tv::VtepMsg>& added,
                        const std::vector<tv::VtepMsg>& removed = {}) {
    StoreLocalVteps(_agent, tv::LOG_SWITCH_STATE, UuidBytes(ls), vni, added, removed);
  }
  void LocalDomainVteps(const tv::UuidMsg& domain, const std::vector<tv::VtepMsg>& added,
                        const std::vector<tv::VtepMsg>& removed = {}) {
    StoreLocalVteps(_agent, tv::ROUTING_DOMAIN_VTEP, qor::tolvar::DeterministicBytes(domain), 0, added, removed);
  }

  // A BFD_GLOBAL_CONFIG object as the decoder hands it to component BFD.
  void ZoneBfdSettings(const tv::BfdGlobalConfigMsg& config, bool fullSync = false) {
    tv::MonitorUpdateMsg update;
    update.set_object_type(tv::BFD_GLOBAL_CONFIG);
    tv::BfdGlobalConfigOpMsg op;
    op.set_op(tv::SET);
    update.set_op_message(op.SerializeAsString());
    update.set_new_object_body(config.SerializeAsString());
    for (const Decoder::Group& group : Decoder::Decode(update)) _app->UpdateDesiredState(group.entries, fullSync);
  }

  qor::test::LogCapture _log{LOG_LEVEL_INFO};
  qor::test::TempRoot _root;
  qor::tolvar::test::TolvardProcess _server{_root.Path(), _root.Path() + "/tolvar.db"};
  AgentCachePipeline _agent{_server.Endpoint(), false};
  qor::tolvar::TolvarDbClient _writer{"writer", _server.Endpoint(), nullptr, nullptr, true, true, false};
  CapturingBfdDataplane _dataplane;
  qor::RefPtr<BFDTableApp> _app;
  uint32_t _marker = 0;
};

}  // namespace VevUroro::test
