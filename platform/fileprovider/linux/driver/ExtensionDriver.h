#pragma once
// Drives a replicated extension the way the system does, and waits for the
// answers: every call blocks the calling (kernel request) thread until the
// extension has called its completion or observer.

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/fileprovider/Protocols.h"
#include "platform/fileprovider/linux/base/ListedItem.h"
#include "platform/fileprovider/linux/driver/Retry.h"

namespace lumora::fuse {

// An item the system makes up itself: the template of a refused creation, or
// the root before the extension was asked about it.
class LocalItem final : public fileprovider::Item {
 public:
  LocalItem(fileprovider::ItemIdentifier identifier, fileprovider::ItemIdentifier parent,
            std::string filename, bool isDirectory);
  fileprovider::ItemIdentifier itemIdentifier() const override { return identifier_; }
  fileprovider::ItemIdentifier parentItemIdentifier() const override { return parent_; }
  std::string filename() const override { return filename_; }
  std::string contentType() const override;
  bool isFolder() const override { return isDirectory_; }
  std::optional<int64_t> documentSize() const override;
  fileprovider::ItemVersion itemVersion() const override { return {}; }
  fileprovider::ItemCapabilities capabilities() const override;

 private:
  fileprovider::ItemIdentifier identifier_;
  fileprovider::ItemIdentifier parent_;
  std::string filename_;
  bool isDirectory_;
};

struct FetchedContents {
  std::filesystem::path file;  // the extension's download, ours from now on
  fileprovider::ItemPtr item;
};

struct ChangeReport {
  std::vector<fileprovider::ItemPtr> updated;
  std::vector<fileprovider::ItemIdentifier> deleted;
};

// The longest a request waits for the extension's answer, so that no kernel
// request waits for ever on an extension that never completes. A service
// that says nothing is found out sooner, by the HTTP session's answer
// timeout; this bound is for the rest (a body that is slow but coming).
inline constexpr std::chrono::seconds kRequestBound{75};

// Content fetches that a kernel request waits for (small files whole, the
// first block of large ones) under way at once. With the read-ahead's own
// budget they leave threads of the shared pool to listings and look-ups,
// however many files are opened together.
inline constexpr size_t kMaxWaitedFetches = 16;

class ExtensionDriver;

// One listing of a container, page after page, each page's items reduced to
// what the replica keeps as it arrives. A cursor that comes back (the
// listing would go round for ever) fails the listing. The items so far may
// be taken between pages, so that a listing of millions need not be held
// whole (a big folder's go to the item store as they come). Used by one
// thread at a time.
class ListingWalk {
 public:
  // Asks for the next page. True once the listing has ended.
  Result<bool> next();
  const std::vector<ListedItem>& items() const { return items_; }
  std::vector<ListedItem> takeItems() { return std::move(items_); }

 private:
  friend class ExtensionDriver;
  ListingWalk(const ExtensionDriver& driver, fileprovider::ItemIdentifier container,
              std::shared_ptr<fileprovider::Enumerator> enumerator);

  const ExtensionDriver& driver_;
  const fileprovider::ItemIdentifier container_;
  const std::shared_ptr<fileprovider::Enumerator> enumerator_;
  std::vector<ListedItem> items_;
  std::unordered_set<fileprovider::Page> pagesSeen_;
  fileprovider::Page page_;
  size_t pages_ = 0;
  bool ended_ = false;
};

class ExtensionDriver {
 public:
  // Without `retry`, each request is made once.
  // `bound`: the longest one answer is waited for.
  explicit ExtensionDriver(fileprovider::ReplicatedExtension& extension,
                           std::shared_ptr<Retry> retry = nullptr,
                           std::chrono::steady_clock::duration bound = kRequestBound);
  // Waits for a probe under way (see ask), which ends soon once stopped.
  ~ExtensionDriver();
  ExtensionDriver(const ExtensionDriver&) = delete;
  ExtensionDriver& operator=(const ExtensionDriver&) = delete;

