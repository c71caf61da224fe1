// qor::Vessix::VessixService: the container connectivity service, created and initialised by agent start-up
// before any application starts, and kept for the process's life.
//
// Initialise() runs once on the main thread: it reads and validates "/etc/zantix/qor/vessix.xml" and brings the
// service up; a false return ends agent start-up. Reference counted with atomic counts.
#pragma once

#include "platform/RefCounted.h"
#include "vessix/VessixConfig.h"

namespace qor {
class AsioQorProvider;
}

namespace qor::Vessix {

class VessixService : public qor::RefCounted<VessixService, qor::IRefCountable> {
 public:
  VessixService() = default;

  bool Initialise(qor::AsioQorProvider* provider);

  // The settings read at initialisation.
  const VessixConfig& Config() const { return _config; }

 private:
  VessixConfig _config;
  qor::AsioQorProvider* _provider = nullptr;
};

}  // namespace qor::Vessix
