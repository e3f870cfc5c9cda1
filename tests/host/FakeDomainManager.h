#pragma once
// A domain manager whose answers the test chooses. Completions come from
// threads of their own, as a system framework's would, or are held until
// the test releases them.

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/fileprovider/DomainManager.h"

namespace lumora::testing {

class FakeDomainManager final : public fileprovider::DomainManager {
 public:
  // Set before use; read by the completion threads.
  std::optional<Error> removeError;
  std::optional<Error> addError;
  std::optional<Error> signalError;
  bool hasManager = true;
  bool holdCompletions = false;

  ~FakeDomainManager() override;

  void addDomain(const fileprovider::Domain& domain, fileprovider::ErrorCompletion done) override;
  void removeDomain(const fileprovider::Domain& domain,
                    fileprovider::ErrorCompletion done) override;
  std::unique_ptr<fileprovider::DomainHandle> managerForDomain(
      const fileprovider::Domain& domain) override;

  std::vector<std::string> calls() const;
  // The thread that last asked for a domain's manager.
  std::thread::id managerCaller() const;
  // Answers every held completion now.
  void releaseHeld();

  void record(std::string call);
  void complete(fileprovider::ErrorCompletion done, std::optional<Error> error);

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> calls_;           // protected by mutex_
  std::thread::id managerCaller_;            // protected by mutex_
  std::vector<std::thread> threads_;         // protected by mutex_
  std::vector<std::function<void()>> held_;  // protected by mutex_
};

}  // namespace lumora::testing
