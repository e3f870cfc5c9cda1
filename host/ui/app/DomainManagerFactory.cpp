#include "host/ui/app/DomainManagerFactory.h"

#ifdef LUMORA_HAVE_DOMAIN_MANAGER
#include "host/ui/app/DaemonLocation.h"
#include "platform/fileprovider/linux/control/LinuxDomainManager.h"
#endif

namespace lumora::ui {

std::unique_ptr<fileprovider::DomainManager> makeDomainManager() {
#ifdef LUMORA_HAVE_DOMAIN_MANAGER
  // When none is found the manager tries the bare name, and its error
  // ("Cannot start lumora-fileprovider: …") becomes the status line.
  return std::make_unique<fileprovider::LinuxDomainManager>(locateDaemon(DaemonSearch::current()));
#else
  return nullptr;
#endif
}

}  // namespace lumora::ui
