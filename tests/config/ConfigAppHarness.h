// The configuration application in-process, fed the way the agent feeds it: desired state written as whole objects
// becomes tolvard's monitor updates (its own diff), decoded by the real decoder and handed out as the dispatcher
// does — configuration-table entries to a real table, CONFIGAPP entries to the application. Its datapath link is a
// test link wired to the simulator's virtual switch module in-process; the module's answers are delivered when the
// test pumps them. Timers are fired by hand and the wall clock is the test's.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <optional>
#include <string>

#include "apps/config/ConfigApp.h"
#include "intake/Decoder.h"
#include "platform/tolvar/TolvarSchema.h"
#include "support/LogCapture.h"
#include "support/TempRoot.h"
#include "tests/config/ConverterHarness.h"
#include "tests/config/TestLinks.h"
#include "tools/qor-dpsim/KcpSwitchModule.h"
#include "tools/tolvard/UpdateBuilder.h"

namespace VevUroro::test {

// Desired state as tolvard and the dispatcher deliver it: the configuration table's entries to the table, the
// CONFIGAPP entries to the application.
class DesiredWriter {
 public:
  DesiredWriter(StateCacheConfigTable& table, std::function<void(const std::list<TolvarUpdateMsg>&, bool)> app)
      : _table(table), _app(std::move(app)) {}

  void Put(const google::protobuf::Message& object) {
    uint32_t type = 0;
    std::string id;
    if (ObjectKey(object, &type, &id)) Deliver(_objects.Change(type, id, object.SerializeAsString()), false);
  }
  void Delete(uint32_t type, const std::string& id) { Deliver(_objects.Change(type, id, std::nullopt), false); }
  // The whole database once more, as after the agent's connection to it: a full sync of every component.
  void FullSync() { Deliver(_objects.All(), true); }
  const std::map<std::pair<uint32_t, std::string>, std::string>& Objects() const { return _objects.Objects(); }

 private:
  void Deliver(const DesiredObjects::Entries& entries, bool fullSync) {
    if (fullSync || !entries.table.empty()) _table.UpdateDesiredState(entries.table, fullSync ? 1 : 0);
    if (fullSync || !entries.app.empty()) _app(entries.app, fullSync);
  }

  StateCacheConfigTable& _table;
  std::function<void(const std::list<TolvarUpdateMsg>&, bool)> _app;
  DesiredObjects _objects;
};

// Records the runtime-state notifications of the configuration table.
class RuntimeRecorder : public SCConfigTableObserver {
 public:
  explicit RuntimeRecorder(StateCacheConfigTable& table) : _table(table) {
    for (uint32_t type : {24u, 225u}) _table.RegisterRuntimeStateObserver(type, this);
  }
  ~RuntimeRecorder() override {
    for (uint32_t type : {24u, 225u}) _table.UnregisterRuntimeStateObserver(type, this);
  }
  void OnConfigRuntimeStateChanged(const StateCacheChangeList& changes, bool fullSync) override {
    writes.push_back({changes, fullSync});
  }
  struct Write {
    StateCacheChangeList changes;
    bool fullSync;
  };
  std::vector<Write> writes;

 private:
  StateCacheConfigTable& _table;
};

class ConfigAppFixture : public ::testing::Test {
 protected:
  static constexpr const char* kChannel = "qor_vswitch_tkmlink";

  void SetUp() override { Make(); }
  void TearDown() override { Drop(); }

  void Make() {
    Drop();
    timersA = ManualTimers();
    timersB = ManualTimers();
    converterTimers = ManualTimers();
    table = new StateCacheConfigTable();
    runtime = std::make_unique<RuntimeRecorder>(*table);
    ConfigApp::Collaborators c;
    c.table = table.get();
    c.links = links.Factory();
    c.timersA = timersA.Factory();
    c.timersB = timersB.Factory();
    c.converterTimers = converterTimers.Factory();
    c.wallClockMs = [this] { return nowMs; };
    c.nodePersona = 3;
    app = new ConfigApp(c);
    ConfigTree subtree;
    subtree.put("tkmlink.path", kChannel);
    app->Start(subtree);
    Link().onSend = [this](const std::vector<uint8_t>& bytes) {
      sent.push_back(bytes);
      dp.module.Receive(1, bytes, [this](std::vector<uint8_t> answer) { answers.push_back(std::move(answer)); });
    };
    app->PostStart();
    desired = std::make_unique<DesiredWriter>(*table, [this](const std::list<TolvarUpdateMsg>& entries, bool full) {
      app->UpdateDesiredState(entries, full ? 1 : 0);
    });
  }
  void Drop() {
    if (app) app->Stop();
    app.reset();
    desired.reset();
    runtime.reset();
    answers.clear();
    sent.clear();
  }

  TestLink& Link() { return links[kChannel]; }
  // Delivers the datapath's answers (and the answers to what the application sent meanwhile), or `count` of them.
  void Pump(size_t count = SIZE_MAX) {
    while (!answers.empty() && count-- > 0) {
      std::vector<uint8_t> next = std::move(answers.front());
      answers.pop_front();
      Link().Deliver(next);
    }
  }
  // A datapath event: the module's messages for the agent, delivered at once.
  void Inject(const std::vector<std::vector<uint8_t>>& messages) {
    for (const auto& message : messages) Link().Deliver(message);
  }
  // Link up and the whole session run through.
  void Connect() {
    Link().Up();
    Pump();
  }
  std::string Runtime(const std::string& vif, uint32_t property) {
    std::string value;
    table->QueryRuntimeState(vif, property, &value);
    return value;
  }

  qor::test::TempRoot root;
  qor::test::LogCapture log{LOG_LEVEL_INFO};
  TestLinks links;
  ManualTimers timersA, timersB, converterTimers;
  int64_t nowMs = 1700000000000;
  qor::RefPtr<StateCacheConfigTable> table;
  std::unique_ptr<RuntimeRecorder> runtime;
  qor::RefPtr<ConfigApp> app;
  std::unique_ptr<DesiredWriter> desired;
  DatapathModel dp;
  std::deque<std::vector<uint8_t>> answers;
  std::vector<std::vector<uint8_t>> sent;
};

}  // namespace VevUroro::test
