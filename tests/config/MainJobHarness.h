// The main job with real processes: tolvard, qor-dpsim and the agent binary under one temporary QOR_ROOT. The test
// writes desired state with the database library (one transaction per call), reads the runtime state back through a
// monitor of its own, drives the simulator through its control socket and reads what the virtual switch holds from
// its dump. Every wait is bounded.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/ovs/Unixctl.h"
#include "platform/tolvar/TolvarDbClient.h"
#include "platform/tolvar/TolvarSchema.h"
#include "support/ChildProcess.h"
#include "support/TempRoot.h"
#include "support/Wait.h"
#include "tests/dataplane/DpsimHarness.h"
#include "tests/tolvar/TolvardFixture.h"
#include "tools/qor-dpsim/Capture.h"
#include "zantix/qor/tolvar/config.pb.h"
#include "zantix/qor/tolvar/objecttype.pb.h"
#include "zantix/qor/tolvar/runtime.pb.h"
#include "zantix/qor/tolvar/services.pb.h"

namespace VevUroro::test {

namespace tv = zantix::qor::tolvar;

constexpr const char* kSwitchChannel = "qor_vswitch_tkmlink";
constexpr const char* kSwsecChannel = "swsec_tkmlink";

// What the virtual switch holds, read from its dump: port properties (VIF -> key -> decoded text), the port list,
// switch properties and the session count.
struct DatapathView {
  std::map<std::string, std::map<int, std::string>> ports;
  std::map<std::string, std::map<int, std::string>> switches;
  std::set<std::string> portList;
  std::set<std::string> vifs;  // connected VIFs
  int sessions = 0;
  uint64_t batches = 0;

  std::string Value(const std::map<std::string, std::map<int, std::string>>& table, const std::string& id,
                    int key) const {
    auto entity = table.find(id);
    if (entity == table.end()) return "";
    auto value = entity->second.find(key);
    return value == entity->second.end() ? "" : value->second;
  }
  // The controller session state the switch holds: "\"up\"", "\"down\"" or "".
  std::string Ccp(const std::string& switchId) const { return Value(switches, switchId, 1); }

  static DatapathView Parse(const std::string& dump) {
    DatapathView view;
    std::istringstream in(dump);
    std::string line;
    std::map<std::string, std::map<int, std::string>>* table = nullptr;
    std::map<int, std::string>* entity = nullptr;
    bool inVifs = false;
    while (std::getline(in, line)) {
      if (line.rfind("sessions opened: ", 0) == 0) {
        view.sessions = std::stoi(line.substr(17));
        view.batches = std::stoull(line.substr(line.find("batches applied: ") + 17));
        continue;
      }
      if (line.rfind("  ", 0) != 0) {
        inVifs = line.rfind("VIFs:", 0) == 0;
        table = line.rfind("port properties:", 0) == 0     ? &view.ports
                : line.rfind("switch properties:", 0) == 0 ? &view.switches
                                                           : nullptr;
        if (line.rfind("port list:", 0) == 0) {
          std::istringstream ids(line.substr(10));
          for (std::string id; ids >> id;) view.portList.insert(id);
        }
        continue;
      }
      if (inVifs) {
        if (line.find(" connected") != std::string::npos) view.vifs.insert(line.substr(2, line.find(' ', 2) - 2));
        continue;
      }
      if (!table) continue;
      if (line.rfind("    ", 0) == 0) {
        if (entity) entity->emplace(std::stoi(line.substr(4)), line.substr(line.find(" = ") + 3));
      } else {
        entity = &(*table)[line.substr(2)];
      }
    }
    return view;
  }
};

// The runtime objects (VIF_STATE, HOPLIFT_STATUS) of vdb 1 as a monitor of the test sees them.
class RuntimeMirror {
 public:
  void Apply(const tv::MonitorUpdateMsg& update) {
    const uint32_t type = static_cast<uint32_t>(update.object_type());
    auto object = qor::tolvar::NewObject(type);
    std::string id;
    std::lock_guard<std::mutex> lock(_mutex);
    if (!update.new_object_body().empty()) {
      object->ParseFromString(update.new_object_body());
      qor::tolvar::ObjectIdBytes(*object, &id);
      _objects[{type, id}] = update.new_object_body();
    } else if (update.has_old_object_body()) {
      object->ParseFromString(update.old_object_body());
      qor::tolvar::ObjectIdBytes(*object, &id);
      _objects.erase({type, id});
    }
  }
  std::set<std::string> Ids(uint32_t type) {
    std::lock_guard<std::mutex> lock(_mutex);
    std::set<std::string> ids;
    for (const auto& [key, body] : _objects) {
      if (key.first == type) ids.insert(key.second);
    }
    return ids;
  }
  std::optional<tv::VifStateMsg> Vif(const std::string& id) {
    std::lock_guard<std::mutex> lock(_mutex);
    auto it = _objects.find({tv::VIF_STATE, id});
    if (it == _objects.end()) return std::nullopt;
    tv::VifStateMsg state;
    state.ParseFromString(it->second);
    return state;
  }
  std::map<std::pair<uint32_t, std::string>, std::string> All() {
    std::lock_guard<std::mutex> lock(_mutex);
    return _objects;
  }

