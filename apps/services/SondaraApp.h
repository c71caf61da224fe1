// VevUroro::SondaraApp: live tracing and packet capture. Needs the packet-tracing application; start-up only
// constructs, starts and stops it.
#pragma once

#include <atomic>
#include <boost/property_tree/ptree.hpp>

#include "core/Component.h"

namespace qor {
class AsioQorProvider;
}

namespace VevUroro {

class CfgUdsLink;
class PathprobeApp;

class SondaraApp : public qor::RefCounted<SondaraApp, Component> {
 public:
  SondaraApp(const boost::property_tree::ptree& config, CfgUdsLink* udsLink, PathprobeApp* pathprobeApp,
             qor::AsioQorProvider* provider);

  void Start();
  void Stop();
  bool Running() const { return _running.load(); }

 private:
  boost::property_tree::ptree _config;
  [[maybe_unused]] CfgUdsLink* _udsLink;
  [[maybe_unused]] PathprobeApp* _pathprobeApp;
  [[maybe_unused]] qor::AsioQorProvider* _provider;
  std::atomic<bool> _running{false};
};

}  // namespace VevUroro
