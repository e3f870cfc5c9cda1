#include "extension/provider/FileProviderEnumerator.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "extension/provider/FileProviderItem.h"
#include "platform/foundation/Executor.h"

namespace lumora::provider {

using namespace lumora::fileprovider;

double systemSeconds() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

SyncAnchor syncAnchorForTime(double secondsSince1970) {
  // Converting a non-finite or out-of-range double to an integer is
  // undefined; a broken clock must still give a well-formed anchor.
  constexpr double kLimit = 9.2e18;
  int64_t whole = 0;
  if (std::isfinite(secondsSince1970))
    whole = static_cast<int64_t>(std::clamp(secondsSince1970, -kLimit, kLimit));
  return std::to_string(whole);
}

FileProviderEnumerator::FileProviderEnumerator(
    ItemIdentifier containerID, std::shared_ptr<const backend::LumoraBackend> backend,
    SecondsClock clock)
    : containerID_(std::move(containerID)),
      backend_(std::move(backend)),
      clock_(clock ? std::move(clock) : SecondsClock(systemSeconds)) {}

SyncAnchor FileProviderEnumerator::makeSyncAnchor() const {
  return syncAnchorForTime(clock_());
}

void FileProviderEnumerator::enumerateItems(std::shared_ptr<EnumerationObserver> observer,
                                            Page page) {
  if (!observer) return;
  runDetached([containerID = containerID_, backend = backend_, observer = std::move(observer),
               page = std::move(page)] {
    auto listed = backend->list(containerID, page);
    if (!listed) {
      observer->finishEnumeratingWithError(std::move(listed.error()));
      return;
    }
    std::vector<ItemPtr> items;
    items.reserve(listed->entries.size());
    for (auto& entry : listed->entries)
      items.push_back(std::make_shared<FileProviderItem>(std::move(entry)));
    // Called even for an empty page, so the system sees the page was read.
    observer->didEnumerateItems(std::move(items));
    observer->finishEnumeratingUpToPage(std::move(listed->nextPage));
  });
}

void FileProviderEnumerator::enumerateChanges(std::shared_ptr<ChangeObserver> observer,
                                              SyncAnchor /*anchor: never read*/) {
  if (!observer) return;
  runDetached([clock = clock_, observer = std::move(observer)] {
    SyncAnchor fresh = syncAnchorForTime(clock());
    observer->didUpdateItems({});
    observer->didDeleteItemsWithIdentifiers({});
    observer->finishEnumeratingChangesUpToSyncAnchor(std::move(fresh), false);
  });
}

void FileProviderEnumerator::currentSyncAnchor(
    std::function<void(std::optional<SyncAnchor>)> completion) {
  if (!completion) return;
  runDetached([clock = clock_, completion = std::move(completion)] {
    completion(syncAnchorForTime(clock()));
  });
}

}  // namespace lumora::provider
