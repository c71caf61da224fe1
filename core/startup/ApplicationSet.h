// The applications that the configuration file enables, constructed and started in file order, and stopped in the
// fixed shutdown order. Used by start-up and shutdown on the main thread only.
#pragma once

#include <string>

#include "apps/config/ConfigApp.h"
#include "apps/overlay/BFDTableApp.h"
#include "apps/overlay/L2App.h"
#include "apps/overlay/L3App.h"
#include "apps/services/LbApp.h"
#include "apps/services/SondaraApp.h"
#include "core/startup/ConfigTree.h"
#include "platform/RefCounted.h"

namespace qor {
class AsioQorProvider;
}
namespace qor::Vessix {
class VessixService;
}

namespace VevUroro {

class CfgUdsLink;

// What the applications are given at construction; absent pieces are null.
struct ApplicationDeps {
  qor::AsioQorProvider* provider = nullptr;
  CfgUdsLink* udsLink = nullptr;
  MsgDispatcher* dispatcher = nullptr;
  TolvarClient* tolvarClient = nullptr;
  StateCacheConfigTable* configTable = nullptr;
  StateCacheL3Table* l3Table = nullptr;
  StateCacheL2Table* l2Table = nullptr;
  qor::Vessix::VessixService* vessix = nullptr;
  std::shared_ptr<qor::upm::IProfileService> profiles;  // the container-mapping (port-profile) service
};

class ApplicationSet {
 public:
  explicit ApplicationSet(const ApplicationDeps& deps) : _deps(deps) {}

  // Walks the children of the application list in file order, constructing and starting each enabled one.
  // Throws (boost::property_tree::ptree_bad_path) when an enabled child has no "config" subtree.
  void StartFromList(const ConfigTree& apps);
  // Creates the Sondara application with an empty configuration when the list did not create one.
  void StartSondaraFallback();
  // Start-up step 24: the post-start steps of the applications that have one.
  void PostStartAll();
  // Stops the applications that exist, in the fixed shutdown order.
  void StopAll();

  // The applications that exist; a second enabled entry of the same name replaces the first here.
  qor::RefPtr<ConfigApp> configApp;
  qor::RefPtr<Component> l2App;
  qor::RefPtr<Component> l3App;
  qor::RefPtr<Component> dfwMain;
  qor::RefPtr<LbApp> lbApp;
  qor::RefPtr<Component> pathprobeApp;
  qor::RefPtr<Component> bfdApp;
  qor::RefPtr<Component> siApp;
  qor::RefPtr<Component> idsApp;
  qor::RefPtr<SondaraApp> sondaraApp;

 private:
  void StartApplication(const std::string& name, const ConfigTree& config);
  void StartSondara(const ConfigTree& config);
  void StartConfigApp(const ConfigTree& config);
  void StartL2App(const ConfigTree& config);
  void StartL3App(const ConfigTree& config);
  void StartBfdApp();
  static void NotAvailable(const std::string& name);

  ApplicationDeps _deps;
};

}  // namespace VevUroro
