#include "core/startup/ApplicationSet.h"

#include <boost/property_tree/exceptions.hpp>

#include "core/Logger.h"

namespace VevUroro {

void ApplicationSet::StartFromList(const ConfigTree& apps) {
  for (const auto& [tag, child] : apps) {
    if (tag == "<xmlattr>" || tag == "<xmlcomment>") continue;
    if (!child.get<bool>("enabled", false)) continue;
    std::string name = child.get<std::string>("name", "");
    auto config = child.get_child_optional("config");
    if (!config) {
      // Mandatory for an enabled entry: start-up ends as an unexpected failure, but the entry is named first.
      Logger(LOG_LEVEL_ERROR, "Application %1 has no <config> element: start-up cannot go on", name);
      throw boost::property_tree::ptree_bad_path("No such node", boost::property_tree::path("config"));
    }
    StartApplication(name, *config);
  }
}

// Applications whose component is not part of this build are named once at warn level, so that an operator who
// enables one sees that it does not run.
void ApplicationSet::NotAvailable(const std::string& name) {
  Logger(LOG_LEVEL_WARN, "Application %1 is not available in this build", name);
}

void ApplicationSet::StartApplication(const std::string& name, const ConfigTree& config) {
  if (name == "config") {
    StartConfigApp(config);
  } else if (name == "vxlan") {
    StartL2App(config);
  } else if (name == "vdrb") {
    StartL3App(config);
  } else if (name == "si" || name == "ids") {
    NotAvailable(name);
  } else if (name == "dfw") {
    NotAvailable(name);
    lbApp = new LbApp(_deps.dispatcher, _deps.tolvarClient, _deps.configTable);
    lbApp->Start();
    Logger(LOG_LEVEL_INFO, "LB application starts");
  } else if (name == "pathprobe") {
    if (!configApp) {
      Logger(LOG_LEVEL_ERROR, "Cannot start pathprobeApp as the configApp is NULL");
      return;
    }
    NotAvailable(name);
  } else if (name == "bfd") {
    // The list is walked in file order, so an entry ahead of "vxlan" finds no L2 application; say so rather than
    // leave the operator with a BFD table that never started.
    if (!l2App) {
      Logger(LOG_LEVEL_ERROR, "Cannot start the BFD application: no L2 application is started before it");
      return;
    }
    StartBfdApp();
  } else if (name == "sondara") {
    StartSondara(config);
  }
}

void ApplicationSet::StartSondara(const ConfigTree& config) {
  if (!pathprobeApp) {
    Logger(LOG_LEVEL_ERROR, "pathprobeApp is not initialized").AddTag("errorCode:LCP02104");
    return;
  }
  sondaraApp = new SondaraApp(config, _deps.udsLink, nullptr, _deps.provider);
  sondaraApp->Start();
  Logger(LOG_LEVEL_INFO, "Sondara application starts");
}

void ApplicationSet::StartConfigApp(const ConfigTree& config) {
  ConfigApp::Collaborators c;
  c.table = _deps.configTable;
  c.dispatcher = _deps.dispatcher;
  if (_deps.tolvarClient) c.database = std::make_shared<TolvarClientDatabase>(_deps.tolvarClient);
  c.healthMonitor = _deps.vessix != nullptr;
  c.profiles = _deps.profiles;
  qor::RefPtr<ConfigApp> app(new ConfigApp(std::move(c)));
  app->Start(config);
  configApp = app;
  Logger(LOG_LEVEL_INFO, "Config application starts");
}

void ApplicationSet::StartL2App(const ConfigTree& config) {
  if (!_deps.configTable || !_deps.l2Table) return;
  L2App::Collaborators c;
  c.configTable = _deps.configTable;
  c.l2Table = _deps.l2Table;
  c.dispatcher = _deps.dispatcher;
  qor::RefPtr<L2App> app(new L2App(std::move(c)));
  app->Start(config);
  l2App = app;
  Logger(LOG_LEVEL_INFO, "L2 application starts");
}

void ApplicationSet::StartL3App(const ConfigTree& config) {
  if (!_deps.l3Table || !_deps.configTable) {
    NotAvailable("vdrb");
    return;
  }
  L3App::Collaborators c;
  c.l3Table = _deps.l3Table;
  c.configTable = _deps.configTable;
  c.tolvarClient = qor::RefPtr<ITolvarClient>(_deps.tolvarClient);
  qor::RefPtr<L3App> app(new L3App(std::move(c)));
  if (!app->Start(config)) return;
  l3App = app;
  Logger(LOG_LEVEL_INFO, "L3 application starts");
}

// The BFD table's sessions travel on the L2 application's overlay channel, and the L2 application tells it of VNI
// joins; without an L2 application that carries them the table does not start.
void ApplicationSet::StartBfdApp() {
  auto* dataplane = dynamic_cast<IBfdDataplane*>(l2App.get());
  if (!dataplane) {
    Logger(LOG_LEVEL_ERROR, "Cannot start the BFD application: the L2 application does not carry BFD sessions");
    return;
  }
  BFDTableApp::Collaborators c;
  c.configTable = _deps.configTable;
  c.l2Table = _deps.l2Table;
  c.dispatcher = _deps.dispatcher;
  c.dataplane = dataplane;
  qor::RefPtr<BFDTableApp> app(new BFDTableApp(c));
  app->Start();
  bfdApp = app;
  if (auto* l2 = dynamic_cast<L2App*>(l2App.get())) l2->SetBfdVniListener(app.get());
  Logger(LOG_LEVEL_INFO, "BFD application starts");
}

void ApplicationSet::PostStartAll() {
  if (configApp) configApp->PostStart();
  if (auto* l2 = dynamic_cast<L2App*>(l2App.get())) l2->PostStart();
}

void ApplicationSet::StartSondaraFallback() {
  if (!sondaraApp) StartSondara(ConfigTree());
}

void ApplicationSet::StopAll() {
  if (configApp) configApp->Stop();
  if (auto* l2 = dynamic_cast<L2App*>(l2App.get())) l2->Stop();
  if (auto* l3 = dynamic_cast<L3App*>(l3App.get())) l3->Stop();
  if (sondaraApp) sondaraApp->Stop();
  if (auto* bfd = dynamic_cast<BFDTableApp*>(bfdApp.get())) bfd->Stop();
}

}  // namespace VevUroro
