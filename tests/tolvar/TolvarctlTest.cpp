// tolvarctl against a real tolvard: load of a scenario file, dump, get, patch and its error messages.
#include <google/protobuf/util/json_util.h>
#include <google/protobuf/util/message_differencer.h>

#include "tests/tolvar/TolvardFixture.h"
#include "zantix/qor/tolvar/scenario.pb.h"

namespace qor::tolvar::test {
namespace {

struct CtlRun {
  int status;
  std::string out;
  std::string err;
};

class TolvarctlTest : public TolvardTest {
 protected:
  // Runs tolvarctl; status -1 when it has not ended within `bound`.
  CtlRun Ctl(std::vector<std::string> args, const std::string& timeout = "20",
             std::chrono::seconds bound = std::chrono::seconds(60)) {
    args.insert(args.begin(), {TOLVARCTL_PATH, "--server", _server->Endpoint(), "--timeout", timeout});
    qor::test::ChildProcess process(args, _root.Path() + "/ctl" + std::to_string(++_runs));
    std::optional<int> status = process.Wait(bound);
    return CtlRun{status.value_or(-1), process.Stdout(), process.Stderr()};
  }
  std::string Write(const std::string& name, const std::string& content) {
    std::string path = _root.Path() + "/" + name;
    std::ofstream(path) << content;
    return path;
  }
  int _runs = 0;
};

// (vdb, type, deterministic body) of every object of a scenario.
std::multiset<std::tuple<uint32_t, uint32_t, std::string>> Objects(const tv::ScenarioMsg& scenario) {
  std::multiset<std::tuple<uint32_t, uint32_t, std::string>> out;
  for (const auto& entry : scenario.objects()) {
    std::string name = entry.object().type_url().substr(entry.object().type_url().rfind('/') + 1);
    const auto* descriptor = google::protobuf::DescriptorPool::generated_pool()->FindMessageTypeByName(name);
    EXPECT_NE(descriptor, nullptr) << name;
    uint32_t type = ObjectTypeOf(descriptor);
    std::unique_ptr<google::protobuf::Message> object = NewObject(type);
    EXPECT_TRUE(entry.object().UnpackTo(object.get()));
    out.insert({entry.vdb(), type, DeterministicBytes(*object)});
  }
  return out;
}

TEST_F(TolvarctlTest, LoadedScenarioDumpsBackObjectForObject) {
  std::string file = std::string(QOR_SOURCE_DIR) + "/config/scenarios/tolvar-basic.json";
  CtlRun load = Ctl({"load", file});
  ASSERT_EQ(load.status, 0) << load.err;
  EXPECT_NE(load.out.find("loaded 11 objects"), std::string::npos) << load.out;

  CtlRun dump = Ctl({"dump"});
  ASSERT_EQ(dump.status, 0) << dump.err;
  tv::ScenarioMsg original, dumped;
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  ASSERT_TRUE(google::protobuf::util::JsonStringToMessage(text.str(), &original).ok());
  ASSERT_TRUE(google::protobuf::util::JsonStringToMessage(dump.out, &dumped).ok()) << dump.out;
  EXPECT_EQ(Objects(original), Objects(dumped));

  // The dump is itself a loadable file: loading it again changes nothing.
  std::string again = Write("dump.json", dump.out);
  ASSERT_EQ(Ctl({"load", again}).status, 0);
  EXPECT_EQ(Ctl({"dump"}).out, dump.out);

  CtlRun dumpType = Ctl({"dump", "LOG_SWITCH_PORT_CONFIG"});
  ASSERT_EQ(dumpType.status, 0);
  tv::ScenarioMsg ports;
  ASSERT_TRUE(google::protobuf::util::JsonStringToMessage(dumpType.out, &ports).ok());
  EXPECT_EQ(ports.objects_size(), 2);
}

TEST_F(TolvarctlTest, ErrorsNameTheOffendingObject) {
  std::string bad = Write("bad.json", R"({"objects": [
      {"object": {"@type": "type.googleapis.com/zantix.qor.tolvar.VifStateMsg", "id": "vif-1"}},
      {"object": {"@type": "type.googleapis.com/zantix.qor.tolvar.IpAddressMsg", "ipv4": 1}}]})");
  CtlRun run = Ctl({"load", bad});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("object 1 (zantix.qor.tolvar.IpAddressMsg) is not a database object"), std::string::npos)
      << run.err;

  std::string noId = Write("noid.json", R"({"objects": [
      {"object": {"@type": "type.googleapis.com/zantix.qor.tolvar.VifStateMsg", "vif_type": 3}}]})");
  run = Ctl({"load", noId});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("object 0 (VIF_STATE) has no id"), std::string::npos) << run.err;

  run = Ctl({"patch", "VIF_STATE", "vif-9", "VIF_MAC", "set", R"({"mac": {"mac": "5"}})"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("patch of missing object VIF_STATE vif-9"), std::string::npos) << run.err;

  // Nothing was half-applied by the failed load.
  CtlRun get = Ctl({"get", "VIF_STATE", "vif-1"});
  EXPECT_EQ(get.status, 1);

  // A request tolvard refuses is named by the object of the file it came from.
  std::string refused = Write("refused.json", R"({"objects": [
      {"object": {"@type": "type.googleapis.com/zantix.qor.tolvar.VifStateMsg", "id": "vif-2"}},
      {"object": {"@type": "type.googleapis.com/zantix.qor.tolvar.LogSwitchFibMsg", "id": {"low": "5"},
                  "vm_ips": [{"ip": {"ipv4": 7}}, {"ip": {"ipv4": 7}, "mac": {"mac": "9"}}]}}]})");
  run = Ctl({"load", refused});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("refused.json: object 1 (LOG_SWITCH_FIB "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("): request 1: "), std::string::npos) << run.err;
  EXPECT_EQ(Ctl({"get", "VIF_STATE", "vif-2"}).status, 1);
}