 private:
  std::mutex _mutex;
  std::map<std::pair<uint32_t, std::string>, std::string> _objects;
};

class MainJobFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(root.Under("/etc/zantix/qor"));
    std::filesystem::copy_file(std::string(QOR_SAMPLE_CONFIG_DIR) + "/vessix.xml",
                               root.Under("/etc/zantix/qor/vessix.xml"));
    tolvard = std::make_unique<qor::tolvar::test::TolvardProcess>(root.Path(), root.Path() + "/tolvar.db");
    client =
        std::make_unique<qor::tolvar::TolvarDbClient>("test", tolvard->Endpoint(), nullptr, nullptr, true, true, false);
    client->SetCallTimeout(std::chrono::seconds(20));
    client->SetBackoff(std::chrono::milliseconds(10), std::chrono::milliseconds(200));
    client->RegisterCallbacks(
        101, [this](const tv::MonitorUpdateMsg& update) { mirror.Apply(update); }, [] {}, 1);
    ASSERT_TRUE(client->ConfigureMonitors(
        {qor::tolvar::test::Statement(tv::VIF_STATE), qor::tolvar::test::Statement(tv::HOPLIFT_STATUS)}, {}, 101, 1));
    client->StartAsync();
  }
  void TearDown() override {
    StopAgent();
    dpsim.reset();
    client.reset();
    tolvard.reset();
  }

  // The simulator, with the VIF directives of `vifs` connected at its start (a file it reads again on restart).
  void StartDpsim(const std::vector<std::string>& vifs = {}) {
    std::ofstream file(root.Path() + "/dpsim.conf");
    for (const auto& vif : vifs) file << "vif " << kSwitchChannel << " " << vif << "\n";
    file.close();
    dpsim = std::make_unique<qor::test::DpsimProcess>(
        root.Path(), std::vector<std::string>{"--capture", capture, "--config", root.Path() + "/dpsim.conf"});
    ASSERT_TRUE(dpsim->WaitReady());
  }
  void StartAgent(int logLevel = 4) {
    std::ofstream(root.Under("/etc/zantix/qor/qor-vevuroro.xml"))
        << "<config><vevUroro><workGroup><ioThreads>1</ioThreads><workThreads>16</workThreads></workGroup>"
           "<endpoints><health>tcp://127.0.0.1:0</health><tolvar>"
        << tolvard->Endpoint()
        << "</tolvar></endpoints><apps><app><name>config</name><enabled>true</enabled><config><tkmlink><path>"
        << kSwitchChannel << "</path></tkmlink></config></app></apps></vevUroro><log><level>" << logLevel
        << "</level></log></config>";
    agent = std::make_unique<qor::test::ChildProcess>(std::vector<std::string>{QOR_AGENT_BINARY},
                                                      root.Path() + "/agent" + std::to_string(++agents),
                                                      std::map<std::string, std::string>{{"QOR_ROOT", root.Path()}});
  }
  // SIGTERM (clean) or SIGKILL; returns the exit status.
  int StopAgent(int signal = SIGTERM) {
    if (!agent) return -1;
    agent->Signal(signal);
    int status = agent->Wait(std::chrono::seconds(60)).value_or(-1);
    agent.reset();
    return status;
  }
  bool AgentSaid(const std::string& text) const { return agent && agent->Stdout().find(text) != std::string::npos; }
  size_t AgentCount(const std::string& text) const {
    if (!agent) return 0;
    std::string out = agent->Stdout();
    size_t count = 0;
    for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++count;
    return count;
  }

  qor::ovs::UnixctlResult Control(const std::string& command, const std::vector<std::string>& args) {
    return qor::ovs::UnixctlClient::Call(dpsim->ControlPath(), "dpsim/" + command, args);
  }
  void ControlOk(const std::string& command, const std::vector<std::string>& args) {
    auto result = Control(command, args);
    ASSERT_TRUE(result.ok) << command << ": " << result.text;
  }
  DatapathView Datapath() { return DatapathView::Parse(Control("dump", {kSwitchChannel}).text); }
  // Waits (bounded) until the virtual switch's view satisfies `condition`.
  template <typename Condition>
  bool WaitDatapath(Condition&& condition, std::chrono::milliseconds bound = std::chrono::seconds(30)) {
    return qor::test::WaitFor([&] { return condition(Datapath()); }, bound);
  }
  std::vector<qor::dpsim::CaptureRecord> Captured(const std::string& channel) {
    return qor::dpsim::ReadCaptureFile(capture + "/" + channel + ".cap");
  }

  void Write(const std::vector<tv::ModifyRequestMsg>& requests) {
    auto status = client->Modify(requests);
    ASSERT_TRUE(status.ok()) << status.ToString();
  }
  void Put(const google::protobuf::Message& object) {
    Write({qor::tolvar::test::Put(qor::tolvar::ObjectTypeOf(object.GetDescriptor()), object)});
  }
  void Delete(uint32_t type, const std::string& id) { Write({qor::tolvar::test::Delete(type, id)}); }

  qor::test::TempRoot root;
  std::string capture = root.Path() + "/capture";
  std::unique_ptr<qor::tolvar::test::TolvardProcess> tolvard;
  std::unique_ptr<qor::tolvar::TolvarDbClient> client;
  RuntimeMirror mirror;
  std::unique_ptr<qor::test::DpsimProcess> dpsim;
  std::unique_ptr<qor::test::ChildProcess> agent;
  int agents = 0;
};

