#include "tests/host/FakeDomainManager.h"

namespace lumora::testing {

namespace fp = fileprovider;

namespace {

class FakeHandle final : public fp::DomainHandle {
 public:
  explicit FakeHandle(FakeDomainManager& owner) : owner_(owner) {}
  void signalEnumerator(const fp::ItemIdentifier& container, fp::ErrorCompletion done) override {
    owner_.record("signal " + container);
    owner_.complete(std::move(done), owner_.signalError);
  }

 private:
  FakeDomainManager& owner_;
};

}  // namespace

FakeDomainManager::~FakeDomainManager() {
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(mutex_);
    threads.swap(threads_);
  }
  for (auto& thread : threads) thread.join();
}

void FakeDomainManager::addDomain(const fp::Domain& domain, fp::ErrorCompletion done) {
  record("add " + domain.identifier + " " + domain.displayName);
  complete(std::move(done), addError);
}

void FakeDomainManager::removeDomain(const fp::Domain& domain, fp::ErrorCompletion done) {
  record("remove " + domain.identifier);
  complete(std::move(done), removeError);
}

std::unique_ptr<fp::DomainHandle> FakeDomainManager::managerForDomain(const fp::Domain& domain) {
  record("manager " + domain.identifier);
  {
    std::lock_guard lock(mutex_);
    managerCaller_ = std::this_thread::get_id();
  }
  if (!hasManager) return nullptr;
  return std::make_unique<FakeHandle>(*this);
}

std::vector<std::string> FakeDomainManager::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::thread::id FakeDomainManager::managerCaller() const {
  std::lock_guard lock(mutex_);
  return managerCaller_;
}

void FakeDomainManager::record(std::string call) {
  std::lock_guard lock(mutex_);
  calls_.push_back(std::move(call));
}

void FakeDomainManager::complete(fp::ErrorCompletion done, std::optional<Error> error) {
  auto answer = [done = std::move(done), error = std::move(error)] { done(error); };
  std::lock_guard lock(mutex_);
  if (holdCompletions) {
    held_.push_back(std::move(answer));
  } else {
    threads_.emplace_back(std::move(answer));
  }
}

void FakeDomainManager::releaseHeld() {
  std::lock_guard lock(mutex_);
  for (auto& answer : held_) threads_.emplace_back(std::move(answer));
  held_.clear();
}

}  // namespace lumora::testing
