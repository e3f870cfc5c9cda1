#include "tests/linux/FakeContentExtension.h"

#include <algorithm>

#include "platform/fileprovider/Types.h"
#include "platform/fileprovider/linux/driver/ExtensionDriver.h"
#include "platform/foundation/TransferError.h"

namespace lumora::testing {

namespace fp = lumora::fileprovider;

FakeContentExtension::~FakeContentExtension() {
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(mutex_);
    ending_ = true;
    threads.swap(threads_);
  }
  released_.notify_all();
  for (auto& thread : threads) thread.join();
}

void FakeContentExtension::setFile(const std::string& id, std::string contents,
                                   std::string version) {
  std::lock_guard lock(mutex_);
  files_[id] = File{std::move(contents), std::move(version)};
}

void FakeContentExtension::stall() {
  std::lock_guard lock(mutex_);
  stalled_ = true;
}

void FakeContentExtension::release() {
  {
    std::lock_guard lock(mutex_);
    stalled_ = false;
  }
  released_.notify_all();
}

std::vector<fp::ByteRange> FakeContentExtension::ranges() const {
  std::lock_guard lock(mutex_);
  return ranges_;
}

std::vector<bool> FakeContentExtension::speculative() const {
  std::lock_guard lock(mutex_);
  return speculative_;
}

fp::ProgressPtr FakeContentExtension::fetchPartialContents(const fp::ItemIdentifier& identifier,
                                                           const fp::ItemVersion& version,
                                                           const fp::Request& request,
                                                           fp::ByteRange range, uint64_t alignment,
                                                           fp::PartialContentSink sink,
                                                           fp::PartialFetchCompletion completion) {
  ++fetches;
  int now = ++running_;
  int most = mostAtOnce.load();
  while (now > most && !mostAtOnce.compare_exchange_weak(most, now)) {
  }
  std::lock_guard lock(mutex_);
  ranges_.push_back(range);
  speculative_.push_back(request.speculative);
  threads_.emplace_back([this, identifier, version, range, alignment, sink = std::move(sink),
                         completion = std::move(completion)] {
    // Under way from the call to the end of its answer.
    struct Done {
      std::atomic<int>& running;
      ~Done() { --running; }
    } done{running_};
    File file;
    {
      std::unique_lock held(mutex_);
      released_.wait(held, [&] { return !stalled_ || ending_; });
      auto it = files_.find(identifier);
      if (it == files_.end()) {
        return completion(std::nullopt, fp::fileProviderError(fp::kErrorNoSuchItem));
      }
      file = it->second;
    }
    int left = failures_.load();
    while (left > 0 && !failures_.compare_exchange_weak(left, left - 1)) {
    }
    if (left > 0) return completion(std::nullopt, Error{kTransferErrorDomain, 500, "HTTP 500"});
    if (file.version != version.contentVersion) {
      return completion(std::nullopt, fp::fileProviderError(fp::kErrorVersionNoLongerAvailable));
    }
    uint64_t size = file.contents.size();
    uint64_t begin = range.offset / alignment * alignment;
    uint64_t end = std::min(size, (range.end() + alignment - 1) / alignment * alignment);
    int cuts = cuts_.load();
    while (cuts > 0 && !cuts_.compare_exchange_weak(cuts, cuts - 1)) {
    }
    uint64_t cutAt = cuts > 0 ? std::min(end, begin + cutAfter_.load()) : end;
    // In pieces, as a transfer delivers them.
    for (uint64_t at = begin; at < cutAt; at += 16384) {
      size_t piece = static_cast<size_t>(std::min<uint64_t>(16384, cutAt - at));
      if (!sink(at, file.contents.data() + at, piece)) {
        return completion(std::nullopt, Error{kTransferErrorDomain, 23, "stopped by the sink"});
      }
      bytesSent += piece;
    }
    if (cutAt < end) {
      return completion(std::nullopt, transferError(TransferError::connectionLost, "cut"));
    }
    fp::PartialContents contents;
    contents.range = {begin, end > begin ? end - begin : 0};
    contents.reachesEnd = end >= size;
    contents.fileSize = size;
    completion(contents, std::nullopt);
  });
  return nullptr;
}

void FakeContentExtension::failLookups(std::vector<Error> errors) {
  std::lock_guard lock(mutex_);
  lookupErrors_ = std::move(errors);
}

fp::ProgressPtr FakeContentExtension::itemForIdentifier(const fp::ItemIdentifier& identifier,
                                                        const fp::Request&, fp::ItemCompletion c) {
  ++lookups;
  std::optional<Error> error;
  bool known = false;
  {
    std::lock_guard lock(mutex_);
    if (!lookupErrors_.empty()) {
      error = lookupErrors_.front();
      lookupErrors_.erase(lookupErrors_.begin());
    }
    known = files_.contains(identifier);
  }
  if (error) {
    c(nullptr, *error);
  } else if (known) {
    c(std::make_shared<fuse::LocalItem>(identifier, fp::kRootContainerItemIdentifier, identifier,
                                        false),
      std::nullopt);
  } else {
    c(nullptr, fp::fileProviderError(fp::kErrorNoSuchItem));
  }
  return nullptr;
}

fp::ProgressPtr FakeContentExtension::fetchContents(const fp::ItemIdentifier&,
                                                    const std::optional<fp::ItemVersion>&,
                                                    const fp::Request&, fp::FetchCompletion c) {
  c(std::nullopt, nullptr, fp::fileProviderError(fp::kErrorNoSuchItem));
  return nullptr;
}

fp::ProgressPtr FakeContentExtension::createItem(fp::ItemPtr, fp::ItemFields,
                                                 const std::optional<std::filesystem::path>&,
                                                 uint64_t, const fp::Request&,
                                                 fp::ChangeCompletion c) {
  c(nullptr, 0, false, fp::fileProviderError(fp::kErrorNoSuchItem));
  return nullptr;
}

fp::ProgressPtr FakeContentExtension::modifyItem(fp::ItemPtr, const fp::ItemVersion&,
                                                 fp::ItemFields,
                                                 const std::optional<std::filesystem::path>&,
                                                 uint64_t, const fp::Request&,
                                                 fp::ChangeCompletion c) {
  c(nullptr, 0, false, fp::fileProviderError(fp::kErrorNoSuchItem));
  return nullptr;
}

fp::ProgressPtr FakeContentExtension::deleteItem(const fp::ItemIdentifier&, const fp::ItemVersion&,
                                                 uint64_t, const fp::Request&,
                                                 fp::DeleteCompletion c) {
  c(fp::fileProviderError(fp::kErrorNoSuchItem));
  return nullptr;
}

std::unique_ptr<fp::Enumerator> FakeContentExtension::enumeratorForContainerItemIdentifier(
    const fp::ItemIdentifier&, const fp::Request&, std::optional<Error>* error) {
  if (error) *error = fp::fileProviderError(fp::kErrorNoSuchItem);
  return nullptr;
}

}  // namespace lumora::testing
