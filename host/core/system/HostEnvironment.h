#pragma once
// What the host's models need from the machine: where the tool lives, which
// shell runs it, how to wait, and which service manager carries the agents.

#include "host/core/system/CommandRunner.h"
#include "host/core/system/Timing.h"
#include "platform/servicemanagement/ServiceManager.h"

namespace lumora::host {

struct HostEnvironment {
  CommandRunner runner;
  Timing timing = Timing::real();
  const servicemanagement::ServiceManagerTable* serviceManager =
      &servicemanagement::currentServiceManager();
};

}  // namespace lumora::host
