#include "apps/services/SondaraApp.h"

namespace VevUroro {

SondaraApp::SondaraApp(const boost::property_tree::ptree& config, CfgUdsLink* udsLink, PathprobeApp* pathprobeApp,
                       qor::AsioQorProvider* provider)
    : _config(config), _udsLink(udsLink), _pathprobeApp(pathprobeApp), _provider(provider) {}

void SondaraApp::Start() {
  _running = true;
}

void SondaraApp::Stop() {
  _running = false;
}

}  // namespace VevUroro
