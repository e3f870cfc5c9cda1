#include "platform/fileprovider/linux/driver/ExtensionDriver.h"

#include <cerrno>
#include <condition_variable>
#include <future>
#include <mutex>
#include <unordered_set>

#include "platform/fileprovider/Types.h"
#include "platform/fileprovider/linux/base/Log.h"
#include "platform/foundation/Executor.h"

namespace lumora::fuse {

namespace fp = lumora::fileprovider;

LocalItem::LocalItem(fp::ItemIdentifier identifier, fp::ItemIdentifier parent, std::string filename,
                     bool isDirectory)
    : identifier_(std::move(identifier)),
      parent_(std::move(parent)),
      filename_(std::move(filename)),
      isDirectory_(isDirectory) {}

std::string LocalItem::contentType() const {
  return isDirectory_ ? "inode/directory" : "application/octet-stream";
}

std::optional<int64_t> LocalItem::documentSize() const {
  if (isDirectory_) return std::nullopt;
  return 0;
}

fp::ItemCapabilities LocalItem::capabilities() const {
  return isDirectory_ ? fp::kItemCapabilitiesAllowsContentEnumerating
                      : fp::kItemCapabilitiesAllowsReading;
}

namespace {

// One page's answer. The extension calls either the items and the finish, or
// the error alone; the promise is set by whichever call ends the page.
class PageObserver final : public fp::EnumerationObserver {
 public:
  struct Page {
    std::vector<fp::ItemPtr> items;
    std::optional<fp::Page> nextPage;
  };
  using Answer = Result<Page>;

  void didEnumerateItems(std::vector<fp::ItemPtr> items) override {
    std::lock_guard lock(mutex_);
    for (auto& item : items) items_.push_back(std::move(item));
  }
  void finishEnumeratingUpToPage(std::optional<fp::Page> nextPage) override {
    std::vector<fp::ItemPtr> items;
    {
      std::lock_guard lock(mutex_);
      items = std::move(items_);
    }
    settle(Page{std::move(items), std::move(nextPage)});
  }
  void finishEnumeratingWithError(Error error) override { settle(std::unexpected(error)); }
  std::future<Answer> answer() { return promise_.get_future(); }

 private:
  void settle(Answer answer) {
    std::lock_guard lock(mutex_);
    if (settled_) return;  // a second finish is the extension's fault; ignore it
    settled_ = true;
    promise_.set_value(std::move(answer));
  }
  std::mutex mutex_;
  std::vector<fp::ItemPtr> items_;  // protected by mutex_
  bool settled_ = false;            // protected by mutex_
  std::promise<Answer> promise_;
};

class ChangesObserver final : public fp::ChangeObserver {
 public:
  void didUpdateItems(std::vector<fp::ItemPtr> items) override {
    std::lock_guard lock(mutex_);
    for (auto& item : items) report_.updated.push_back(std::move(item));
  }
  void didDeleteItemsWithIdentifiers(std::vector<fp::ItemIdentifier> identifiers) override {
    std::lock_guard lock(mutex_);
    for (auto& id : identifiers) report_.deleted.push_back(std::move(id));
  }
  void finishEnumeratingChangesUpToSyncAnchor(fp::SyncAnchor, bool) override {
    ChangeReport report;
    {
      std::lock_guard lock(mutex_);
      report = std::move(report_);
    }
    settle(std::move(report));
  }
  void finishEnumeratingWithError(Error error) override { settle(std::unexpected(error)); }
  std::future<Result<ChangeReport>> answer() { return promise_.get_future(); }

 private:
  void settle(Result<ChangeReport> answer) {
    std::lock_guard lock(mutex_);
    if (settled_) return;
    settled_ = true;
    promise_.set_value(std::move(answer));
  }
  std::mutex mutex_;
  ChangeReport report_;   // protected by mutex_
  bool settled_ = false;  // protected by mutex_
  std::promise<Result<ChangeReport>> promise_;
};

// A completion may be copied by the extension; only its first call counts.
template <class T>
struct OneShot {
  std::mutex mutex;
  bool settled = false;  // protected by mutex
  std::promise<T> promise;
  void settle(T value) {
    std::lock_guard lock(mutex);
    if (settled) return;
    settled = true;
    promise.set_value(std::move(value));
  }
};

// A whole fetch's answer. A download that comes after its waiter gave up is
// nobody's: it is removed at once rather than left in the downloads folder
// until the next start.
class FetchAnswer {
 public:
  std::future<Result<FetchedContents>> future() { return promise_.get_future(); }
  void settle(Result<FetchedContents> value) {
    std::lock_guard lock(mutex_);
    if (abandoned_ && value) {
      std::error_code ec;
      std::filesystem::remove(value->file, ec);
    }
    if (settled_ || abandoned_) return;
    settled_ = true;
    promise_.set_value(std::move(value));
  }
  // The waiter gives up; false when the answer came meanwhile, to be taken.
  bool abandon() {
    std::lock_guard lock(mutex_);
    abandoned_ = !settled_;
    return abandoned_;
  }

