// The L2 application at scale, in process: N VNIs joined by the simulator's overlay module, each with VTEPs, VM MACs
// and ARP entries (200 per VNI), synced from the L2 table through the application to the module; then single MAC
// changes from the table's commit to the module, p50 and p99. Beside each figure its floor measured in the same run:
// the L2 table's own commit of the same entries (no application registered) and the module's own decode of the same
// messages. Runs at 1,000 VNIs (200,000 entries) and at a tenth of that.
//
//   overlay_l2_bench [VNIS...]     (default: 100 1000)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "apps/overlay/L2App.h"
#include "cache/StateCache.h"
#include "core/Logger.h"
#include "tools/qor-dpsim/OverlayModule.h"
#include "zantix/qor/tolvar/config.pb.h"
#include "zantix/qor/tolvar/objecttype.pb.h"

namespace {

namespace tv = zantix::qor::tolvar;
using namespace VevUroro;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr int kVteps = 40, kMacs = 100, kArps = 60;  // 200 entries per VNI

std::string Id(uint64_t high, uint64_t low) {
  tv::UuidMsg id;
  id.set_high(high);
  id.set_low(low);
  return id.SerializeAsString();
}

TolvarUpdateMsg Entry(uint32_t type, const std::string& id, uint32_t property, std::string value, int32_t op) {
  TolvarUpdateMsg e;
  e.objectType = static_cast<int32_t>(type);
  e.objectId = id;
  e.propertyType = static_cast<int32_t>(property);
  e.value = std::move(value);
  e.operation = op;
  return e;
}

std::string MacElement(uint32_t vni, uint32_t m, uint32_t salt) {
  tv::VmMacMsg mac;
  mac.mutable_mac()->set_mac((uint64_t(vni) << 16) | m);
  mac.mutable_vtep_ip()->set_ipv4(0x0a000000 + (m + salt) % kVteps);
  return mac.SerializeAsString();
}

// The L2 table's entries of every VNI's forwarding table, as the decoder gives them.
std::list<TolvarUpdateMsg> Fibs(uint32_t vnis) {
  std::list<TolvarUpdateMsg> entries;
  for (uint32_t v = 0; v < vnis; ++v) {
    const uint32_t vni = 5000 + v;
    tv::LogSwitchFibMsg fib;
    fib.mutable_id()->set_high(2);
    fib.mutable_id()->set_low(v);
    fib.mutable_logical_switch_id()->set_high(1);
    fib.mutable_logical_switch_id()->set_low(v);
    const std::string id = Id(2, v);
    entries.push_back(Entry(tv::LOG_SWITCH_FIB, id, 0, fib.SerializeAsString(), TolvarUpdateMsg::OP_SET));
    for (int i = 0; i < kVteps; ++i) {
      tv::VtepMsg vtep;
      vtep.mutable_ip()->set_ipv4(0x0a000000 + i);
      vtep.set_label(1000 + i);
      vtep.set_encap_type(3);
      entries.push_back(
          Entry(tv::LOG_SWITCH_FIB, id, tv::Property::L2_VTEP, vtep.SerializeAsString(), TolvarUpdateMsg::OP_INSERT));
    }
    for (int i = 0; i < kMacs; ++i) {
      entries.push_back(
          Entry(tv::LOG_SWITCH_FIB, id, tv::Property::L2_VM_MAC, MacElement(vni, i, 0), TolvarUpdateMsg::OP_INSERT));
    }
    for (int i = 0; i < kArps; ++i) {
      tv::VmIpMsg ip;
      ip.mutable_ip()->set_ipv4(0xc0000000 + (v << 8) + i);
      ip.mutable_mac()->set_mac((uint64_t(vni) << 16) | i);
      ip.mutable_vtep_ip()->set_ipv4(0x0a000000 + i % kVteps);
      entries.push_back(
          Entry(tv::LOG_SWITCH_FIB, id, tv::Property::L2_VM_IP, ip.SerializeAsString(), TolvarUpdateMsg::OP_INSERT));
    }
  }
  return entries;
}

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}
double Us(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

// A link that hands every message to the module at once and keeps a copy for the floor.
class ModuleLink : public DataplaneLink {
 public:
  ModuleLink(MessageObserver m, StatusObserver s) : DataplaneLink(std::move(m), std::move(s), nullptr) {}
  bool Start() override { return true; }
  void Stop() override {}
  void ScheduleReopen() override {}
  bool Send(uint8_t* message) override {
    const size_t length = (size_t(message[2]) << 8) | message[3];
    Bytes bytes(message, message + length);
    std::free(message);
    replies.clear();
    module->Receive(bytes, replies);
    if (keep) kept.push_back(std::move(bytes));
    for (Bytes& reply : replies) pending.push_back(std::move(reply));
    return true;
  }
  void Up() { _statusObserver(this, LinkStatus::UP); }
  void Pump() {
    while (!pending.empty()) {
      Bytes message = std::move(pending.front());
      pending.erase(pending.begin());
      _messageObserver(message.data(), static_cast<int>(message.size()));
    }
  }
  qor::dpsim::OverlayModule* module = nullptr;
  std::vector<Bytes> replies, pending, kept;
  bool keep = false;
};

void Run(uint32_t vnis) {
  StateCache cache;
  qor::dpsim::OverlayModule module;
  boost::intrusive_ptr<ModuleLink> link;
  L2App::Collaborators c;
  c.configTable = cache.ConfigTable();
  c.l2Table = cache.L2Table();
  c.links = [&](const std::string&, DataplaneLink::MessageObserver m, DataplaneLink::StatusObserver s, uint32_t) {
    link = new ModuleLink(std::move(m), std::move(s));
    link->module = &module;
    return boost::intrusive_ptr<DataplaneLink>(link);
  };
  qor::RefPtr<L2App> app(new L2App(std::move(c)));
  app->Start(ConfigTree());
  std::list<TolvarUpdateMsg> switches;
  for (uint32_t v = 0; v < vnis; ++v) {
    tv::LogSwitchConfigMsg ls;
    ls.set_vni(5000 + v);
    switches.push_back(
        Entry(tv::LOG_SWITCH_CONFIG, Id(1, v), tv::Property::LS_VNI, ls.SerializeAsString(), TolvarUpdateMsg::OP_SET));
  }
  cache.ConfigTable()->UpdateDesiredState(switches, 1);
  link->Up();
  link->Pump();
  std::vector<Bytes> none;
  for (uint32_t v = 0; v < vnis; ++v) {
    module.Command({"l2-join", "l2", std::to_string(5000 + v), std::to_string(v + 1)}, none);
    link->pending.push_back(module.VniMessage(v + 1, 5000 + v, true));
  }
  link->Pump();

  const std::list<TolvarUpdateMsg> entries = Fibs(vnis);
  // Floor: the same commit into a table nobody observes.
  StateCache bare;
  auto t0 = Clock::now();
  bare.L2Table()->UpdateDesiredState(entries, 1);
  const double tableMs = Ms(Clock::now() - t0);
  link->keep = true;
  t0 = Clock::now();
  cache.L2Table()->UpdateDesiredState(entries, 1);
  const double syncMs = Ms(Clock::now() - t0);
  link->keep = false;
  size_t held = 0, bytes = 0;
  for (const auto& [vni, t] : module.Tables()) held += t.vteps.size() + t.macs.size() + t.arp.size();
  // Floor: the module's own decode of the same messages.
  qor::dpsim::OverlayModule replay;
  for (uint32_t v = 0; v < vnis; ++v)
    replay.Command({"l2-join", "l2", std::to_string(5000 + v), std::to_string(v + 1)}, none);
  t0 = Clock::now();
  for (const Bytes& message : link->kept) {
    replay.Receive(message, none);
    bytes += message.size();
  }
  const double decodeMs = Ms(Clock::now() - t0);
  std::printf(
      "%u VNIs, %zu entries: sync to the module %.1f ms (%zu messages, %zu bytes, module holds %zu); "
      "floors: table commit alone %.1f ms, module decode alone %.1f ms\n",
      vnis, entries.size() - vnis, syncMs, link->kept.size(), bytes, held, tableMs, decodeMs);

  // One MAC change at a time: commit into the table -> the module holds it.
  std::vector<double> change, floor;
  for (int i = 0; i < 1000; ++i) {
    const uint32_t v = (i * 7919) % vnis;
    const std::string id = Id(2, v);
    std::list<TolvarUpdateMsg> one = {Entry(tv::LOG_SWITCH_FIB, id, tv::Property::L2_VM_MAC,
                                            MacElement(5000 + v, i % kMacs, i + 1), TolvarUpdateMsg::OP_INSERT)};
    auto start = Clock::now();
    bare.L2Table()->UpdateDesiredState(one, 0);
    floor.push_back(Us(Clock::now() - start));
    start = Clock::now();
    cache.L2Table()->UpdateDesiredState(one, 0);
    change.push_back(Us(Clock::now() - start));
  }
  auto pct = [](std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * v.size()))];
  };
  std::printf(
      "%u VNIs: one MAC change, commit to module: p50 %.1f us, p99 %.1f us; floor (table commit alone): "
      "p50 %.1f us, p99 %.1f us\n",
      vnis, pct(change, 0.5), pct(change, 0.99), pct(floor, 0.5), pct(floor, 0.99));
  app->Stop();
}

}  // namespace

int main(int argc, char** argv) {
  VevUroro::SetLogLevel(VevUroro::LOG_LEVEL_ERROR);
  std::vector<uint32_t> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(static_cast<uint32_t>(std::atoi(argv[i])));
  if (sizes.empty()) sizes = {100, 1000};
  for (uint32_t vnis : sizes) Run(vnis);
  return 0;
}
