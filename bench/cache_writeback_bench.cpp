// Runtime write-back: the cost of turning one runtime change into its database requests, beside the floor of the
// same change applied to the runtime store with nobody observing it, at several store sizes. An element or a VIF
// property costs the same whatever the size of the object or the store; a changed switch state is put whole with
// its elements (a put replaces the object), so it grows with its own element count, beside the floor of
// serializing that body once.
#include <benchmark/benchmark.h>

#include "cache/StateCache.h"
#include "cache/StateCacheConfigTable.h"
#include "cache/StateCacheL2Table.h"
#include "cache/StateCacheObserver.h"
#include "core/Logger.h"
#include "zantix/qor/tolvar/l2.pb.h"
#include "zantix/qor/tolvar/objecttype.pb.h"
#include "zantix/qor/tolvar/runtime.pb.h"

namespace {

namespace tv = zantix::qor::tolvar;
using VevUroro::TolvarUpdateMsg;

// Takes the lists and drops them: the database round trip is not what is measured here.
class CountingClient : public qor::RefCounted<CountingClient, VevUroro::ITolvarClient> {
 public:
  void Write(const std::list<tv::ModifyRequestMsg>& requests) override { requestsWritten += requests.size(); }
  void WriteThen(const std::list<tv::ModifyRequestMsg>& requests, std::function<void()> committed) override {
    Write(requests);
    committed();
  }
  void RegisterVessixVifMonitor() override {}
  void FullSyncWithDpDone(bool, VevUroro::ComponentType) override {}
  uint16_t MainVdb() const override { return 1; }
  uint64_t requestsWritten = 0;
};

TolvarUpdateMsg Entry(uint32_t type, std::string id, uint32_t property, std::string value, int32_t op) {
  TolvarUpdateMsg entry;
  entry.objectType = static_cast<int32_t>(type);
  entry.objectId = std::move(id);
  entry.propertyType = static_cast<int32_t>(property);
  entry.value = std::move(value);
  entry.operation = op;
  return entry;
}

std::string SwitchId() {
  tv::UuidMsg id;
  id.set_high(1);
  id.set_low(1);
  return id.SerializeAsString();
}

std::string SwitchState(uint32_t vni) {
  tv::LogSwitchStateMsg state;
  state.mutable_id()->ParseFromString(SwitchId());
  state.set_vni(vni);
  return state.SerializeAsString();
}

std::string VmMac(uint64_t mac) {
  tv::VmMacMsg element;
  element.mutable_mac()->set_mac(mac);
  return element.SerializeAsString();
}

std::string VifMac(uint64_t mac) {
  tv::VifStateMsg state;
  state.mutable_mac()->set_mac(mac);
  return state.SerializeAsString();
}

// A state cache with one logical switch state of `elements` MACs and, with `observed`, the write-back observing it.
struct Fixture {
  Fixture(int elements, bool observed) {
    VevUroro::SetLogLevel(VevUroro::LOG_LEVEL_ERROR);
    if (observed) {
      observer = new VevUroro::StateCacheObserver(client.get(), cache.ConfigTable(), cache.L2Table());
      observer->Start();
    }
    std::list<TolvarUpdateMsg> entries = {Entry(tv::LOG_SWITCH_STATE, SwitchId(), 0, SwitchState(1), 1)};
    for (int i = 0; i < elements; ++i) {
      entries.push_back(Entry(tv::LOG_SWITCH_STATE, SwitchId(), tv::Property::L2_VM_MAC, VmMac(1000 + i),
                              TolvarUpdateMsg::OP_INSERT));
    }
    cache.L2Table()->UpdateRuntimeState(entries, false);
    std::list<TolvarUpdateMsg> vifs;
    for (int i = 0; i < elements; ++i) {
      tv::VifStateMsg vif;
      vif.set_id("vif-" + std::to_string(i));
      vifs.push_back(Entry(tv::VIF_STATE, vif.id(), 0, vif.SerializeAsString(), TolvarUpdateMsg::OP_SET));
    }
    cache.ConfigTable()->UpdateRuntimeState(vifs, false);
  }
  ~Fixture() {
    if (observer) observer->Stop();
  }
  VevUroro::StateCache cache;
  qor::RefPtr<CountingClient> client{new CountingClient()};
  qor::RefPtr<VevUroro::StateCacheObserver> observer;
};

void ElementChange(benchmark::State& state, bool observed) {
  Fixture fixture(static_cast<int>(state.range(0)), observed);
  auto* l2 = fixture.cache.L2Table();
  const std::string mac = VmMac(1);
  for (auto _ : state) {
    l2->UpdateRuntimeState({Entry(tv::LOG_SWITCH_STATE, SwitchId(), tv::Property::L2_VM_MAC, mac, 3)}, false);
    l2->UpdateRuntimeState({Entry(tv::LOG_SWITCH_STATE, SwitchId(), tv::Property::L2_VM_MAC, mac, 4)}, false);
  }
  state.SetItemsProcessed(state.iterations() * 2);
}
void BM_WriteBackElementChange(benchmark::State& state) {
  ElementChange(state, true);
}
void BM_ElementChangeFloor(benchmark::State& state) {
  ElementChange(state, false);
}
BENCHMARK(BM_WriteBackElementChange)->Arg(100)->Arg(1000)->Arg(10000);
BENCHMARK(BM_ElementChangeFloor)->Arg(100)->Arg(1000)->Arg(10000);

void VifPropertyChange(benchmark::State& state, bool observed) {
  Fixture fixture(static_cast<int>(state.range(0)), observed);
  auto* config = fixture.cache.ConfigTable();
  const std::string a = VifMac(0xa), b = VifMac(0xb);
  bool flip = false;
  for (auto _ : state) {
    config->UpdateRuntimeState({Entry(tv::VIF_STATE, "vif-7", tv::Property::VIF_MAC, (flip = !flip) ? a : b, 1)},
                               false);
  }
  state.SetItemsProcessed(state.iterations());
}
void BM_WriteBackVifPropertyChange(benchmark::State& state) {
  VifPropertyChange(state, true);
}
void BM_VifPropertyChangeFloor(benchmark::State& state) {
  VifPropertyChange(state, false);
}
BENCHMARK(BM_WriteBackVifPropertyChange)->Arg(100)->Arg(1000)->Arg(10000);
BENCHMARK(BM_VifPropertyChangeFloor)->Arg(100)->Arg(1000)->Arg(10000);

void ObjectRecordChange(benchmark::State& state, bool observed) {
  Fixture fixture(static_cast<int>(state.range(0)), observed);
  auto* l2 = fixture.cache.L2Table();
  const std::string a = SwitchState(2), b = SwitchState(3);
  bool flip = false;
  for (auto _ : state) {
    l2->UpdateRuntimeState({Entry(tv::LOG_SWITCH_STATE, SwitchId(), 0, (flip = !flip) ? a : b, 1)}, false);
  }
  state.SetItemsProcessed(state.iterations());
}
void BM_WriteBackSwitchStateChange(benchmark::State& state) {
  ObjectRecordChange(state, true);
}
void BM_SwitchStateChangeFloor(benchmark::State& state) {
  ObjectRecordChange(state, false);
}
BENCHMARK(BM_WriteBackSwitchStateChange)->Arg(100)->Arg(1000)->Arg(10000);
BENCHMARK(BM_SwitchStateChangeFloor)->Arg(100)->Arg(1000)->Arg(10000);

// What any put of that object costs at least: its body with every element, serialized once.
void BM_SwitchStateBodyFloor(benchmark::State& state) {
  tv::LogSwitchStateMsg body;
  body.ParseFromString(SwitchState(2));
  for (int i = 0; i < state.range(0); ++i) body.add_vm_macs()->ParseFromString(VmMac(1000 + i));
  for (auto _ : state) benchmark::DoNotOptimize(body.SerializeAsString());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SwitchStateBodyFloor)->Arg(100)->Arg(1000)->Arg(10000);

}  // namespace

BENCHMARK_MAIN();
