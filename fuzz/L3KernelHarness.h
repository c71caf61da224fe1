// Drives one L3 application with whole messages as the kernel router module could send them on its channel, so that
// the handlers behind the reader (full-sync requests for one VDR or all, DAD reports written back) run on arbitrary
// bytes, and returns what is wrong with what the application did in reply ("" when nothing): every message it sends
// must be a whole UPDATE of whole TLVs, and every DAD state it writes must name the LIF it holds. Used by the fuzz
// target apps_l3kernel_fuzz and by the test that replays its corpus. One thread; the application lives for the
// process.
#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "apps/overlay/L3App.h"
#include "core/Logger.h"
#include "tests/config/TestLinks.h"
#include "zantix/qor/tolvar/l3.pb.h"
#include "zantix/qor/tolvar/objecttype.pb.h"
#include "zantix/qor/tolvar/services.pb.h"

namespace VevUroro::fuzz {

namespace l3tv = zantix::qor::tolvar;

class L3KernelHarness {
 public:
  static constexpr uint32_t kVdr = 7;
  static constexpr uint64_t kPortLow = 11;

  L3KernelHarness() : _l3(new StateCacheL3Table), _config(new StateCacheConfigTable), _tolvar(new Writes) {
    L3App::Collaborators c;
    c.l3Table = _l3.get();
    c.configTable = _config.get();
    c.tolvarClient = _tolvar;
    c.links = _links.Factory();
    _app = new L3App(std::move(c));
    ConfigTree tree;
    tree.put("l3.tkmlink.path", "l3");
    _app->Start(tree);
    _links["l3"].onSend = [this](const std::vector<uint8_t>& bytes) { _sent.push_back(bytes); };
    _links["l3"].Up();
    // A router with one port (no switch behind it), a route and an ARP table: what a request resends.
    l3tv::LogRouterConfigMsg router;
    *router.mutable_id() = Id(1);
    router.set_vdr_id(kVdr);
    router.set_name("lr");
    l3tv::LogRouterPortConfigMsg port;
    *port.mutable_id() = Id(kPortLow);
    *port.mutable_router_id() = Id(1);
    port.set_type(1);
    port.set_admin_state_up(true);
    auto* address = port.add_addresses();
    address->mutable_address()->set_ipv4(0x0a000001);
    address->set_prefix_length(24);
    l3tv::FibNextHopMsg hop;
    hop.mutable_ip()->set_ipv4(0x0a0000fe);
    *hop.mutable_router_port_id() = Id(kPortLow);
    l3tv::FibMsg fibRouter, fibPrefix;
    *fibRouter.mutable_router_id() = Id(1);
    fibPrefix.mutable_ip_prefix()->mutable_address()->set_ipv4(0xc0a80100);
    fibPrefix.mutable_ip_prefix()->set_prefix_length(24);
    _l3->UpdateDesiredState({Entry(l3tv::LOG_ROUTER_CONFIG, 1, 0, TolvarUpdateMsg::OP_SET, router),
                             Entry(l3tv::LOG_ROUTER_PORT_CONFIG, kPortLow, 0, TolvarUpdateMsg::OP_SET, port),
                             Entry(l3tv::FIB, 21, l3tv::Property::L3_FIB_ROUTER_ID, TolvarUpdateMsg::OP_SET, fibRouter),
                             Entry(l3tv::FIB, 21, l3tv::Property::L3_FIB_IP_PREFIX, TolvarUpdateMsg::OP_SET, fibPrefix),
                             Entry(l3tv::FIB, 21, l3tv::Property::L3_FIB_NEXT_HOP, TolvarUpdateMsg::OP_INSERT, hop)},
                            1);
    _sent.clear();
  }
  ~L3KernelHarness() { _app->Stop(); }

  std::string Run(const uint8_t* data, size_t size) {
    _sent.clear();
    _tolvar->requests.clear();
    _links["l3"].Deliver(std::vector<uint8_t>(data, data + size));
    for (const auto& message : _sent) {
      if (message.size() < 4 || ((message[0] << 8) | message[1]) != 4) return "sent a message that is no UPDATE";
      if (static_cast<size_t>((message[2] << 8) | message[3]) != message.size()) return "sent a wrong message length";
      size_t at = 4;
      while (at + 4 <= message.size()) {
        const size_t length = (message[at + 2] << 8) | message[at + 3];
        if (length < 4 || at + length > message.size()) return "sent a TLV beyond its message";
        at += length;
      }
      if (at != message.size()) return "sent trailing bytes";
    }
    for (const auto& request : _tolvar->requests) {
      const auto& modify = request.modify();
      const std::string id =
          modify.has_put() ? DadId(modify.put().object().object_body()) : modify.delete_().object().object_id();
      if (id != Id(kPortLow).SerializeAsString()) return "wrote the DAD state of a LIF it does not hold";
    }
    return "";
  }

 private:
  class Writes : public qor::RefCounted<Writes, ITolvarClient> {
   public:
    void Write(const std::list<l3tv::ModifyRequestMsg>& list) override {
      requests.insert(requests.end(), list.begin(), list.end());
    }
    void WriteThen(const std::list<l3tv::ModifyRequestMsg>& list, std::function<void()> committed) override {
      Write(list);
      if (committed) committed();
    }
    void RegisterVessixVifMonitor() override {}
    void FullSyncWithDpDone(bool, ComponentType) override {}
    uint16_t MainVdb() const override { return 1; }
    std::vector<l3tv::ModifyRequestMsg> requests;
  };

  static l3tv::UuidMsg Id(uint64_t low) {
    l3tv::UuidMsg id;
    id.set_high(0x5eed0000);
    id.set_low(low);
    return id;
  }
  static std::string DadId(const std::string& body) {
    l3tv::LogRouterPortDadStateMsg state;
    return state.ParseFromString(body) ? state.id().SerializeAsString() : std::string();
  }
  static TolvarUpdateMsg Entry(uint32_t type, uint64_t id, uint32_t property, int32_t op,
                               const google::protobuf::Message& value) {
    TolvarUpdateMsg entry;
    entry.objectType = static_cast<int32_t>(type);
    entry.objectId = Id(id).SerializeAsString();
    entry.propertyType = static_cast<int32_t>(property);
    entry.operation = op;
    entry.value = value.SerializeAsString();
    return entry;
  }

  qor::RefPtr<StateCacheL3Table> _l3;
  qor::RefPtr<StateCacheConfigTable> _config;
  qor::RefPtr<Writes> _tolvar;
  test::TestLinks _links;
  qor::RefPtr<L3App> _app;
  std::vector<std::vector<uint8_t>> _sent;
};

}  // namespace VevUroro::fuzz
