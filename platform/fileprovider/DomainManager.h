#pragma once
// Registering, removing and signalling File Provider domains: what the host
// asks of the system. On Linux the system side is the lumora-fileprovider
// daemon, one per domain, reached over a Unix socket.

#include <functional>
#include <memory>
#include <optional>

#include "platform/fileprovider/Types.h"

namespace lumora::fileprovider {

using ErrorCompletion = std::function<void(std::optional<Error>)>;

// The manager of one registered domain.
class DomainHandle {
 public:
  virtual ~DomainHandle() = default;
  // Asks the system to enumerate changes of a container (the working set,
  // typically). Completion may come on any thread.
  virtual void signalEnumerator(const ItemIdentifier& containerIdentifier,
                                ErrorCompletion completion) = 0;
};

class DomainManager {
 public:
  virtual ~DomainManager() = default;
  // Completions may come on any thread; callers hop to their own.
  virtual void addDomain(const Domain& domain, ErrorCompletion completion) = 0;
  virtual void removeDomain(const Domain& domain, ErrorCompletion completion) = 0;
  // None when the system has no manager for the domain.
  virtual std::unique_ptr<DomainHandle> managerForDomain(const Domain& domain) = 0;
};

}  // namespace lumora::fileprovider
