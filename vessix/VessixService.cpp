#include "vessix/VessixService.h"

#include "platform/QorRoot.h"

namespace qor::Vessix {

bool VessixService::Initialise(qor::AsioQorProvider* provider) {
  _provider = provider;
  return LoadVessixConfig(qor::QorPath(kVessixConfigPath), _config);
}

}  // namespace qor::Vessix