 private:
  std::mutex mutex_;
  bool settled_ = false;    // protected by mutex_
  bool abandoned_ = false;  // protected by mutex_
  std::promise<Result<FetchedContents>> promise_;
};

Error stoppedError() {
  return Error{kFileProviderErrorDomain, fp::kErrorServerUnreachable,
               "The domain is being stopped."};
}

// How often a wait looks whether it should give up.
constexpr std::chrono::milliseconds kStopCheck{50};

// The extension's answer; none once `stopped` is set or `bound`
// passed without one (an extension that never completes).
template <class T>
std::optional<T> await(std::future<T>& answer, const std::atomic<bool>& stopped,
                       std::chrono::steady_clock::duration bound) {
  auto deadline = std::chrono::steady_clock::now() + bound;
  while (answer.wait_for(kStopCheck) != std::future_status::ready) {
    if (stopped.load() || std::chrono::steady_clock::now() >= deadline) return std::nullopt;
  }
  return answer.get();
}

// Why a wait for the extension was given up.
Error waitError(const std::atomic<bool>& stopped) {
  if (stopped.load()) return stoppedError();
  return Error{kPosixErrorDomain, ETIMEDOUT, "The extension did not answer in time."};
}

// The same for an answer that is a result: stopping or the bound is its error.
template <class T>
Result<T> awaitResult(std::future<Result<T>>& answer, const std::atomic<bool>& stopped,
                      std::chrono::steady_clock::duration bound) {
  auto waited = await(answer, stopped, bound);
  if (waited) return std::move(*waited);
  return std::unexpected(waitError(stopped));
}

Error noEnumerator() {
  return Error{kFileProviderErrorDomain, fp::kErrorServerUnreachable,
               "The extension handed out no enumerator."};
}

}  // namespace

// A counting budget whose slots go back as the extension's answers come,
// which may be after the driver is gone.
class ExtensionDriver::FetchSlots {
 public:
  explicit FetchSlots(size_t count) : free_(count) {}
  // False when `stopped` was set or `bound` passed first.
  bool take(const std::atomic<bool>& stopped, std::chrono::steady_clock::duration bound) {
    auto deadline = std::chrono::steady_clock::now() + bound;
    std::unique_lock lock(mutex_);
    while (free_ == 0) {
      if (stopped.load() || std::chrono::steady_clock::now() >= deadline) return false;
      freed_.wait_for(lock, kStopCheck);
    }
    --free_;
    return true;
  }
  void give() {
    {
      std::lock_guard lock(mutex_);
      ++free_;
    }
    freed_.notify_one();
  }

