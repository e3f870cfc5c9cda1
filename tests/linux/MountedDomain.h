#pragma once
// A domain mounted for real in a temporary home, served in this process by
// the daemon's pieces and the real extension, against a StorageService.

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "extension/provider/FileProviderExtension.h"
#include "platform/fileprovider/linux/Daemon.h"
#include "tests/fixtures/TempHome.h"
#include "tests/fixtures/Wait.h"
#include "tests/linux/RetryTime.h"
#include "tests/linux/StorageService.h"

namespace lumora::testing {

// Forwards to the real extension and counts the refusal and fetch calls.
class CountingExtension final : public fileprovider::ReplicatedExtension,
                                public fileprovider::PartialContentFetching {
 public:
  explicit CountingExtension(std::unique_ptr<fileprovider::ReplicatedExtension> inner)
      : inner_(std::move(inner)) {}
  std::atomic<int> creates{0}, modifies{0}, deletes{0}, fetches{0}, partialFetches{0};

  void invalidate() override { inner_->invalidate(); }
  fileprovider::ProgressPtr itemForIdentifier(const fileprovider::ItemIdentifier& id,
                                              const fileprovider::Request& r,
                                              fileprovider::ItemCompletion c) override {
    return inner_->itemForIdentifier(id, r, std::move(c));
  }
  fileprovider::ProgressPtr fetchContents(const fileprovider::ItemIdentifier& id,
                                          const std::optional<fileprovider::ItemVersion>& v,
                                          const fileprovider::Request& r,
                                          fileprovider::FetchCompletion c) override {
    ++fetches;
    return inner_->fetchContents(id, v, r, std::move(c));
  }
  fileprovider::ProgressPtr createItem(fileprovider::ItemPtr t, fileprovider::ItemFields f,
                                       const std::optional<std::filesystem::path>& p, uint64_t o,
                                       const fileprovider::Request& r,
                                       fileprovider::ChangeCompletion c) override {
    ++creates;
    return inner_->createItem(std::move(t), f, p, o, r, std::move(c));
  }
  fileprovider::ProgressPtr modifyItem(fileprovider::ItemPtr i, const fileprovider::ItemVersion& b,
                                       fileprovider::ItemFields f,
                                       const std::optional<std::filesystem::path>& p, uint64_t o,
                                       const fileprovider::Request& r,
                                       fileprovider::ChangeCompletion c) override {
    ++modifies;
    return inner_->modifyItem(std::move(i), b, f, p, o, r, std::move(c));
  }
  fileprovider::ProgressPtr deleteItem(const fileprovider::ItemIdentifier& id,
                                       const fileprovider::ItemVersion& b, uint64_t o,
                                       const fileprovider::Request& r,
                                       fileprovider::DeleteCompletion c) override {
    ++deletes;
    return inner_->deleteItem(id, b, o, r, std::move(c));
  }
  fileprovider::ProgressPtr fetchPartialContents(const fileprovider::ItemIdentifier& id,
                                                 const fileprovider::ItemVersion& v,
                                                 const fileprovider::Request& r,
                                                 fileprovider::ByteRange range, uint64_t alignment,
                                                 fileprovider::PartialContentSink sink,
                                                 fileprovider::PartialFetchCompletion c) override {
    ++partialFetches;
    auto* partial = dynamic_cast<fileprovider::PartialContentFetching*>(inner_.get());
    return partial->fetchPartialContents(id, v, r, range, alignment, std::move(sink), std::move(c));
  }
  std::unique_ptr<fileprovider::Enumerator> enumeratorForContainerItemIdentifier(
      const fileprovider::ItemIdentifier& id, const fileprovider::Request& r,
      std::optional<Error>* e) override {
    return inner_->enumeratorForContainerItemIdentifier(id, r, e);
  }

 private:
  std::unique_ptr<fileprovider::ReplicatedExtension> inner_;
};

// The real extension against `service`, counting, for the default domain;
// downloads go to `downloads`, or the system's temporary folder when empty.
std::unique_ptr<CountingExtension> makeExtension(StorageService& service,
                                                 std::filesystem::path downloads = {});

// True when FUSE mounts can be made here; tests skip otherwise.
bool fuseAvailable();

// Writes the token where the host's hand-off puts it.
void writeToken(const std::string& token);

class MountedDomain {
 public:
  // `shownAt`: where users see the mount, when elsewhere (a link to it).
  explicit MountedDomain(StorageService& service, uint64_t cacheLimit = fuse::kContentCacheLimit,
                         std::filesystem::path shownAt = {});
  ~MountedDomain();
  MountedDomain(const MountedDomain&) = delete;
  MountedDomain& operator=(const MountedDomain&) = delete;

  const std::filesystem::path& root() const { return mountpoint_; }
  std::filesystem::path cacheFolder() const;
  CountingExtension& extension() { return *extension_; }
  // A control request, answered as the socket would.
  std::string control(const std::string& request) { return daemon_->handle(request); }
  bool mounted() const { return daemon_ != nullptr; }
  fuse::Replica& replica() { return daemon_->filesystem().replica(); }
  fuse::DomainFilesystem& filesystem() { return daemon_->filesystem(); }
  fuse::DomainDaemon& daemon() { return *daemon_; }
  // The clock of the daemon's retries, which its pauses move on.
  RetryTime& retryTime() { return retryTime_; }

 private:
  std::filesystem::path mountpoint_;
  RetryTime retryTime_;
  std::unique_ptr<CountingExtension> extension_;
  std::unique_ptr<fuse::DomainDaemon> daemon_;
  std::thread loop_;
};

// Reads a whole file through the mount, with `pause` after each read
// call; errno of the failure otherwise.
std::expected<std::string, int> readFile(const std::filesystem::path& path,
                                         std::chrono::microseconds pause = {});

}  // namespace lumora::testing
