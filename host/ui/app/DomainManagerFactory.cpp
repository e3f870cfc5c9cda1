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
  // Under the user's service manager where one answers and the package's
  // unit is installed; else the window starts and watches the daemon.
  using namespace std::chrono_literals;
  return std::make_unique<fileprovider::LinuxDomainManager>(
      locateDaemon(DaemonSearch::current()), 10s, 1s, 30s, fileprovider::systemdUserUnits());
#else
  return nullptr;
#endif
}

}  // namespace lumora::ui