 private:
  std::mutex mutex_;
  std::condition_variable freed_;
  size_t free_;  // protected by mutex_
};

// Held by a probe while it runs; the driver going away waits for it, so
// that a probe never touches a driver or extension that is gone.
struct ExtensionDriver::ProbeGuard {
  std::mutex mutex;
  bool alive = true;  // protected by mutex
};

ExtensionDriver::ExtensionDriver(fp::ReplicatedExtension& extension, std::shared_ptr<Retry> retry,
                                 std::chrono::steady_clock::duration bound)
    : extension_(extension),
      retry_(std::move(retry)),
      bound_(bound),
      partial_(dynamic_cast<fp::PartialContentFetching*>(&extension)),
      slots_(std::make_shared<FetchSlots>(kMaxWaitedFetches)),
      probeGuard_(std::make_shared<ProbeGuard>()) {}

ExtensionDriver::~ExtensionDriver() {
  stopWaiting();
  std::lock_guard lock(probeGuard_->mutex);
  probeGuard_->alive = false;
}

void ExtensionDriver::probeWhenDue() const {
  if (!retry_->probeDue()) return;
  runDetached([this, guard = probeGuard_, retry = retry_] {
    std::lock_guard lock(guard->mutex);
    if (!guard->alive) {
      retry->probed(false);
      return;
    }
    bool answered = false;
    std::optional<Error> error;
    auto enumerator = extension_.enumeratorForContainerItemIdentifier(
        fp::kRootContainerItemIdentifier, {}, &error);
    if (enumerator) {
      auto observer = std::make_shared<PageObserver>();
      auto answer = observer->answer();
      enumerator->enumerateItems(observer, fp::kInitialPageSortedByName);
      auto page = awaitResult(answer, stopped_, bound_);
      answered = page || !Retry::isSilence(page.error());
    }
    retry->probed(answered && !stopped_.load());
  });
}

std::shared_ptr<void> ExtensionDriver::fetchSlot() const {
  if (!slots_->take(stopped_, bound_)) return nullptr;
  return std::shared_ptr<void>(slots_.get(), [slots = slots_](void*) { slots->give(); });
}

ListingWalk::ListingWalk(const ExtensionDriver& driver, fp::ItemIdentifier container,
                         std::shared_ptr<fp::Enumerator> enumerator)
    : driver_(driver),
      container_(std::move(container)),
      enumerator_(std::move(enumerator)),
      page_(fp::kInitialPageSortedByName) {}

Result<bool> ListingWalk::next() {
  if (ended_) return true;
  if (pages_ == kMaxPagesPerListing) {
    return fail(kFileProviderErrorDomain, fp::kErrorServerUnreachable,
                "The listing of " + container_ + " does not end.");
  }
  ++pages_;
  // A page that fails is asked for again; the listing does not restart.
  auto result = driver_.ask([&] {
    auto observer = std::make_shared<PageObserver>();
    auto answer = observer->answer();
    enumerator_->enumerateItems(observer, page_);
    return awaitResult(answer, driver_.stopped_, driver_.bound_);
  });
  if (!result) return std::unexpected(result.error());
  for (const auto& item : result->items) {
    if (item) items_.push_back(listedItemFor(*item));
  }
  if (!result->nextPage) {
    ended_ = true;
    return true;
  }
  pagesSeen_.insert(std::move(page_));
  if (pagesSeen_.contains(*result->nextPage)) {
    log("the listing of %s comes back to a cursor it gave before; the listing fails",
        container_.c_str());
    return fail(kFileProviderErrorDomain, fp::kErrorServerUnreachable,
                "The listing of " + container_ + " goes round in a circle.");
  }
  page_ = std::move(*result->nextPage);
  return false;
}

Result<std::unique_ptr<ListingWalk>> ExtensionDriver::startListing(
    const fp::ItemIdentifier& container) const {
  std::optional<Error> error;
  auto enumerator = extension_.enumeratorForContainerItemIdentifier(container, {}, &error);
  if (!enumerator) return std::unexpected(error.value_or(noEnumerator()));
  return std::unique_ptr<ListingWalk>(new ListingWalk(*this, container, std::move(enumerator)));
}

Result<std::vector<ListedItem>> ExtensionDriver::enumerateAll(
    const fp::ItemIdentifier& container) const {
  auto walk = startListing(container);
  if (!walk) return std::unexpected(walk.error());
  for (;;) {
    auto ended = (*walk)->next();
    if (!ended) return std::unexpected(ended.error());
    if (*ended) return (*walk)->takeItems();
  }
}

Result<ChangeReport> ExtensionDriver::enumerateChanges(const fp::ItemIdentifier& container) const {
  std::optional<Error> error;
  auto enumerator = extension_.enumeratorForContainerItemIdentifier(container, {}, &error);
  if (!enumerator) return std::unexpected(error.value_or(noEnumerator()));
  auto observer = std::make_shared<ChangesObserver>();
  auto answer = observer->answer();
  enumerator->enumerateChanges(observer, fp::SyncAnchor());
  return awaitResult(answer, stopped_, bound_);
}

Result<fp::ItemPtr> ExtensionDriver::item(const fp::ItemIdentifier& identifier) const {
  return ask([&] {
    auto shot = std::make_shared<OneShot<Result<fp::ItemPtr>>>();
    auto answer = shot->promise.get_future();
    extension_.itemForIdentifier(
        identifier, {}, [shot](fp::ItemPtr item, std::optional<Error> error) {
          if (error || !item) {
            shot->settle(
                std::unexpected(error.value_or(fp::fileProviderError(fp::kErrorNoSuchItem))));
          } else {
            shot->settle(std::move(item));
          }
        });
    return awaitResult(answer, stopped_, bound_);
  });
}

Result<FetchedContents> ExtensionDriver::fetchContents(
    const fp::ItemIdentifier& identifier, const std::optional<fp::ItemVersion>& version) const {
  return ask([&]() -> Result<FetchedContents> {
    auto slot = fetchSlot();
    if (!slot) return std::unexpected(waitError(stopped_));
    auto shot = std::make_shared<FetchAnswer>();
    auto answer = shot->future();
    extension_.fetchContents(
        identifier, version, {},
        [shot, slot = std::move(slot)](std::optional<std::filesystem::path> file, fp::ItemPtr item,
                                       std::optional<Error> error) mutable {
          slot.reset();
          if (error || !file || !item) {
            shot->settle(std::unexpected(
                error.value_or(fp::fileProviderError(fp::kErrorServerUnreachable))));
          } else {
            shot->settle(FetchedContents{std::move(*file), std::move(item)});
          }
        });
    if (auto waited = await(answer, stopped_, bound_)) return std::move(*waited);
    if (!shot->abandon()) return answer.get();
    return std::unexpected(waitError(stopped_));
  });
}

void ExtensionDriver::fetchPartial(const fp::ItemIdentifier& identifier,
                                   const fp::ItemVersion& version, fp::ByteRange range,
                                   uint64_t alignment, fp::PartialContentSink sink,
                                   std::function<void(Result<fp::PartialContents>)> done,
                                   const fp::Request& request) const {
  if (!partial_) {
    done(fail(kPosixErrorDomain, ENOTSUP, "The extension cannot fetch part of a file."));
    return;
  }
  if (retry_ && retry_->away()) {
    probeWhenDue();
    done(std::unexpected(Retry::awayError()));
    return;
  }
  auto once = std::make_shared<std::atomic<bool>>(false);
  partial_->fetchPartialContents(
      identifier, version, request, range, alignment, std::move(sink),
      [once, done = std::move(done)](std::optional<fp::PartialContents> contents,
                                     std::optional<Error> error) {
        if (once->exchange(true)) return;  // a second call is the extension's fault
        if (error || !contents) {
          done(std::unexpected(error.value_or(fp::fileProviderError(fp::kErrorServerUnreachable))));
        } else {
          done(std::move(*contents));
        }
      });
}

Result<fp::PartialContents> ExtensionDriver::fetchPartialAndWait(
    const fp::ItemIdentifier& identifier, const fp::ItemVersion& version, fp::ByteRange range,
    uint64_t alignment, fp::PartialContentSink sink,
    std::chrono::steady_clock::duration timeout) const {
  auto slot = fetchSlot();
  if (!slot) return std::unexpected(waitError(stopped_));
  auto shot = std::make_shared<OneShot<Result<fp::PartialContents>>>();
  auto answer = shot->promise.get_future();
  // The sink may still be called after a wait given up: it holds a flag
  // that stops it then.
  auto abandoned = std::make_shared<std::atomic<bool>>(false);
  fetchPartial(
      identifier, version, range, alignment,
      [abandoned, sink = std::move(sink)](uint64_t offset, const char* data, size_t size) {
        return !abandoned->load() && sink(offset, data, size);
      },
      [shot, slot = std::move(slot)](Result<fp::PartialContents> result) mutable {
        slot.reset();
        shot->settle(std::move(result));
      });
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (answer.wait_for(kStopCheck) != std::future_status::ready) {
    if (stopped_.load() || std::chrono::steady_clock::now() >= deadline) {
      abandoned->store(true);
      if (stopped_.load()) return std::unexpected(stoppedError());
      return fail(kPosixErrorDomain, ETIMEDOUT, "The file's contents did not come in time.");
    }
  }
  return answer.get();
}

std::optional<Error> ExtensionDriver::createItem(fp::ItemPtr itemTemplate) const {
  auto shot = std::make_shared<OneShot<std::optional<Error>>>();
  auto answer = shot->promise.get_future();
  extension_.createItem(std::move(itemTemplate), ~fp::ItemFields{0}, std::nullopt, 0, {},
                        [shot](fp::ItemPtr, fp::ItemFields, bool, std::optional<Error> error) {
                          shot->settle(std::move(error));
                        });
  return await(answer, stopped_, bound_).value_or(stoppedError());
}

std::optional<Error> ExtensionDriver::modifyItem(fp::ItemPtr item, fp::ItemFields fields) const {
  auto shot = std::make_shared<OneShot<std::optional<Error>>>();
  auto answer = shot->promise.get_future();
  fp::ItemVersion base = item ? item->itemVersion() : fp::ItemVersion{};
  extension_.modifyItem(std::move(item), base, fields, std::nullopt, 0, {},
                        [shot](fp::ItemPtr, fp::ItemFields, bool, std::optional<Error> error) {
                          shot->settle(std::move(error));
                        });
  return await(answer, stopped_, bound_).value_or(stoppedError());
}

std::optional<Error> ExtensionDriver::deleteItem(const fp::ItemIdentifier& identifier,
                                                 const fp::ItemVersion& version) const {
  auto shot = std::make_shared<OneShot<std::optional<Error>>>();
  auto answer = shot->promise.get_future();
  extension_.deleteItem(identifier, version, 0, {},
                        [shot](std::optional<Error> error) { shot->settle(std::move(error)); });
  return await(answer, stopped_, bound_).value_or(stoppedError());
}

}  // namespace lumora::fuse
