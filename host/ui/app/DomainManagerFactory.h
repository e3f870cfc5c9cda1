#pragma once
// The domain manager the program registers its domain with: the Linux system
// side (the lumora-fileprovider daemon) when it is built, else none, in which
// case connecting reports that registration failed.

#include <memory>

#include "platform/fileprovider/DomainManager.h"

namespace lumora::ui {

std::unique_ptr<fileprovider::DomainManager> makeDomainManager();

}  // namespace lumora::ui
