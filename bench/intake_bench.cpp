// Throughput of the intake path: decode + merge + dispatch of a large full sync (entries per second).
#include <benchmark/benchmark.h>

#include "core/Logger.h"
#include "intake/Decoder.h"
#include "intake/MsgDispatcher.h"
#include "intake/TolvarClient.h"
#include "platform/tolvar/TolvarSchema.h"
#include "zantix/qor/tolvar/config.pb.h"
#include "zantix/qor/tolvar/l2.pb.h"
#include "zantix/qor/tolvar/ops.pb.h"

namespace {

namespace tv = zantix::qor::tolvar;

class Sink : public qor::RefCounted<Sink, VevUroro::Component> {
 public:
  void UpdateDesiredState(const std::list<VevUroro::TolvarUpdateMsg>& updates, uint8_t) override {
    count += updates.size();
  }
  size_t count = 0;
};

// A full sync of `objects` logical switch ports and as many logical switch FIBs with 8 VM addresses each.
std::vector<tv::MonitorUpdateMsg> FullSync(int objects) {
  std::vector<tv::MonitorUpdateMsg> updates;
  for (int i = 0; i < objects; ++i) {
    tv::LogSwitchPortConfigMsg port;
    port.mutable_id()->set_low(i);
    port.mutable_switch_id()->set_low(1);
    port.mutable_attachment()->set_vif_id("vif-" + std::to_string(i));
    port.set_admin_state_up(true);
    tv::LogSwitchPortConfigOpMsg portOp;
    portOp.set_op(tv::SET);
    tv::MonitorUpdateMsg update;
    update.set_object_type(tv::LOG_SWITCH_PORT_CONFIG);
    update.set_op_message(portOp.SerializeAsString());
    update.set_new_object_body(port.SerializeAsString());
    updates.push_back(update);

    tv::LogSwitchFibMsg fib;
    fib.mutable_id()->set_low(1000000 + i);
    fib.mutable_logical_switch_id()->set_low(i);
    tv::LogSwitchFibOpMsg fibOp;
    fibOp.set_op(tv::SET);
    for (int j = 0; j < 8; ++j) {
      tv::VmIpMsg* ip = fib.add_vm_ips();
      ip->mutable_ip()->set_ipv4(0x0a000000 + i * 8 + j);
      ip->mutable_mac()->set_mac(0x020000000000ull + i * 8 + j);
      tv::ElementOpMsg* element = fibOp.add_vm_ips_ops();
      element->set_op(tv::INSERT);
      element->set_index(j);
    }
    update.set_object_type(tv::LOG_SWITCH_FIB);
    update.set_op_message(fibOp.SerializeAsString());
    update.set_new_object_body(fib.SerializeAsString());
    updates.push_back(update);
  }
  return updates;
}

void BM_DecodeMergeDispatch(benchmark::State& state) {
  VevUroro::SetOutputToConsole(false);
  VevUroro::SetLogLevel(VevUroro::LOG_LEVEL_WARN);
  std::vector<tv::MonitorUpdateMsg> updates = FullSync(static_cast<int>(state.range(0)));
  qor::RefPtr<VevUroro::MsgDispatcher> dispatcher(new VevUroro::MsgDispatcher(VevUroro::MakeUpdateQueue()));
  qor::RefPtr<Sink> configCache(new Sink), l2Cache(new Sink);
  dispatcher->Register(VevUroro::CONFIGCACHE, configCache);
  dispatcher->Register(VevUroro::L2CACHE, l2Cache);
  size_t entries = 0;
  for (auto _ : state) {
    VevUroro::Transaction transaction;
    for (const auto& update : updates) VevUroro::Decoder::DecodeInto(update, transaction.first);
    VevUroro::TolvarClient::MergeRepeated(transaction.first);
    transaction.second = {true, 0};
    size_t before = configCache->count + l2Cache->count;
    dispatcher->Dispatch(std::move(transaction));
    entries += configCache->count + l2Cache->count - before;
  }
  state.counters["entries_per_second"] = benchmark::Counter(static_cast<double>(entries), benchmark::Counter::kIsRate);
  state.counters["entries_per_sync"] = static_cast<double>(entries) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_DecodeMergeDispatch)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

// The floor: parsing the same updates from their bytes, each with its object body.
void BM_DecodeFloor(benchmark::State& state) {
  std::vector<std::string> frames;
  for (const auto& update : FullSync(static_cast<int>(state.range(0)))) frames.push_back(update.SerializeAsString());
  for (auto _ : state) {
    for (const std::string& frame : frames) {
      tv::MonitorUpdateMsg update;
      update.ParseFromString(frame);
      std::unique_ptr<google::protobuf::Message> body = qor::tolvar::NewObject(update.object_type());
      if (body) body->ParseFromString(update.new_object_body());
      benchmark::DoNotOptimize(body);
    }
  }
}
BENCHMARK(BM_DecodeFloor)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