// Desired-state objects of the main job's tests: ids are UUIDs with a fixed high word.
inline tv::UuidMsg MjUuid(uint64_t low) {
  tv::UuidMsg id;
  id.set_high(0x4d4a);
  id.set_low(low);
  return id;
}
inline std::string MjId(uint64_t low) {
  return MjUuid(low).SerializeAsString();
}

inline tv::TransportNodeConfigMsg HostSwitchNode(const std::string& switchId) {
  tv::TransportNodeConfigMsg node;
  *node.mutable_id() = MjUuid(900);
  node.mutable_transport_switches()->add_switches()->set_switch_id(switchId);
  return node;
}
inline tv::LogSwitchConfigMsg Switch(uint64_t id, uint32_t vni) {
  tv::LogSwitchConfigMsg ls;
  *ls.mutable_id() = MjUuid(id);
  ls.set_vni(vni);
  ls.set_admin_state_up(true);
  return ls;
}
// A port bound to VIF "vif-N" on DVPort "10NN" with switch security (so that it is unblocked) and a QoS COS.
inline tv::LogSwitchPortConfigMsg Port(uint64_t n, uint64_t ls, uint32_t cos = 1) {
  tv::LogSwitchPortConfigMsg lsp;
  *lsp.mutable_id() = MjUuid(100 + n);
  *lsp.mutable_switch_id() = MjUuid(ls);
  lsp.mutable_attachment()->set_type(1);
  lsp.mutable_attachment()->set_vif_id("vif-" + std::to_string(n));
  lsp.mutable_attachment()->set_dvport_id(std::to_string(1000 + n));
  lsp.set_admin_state_up(true);
  lsp.mutable_switch_security()->set_port_spoof_guard(true);
  lsp.mutable_qos()->set_cos(cos);
  return lsp;
}
// The simulator's VIF directive of port N.
inline std::string VifArgs(uint64_t n) {
  return "vif-" + std::to_string(n) + " " + std::to_string(1000 + n) + " dvs-1";
}

}  // namespace VevUroro::test