  // A listing of the container from its initial page, none asked for yet.
  Result<std::unique_ptr<ListingWalk>> startListing(
      const fileprovider::ItemIdentifier& container) const;
  // Every page of the container, from the initial page to the one that ends
  // the listing (see ListingWalk).
  Result<std::vector<ListedItem>> enumerateAll(const fileprovider::ItemIdentifier& container) const;
  Result<ChangeReport> enumerateChanges(const fileprovider::ItemIdentifier& container) const;
  Result<fileprovider::ItemPtr> item(const fileprovider::ItemIdentifier& identifier) const;
  Result<FetchedContents> fetchContents(
      const fileprovider::ItemIdentifier& identifier,
      const std::optional<fileprovider::ItemVersion>& version) const;

  // Whether the extension can fetch a part of a file.
  bool offersPartialContents() const { return partial_ != nullptr; }
  // Starts a partial fetch and returns at once; `done` is called once, from
  // the extension's thread (or this one, when it offers no partial fetch).
  void fetchPartial(const fileprovider::ItemIdentifier& identifier,
                    const fileprovider::ItemVersion& version, fileprovider::ByteRange range,
                    uint64_t alignment, fileprovider::PartialContentSink sink,
                    std::function<void(Result<fileprovider::PartialContents>)> done,
                    const fileprovider::Request& request = {}) const;
  // The same, waiting for the answer up to `timeout`. The sink is called
  // on the extension's thread.
  Result<fileprovider::PartialContents> fetchPartialAndWait(
      const fileprovider::ItemIdentifier& identifier, const fileprovider::ItemVersion& version,
      fileprovider::ByteRange range, uint64_t alignment, fileprovider::PartialContentSink sink,
      std::chrono::steady_clock::duration timeout) const;

  // The refusals: each returns the extension's answer (an error, for this
  // read-only provider); the caller answers the kernel EROFS in any case.
  std::optional<Error> createItem(fileprovider::ItemPtr itemTemplate) const;
  std::optional<Error> modifyItem(fileprovider::ItemPtr item,
                                  fileprovider::ItemFields fields) const;
  std::optional<Error> deleteItem(const fileprovider::ItemIdentifier& identifier,
                                  const fileprovider::ItemVersion& version) const;

  // From now on no call waits for the extension: those waiting and those to
  // come fail at once. The extension's work goes on and its answers are
  // dropped. For the daemon's end, so that a service that hangs does not
  // hold it up.
  void stopWaiting() { stopped_.store(true); }

  fileprovider::ReplicatedExtension& extension() const { return extension_; }
  const std::shared_ptr<Retry>& retry() const { return retry_; }

 private:
  friend class ListingWalk;
  class FetchSlots;
  // A fetch slot, held until the extension answers (or drops the
  // completion); none when the wait for one was given up.
  std::shared_ptr<void> fetchSlot() const;

  // One request, asked again as the retry policy allows. While the service
  // is away it fails at once, and a probe is started when one is due.
  template <class Attempt>
  auto ask(Attempt&& attempt) const -> decltype(attempt()) {
    if (!retry_) return attempt();
    if (retry_->away()) probeWhenDue();
    return retry_->run(attempt, stopped_);
  }
  // Asks for the root's first page on a pool thread, past the retry policy,
  // and tells the policy whether the service answered.
  void probeWhenDue() const;
  struct ProbeGuard;

  fileprovider::ReplicatedExtension& extension_;
  const std::shared_ptr<Retry> retry_;
  const std::chrono::steady_clock::duration bound_;
  fileprovider::PartialContentFetching* const partial_;
  std::atomic<bool> stopped_{false};
  const std::shared_ptr<FetchSlots> slots_;
  const std::shared_ptr<ProbeGuard> probeGuard_;
};

// Keep runaway listings (a service handing out new cursors for ever, with
// or without records) from holding a kernel thread for good.
inline constexpr size_t kMaxPagesPerListing = 100000;

}  // namespace lumora::fuse
