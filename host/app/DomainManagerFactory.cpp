#include "host/app/DomainManagerFactory.h"

#ifdef LUMORA_HAVE_DOMAIN_MANAGER
#include "platform/fileprovider/linux/LinuxDomainManager.h"
#endif

namespace lumora::ui {

std::unique_ptr<fileprovider::DomainManager> makeDomainManager() {
#ifdef LUMORA_HAVE_DOMAIN_MANAGER
  // The daemon beside this program (as installed), else on PATH.
  return std::make_unique<fileprovider::LinuxDomainManager>();
#else
  return nullptr;
#endif
}

}  // namespace lumora::ui
