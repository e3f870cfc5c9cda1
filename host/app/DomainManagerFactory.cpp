#include "host/app/DomainManagerFactory.h"

namespace lumora::ui {

std::unique_ptr<fileprovider::DomainManager> makeDomainManager() {
  return nullptr;
}

}  // namespace lumora::ui