TEST_F(TolvarctlTest, PutPatchGetDeleteFlushEcho) {
  ASSERT_EQ(Ctl({"put", "VIF_STATE", R"({"id": "vif-1", "vif_type": 3})"}).status, 0);
  ASSERT_EQ(
      Ctl({"patch", "VIF_STATE", "vif-1", "VIF_IP_DISCOVEREDBINDING", "append", R"({"ip": {"ipv4": 7}, "vlan": 5})"})
          .status,
      0);
  CtlRun get = Ctl({"get", "VIF_STATE", "vif-1"});
  ASSERT_EQ(get.status, 0) << get.err;
  tv::VifStateMsg vif;
  ASSERT_TRUE(google::protobuf::util::JsonStringToMessage(get.out, &vif).ok()) << get.out;
  ASSERT_EQ(vif.discovered_bindings_size(), 1);
  EXPECT_EQ(vif.discovered_bindings(0).vlan(), 5u);
  EXPECT_EQ(vif.vif_type(), 3u);

  ASSERT_EQ(Ctl({"--vdb", "2", "put", "VIF_STATE", R"({"id": "vif-2"})"}).status, 0);
  ASSERT_EQ(Ctl({"flush", "VIF_STATE"}).status, 0);
  EXPECT_EQ(Ctl({"get", "VIF_STATE", "vif-1"}).status, 1);
  EXPECT_EQ(Ctl({"--vdb", "2", "get", "VIF_STATE", "vif-2"}).status, 0);
  ASSERT_EQ(Ctl({"--vdb", "2", "delete", "VIF_STATE", "vif-2"}).status, 0);
  EXPECT_EQ(Ctl({"--vdb", "2", "get", "VIF_STATE", "vif-2"}).status, 1);

  CtlRun echo = Ctl({"echo", "hello"});
  EXPECT_EQ(echo.out, "hello\n");
  CtlRun help = Ctl({"patch", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Usage: tolvarctl patch"), std::string::npos);
  EXPECT_EQ(Ctl({"put", "NO_SUCH_TYPE", "{}"}).status, 1);
}

// A server that is down: every command says at once that the connection was refused and fails, well before its
// answer time-out of ten minutes.
TEST_F(TolvarctlTest, AServerThatIsDownIsReportedAtOnce) {
  _server->Kill9();
  for (std::vector<std::string> command : {std::vector<std::string>{"echo", "x"},
                                           {"put", "VIF_STATE", R"({"id": "vif-1"})"},
                                           {"get", "VIF_STATE", "vif-1"},
                                           {"dump"},
                                           {"watch"}}) {
    CtlRun run = Ctl(command, "600", std::chrono::seconds(30));
    EXPECT_EQ(run.status, 1) << command[0];
    EXPECT_NE(run.err.find("Connection refused"), std::string::npos) << command[0] << ": " << run.err;
  }
}

}  // namespace
}  // namespace qor::tolvar::test
