#include "extension/provider/FileProviderExtension.h"

#include "extension/provider/FileProviderItem.h"
#include "platform/foundation/Executor.h"

namespace lumora::provider {

using namespace lumora::fileprovider;

namespace {

// Made anew for every refused call, so no caller shares another's error.
Error refusalError() {
  return fileProviderError(kErrorNoSuchItem);
}

}  // namespace

FileProviderExtension::FileProviderExtension(Domain domain, std::filesystem::path downloadsFolder)
    : domain_(std::move(domain)),
      backend_(std::make_shared<const backend::LumoraBackend>(domain_, std::move(downloadsFolder))),
      clock_(systemSeconds) {}

FileProviderExtension::FileProviderExtension(Domain domain,
                                             std::shared_ptr<const backend::LumoraBackend> backend,
                                             SecondsClock clock)
    : domain_(std::move(domain)),
      backend_(std::move(backend)),
      clock_(clock ? std::move(clock) : SecondsClock(systemSeconds)) {}

ProgressPtr FileProviderExtension::itemForIdentifier(const ItemIdentifier& identifier,
                                                     const Request& /*request*/,
                                                     ItemCompletion completion) {
  auto progress = Progress::withTotalUnitCount(1);
  runDetached([backend = backend_, identifier, progress, completion = std::move(completion)] {
    auto entry = backend->lookupEntry(identifier);
    if (completion) {
      if (entry)
        completion(std::make_shared<FileProviderItem>(std::move(*entry)), std::nullopt);
      else
        completion(nullptr, std::move(entry.error()));
    }
    // Only once the completion has returned, whatever the outcome.
    progress->setCompletedUnitCount(1);
  });
  return progress;
}

ProgressPtr FileProviderExtension::fetchContents(const ItemIdentifier& identifier,
                                                 const std::optional<ItemVersion>& requestedVersion,
                                                 const Request& /*request*/,
                                                 FetchCompletion completion) {
  // A requested version that a recent listing named is fetched as that
  // version, without a look-up; otherwise the current contents are.
  std::string version = requestedVersion ? requestedVersion->contentVersion : std::string();
  auto progress = Progress::withTotalUnitCount(100);
  runDetached(
      [backend = backend_, identifier, version, progress, completion = std::move(completion)] {
        std::optional<backend::Entry> listed = backend->listedEntry(identifier, version);
        auto entry = listed ? Result<backend::Entry>(*listed) : backend->lookupEntry(identifier);
        if (!entry) {
          if (completion) completion(std::nullopt, nullptr, std::move(entry.error()));
          return;
        }
        // The download completes the progress itself, before it returns.
        auto file = backend->download(*entry, *progress, listed.has_value());
        if (!file) {
          if (completion) completion(std::nullopt, nullptr, std::move(file.error()));
          return;
        }
        auto item = std::make_shared<FileProviderItem>(std::move(*entry));
        if (completion) {
          completion(std::move(*file), std::move(item), std::nullopt);
        } else {
          // Nobody takes the file over; leave nothing behind.
          std::error_code ignored;
          std::filesystem::remove(*file, ignored);
        }
      });
  return progress;
}

ProgressPtr FileProviderExtension::fetchPartialContents(const ItemIdentifier& identifier,
                                                        const ItemVersion& requestedVersion,
                                                        const Request& request,
                                                        ByteRange minimalRange, uint64_t alignment,
                                                        PartialContentSink sink,
                                                        PartialFetchCompletion completion) {
  auto progress = Progress::withTotalUnitCount(100);
  runDetached([backend = backend_, identifier, version = requestedVersion.contentVersion,
               minimalRange, alignment, speculative = request.speculative, progress,
               sink = std::move(sink), completion = std::move(completion)] {
    auto fetched =
        backend->fetchRange(identifier, version, minimalRange, alignment, sink, speculative);
    if (!fetched) {
      if (completion) completion(std::nullopt, std::move(fetched.error()));
      return;
    }
    progress->setCompletedUnitCount(100);
    // The item describes the version read, whose size the content states.
    fetched->entry.size = static_cast<int64_t>(fetched->fileSize);
    PartialContents contents{fetched->range, fetched->reachesEnd, fetched->fileSize,
                             std::make_shared<FileProviderItem>(std::move(fetched->entry)),
                             fetched->wholeOnly};
    if (completion) completion(std::move(contents), std::nullopt);
  });
  return progress;
}

ProgressPtr FileProviderExtension::createItem(ItemPtr /*itemTemplate*/, ItemFields /*fields*/,
                                              const std::optional<std::filesystem::path>&
                                              /*contents*/,
                                              uint64_t /*options*/, const Request& /*request*/,
                                              ChangeCompletion completion) {
  if (completion) completion(nullptr, ItemFields{0}, false, refusalError());
  return std::make_shared<Progress>();
}

ProgressPtr FileProviderExtension::modifyItem(ItemPtr /*item*/, const ItemVersion& /*baseVersion*/,
                                              ItemFields /*changedFields*/,
                                              const std::optional<std::filesystem::path>&
                                              /*contents*/,
                                              uint64_t /*options*/, const Request& /*request*/,
                                              ChangeCompletion completion) {
  if (completion) completion(nullptr, ItemFields{0}, false, refusalError());
  return std::make_shared<Progress>();
}

ProgressPtr FileProviderExtension::deleteItem(const ItemIdentifier& /*identifier*/,
                                              const ItemVersion& /*baseVersion*/,
                                              uint64_t /*options*/, const Request& /*request*/,
                                              DeleteCompletion completion) {
  if (completion) completion(refusalError());
  return std::make_shared<Progress>();
}

std::unique_ptr<Enumerator> FileProviderExtension::enumeratorForContainerItemIdentifier(
    const ItemIdentifier& containerItemIdentifier, const Request& /*request*/,
    std::optional<Error>* /*error: never set*/) {
  return std::make_unique<FileProviderEnumerator>(containerItemIdentifier, backend_, clock_);
}

}  // namespace lumora::provider
