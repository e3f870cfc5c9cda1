#include "tests/linux/MountedDomain.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/fileprovider/linux/base/Log.h"
#include "platform/fileprovider/linux/control/MountTable.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/TextFile.h"
#include "shared/Identifiers.h"

namespace lumora::testing {

namespace fs = std::filesystem;

bool fuseAvailable() {
  return ::access("/dev/fuse", R_OK | W_OK) == 0;
}

void writeToken(const std::string& token) {
  auto container = paths::appGroupContainer(shared::kAppGroup);
  if (container) (void)writeFileAtomically(*container / shared::kTokenFileName, token);
}

std::unique_ptr<CountingExtension> makeExtension(StorageService& service, fs::path downloads) {
  fileprovider::Domain domain{shared::kDomainIdentifier, shared::kDomainDisplayName};
  auto container = paths::appGroupContainer(shared::kAppGroup);
  auto backend = std::make_shared<const backend::LumoraBackend>(
      domain, service.baseUrl(), container, paths::sharedDefaultsFile(shared::kAppGroup), nullptr,
      std::move(downloads));
  return std::make_unique<CountingExtension>(
      std::make_unique<provider::FileProviderExtension>(domain, backend));
}

MountedDomain::MountedDomain(StorageService& service, uint64_t cacheLimit,
                             std::filesystem::path shownAt)
    : mountpoint_(paths::homeDirectory() / shared::kDomainDisplayName) {
  fuse::setLogEnabled(false);
  fileprovider::Domain domain{shared::kDomainIdentifier, shared::kDomainDisplayName};
  // Downloads where the daemon's own go: in the cache's folder, on its disk.
  extension_ = makeExtension(service, fuse::downloadsFolder(shared::kDomainIdentifier));
  fuse::DaemonOptions options{domain, mountpoint_, true, std::move(shownAt)};
  auto daemon = fuse::DomainDaemon::start(options, *extension_, cacheLimit, retryTime_.retry());
  if (!daemon) {
    ADD_FAILURE() << "mount failed: " << daemon.error().description;
    return;
  }
  daemon_ = std::move(*daemon);
  loop_ = std::thread([d = daemon_.get()] { d->run(); });
}

MountedDomain::~MountedDomain() {
  if (daemon_) {
    daemon_->stop();
    loop_.join();
    daemon_.reset();
  }
  // Whatever happened above, leave no mount behind.
  fuse::detachMount(mountpoint_);
}

fs::path MountedDomain::cacheFolder() const {
  return fuse::contentCacheFolder(shared::kDomainIdentifier);
}

std::expected<std::string, int> readFile(const fs::path& path, std::chrono::microseconds pause) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::unexpected(errno);
  std::string contents;
  char buffer[65536];
  for (;;) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0) {
      int code = errno;
      ::close(fd);
      return std::unexpected(code);
    }
    if (got == 0) break;
    contents.append(buffer, static_cast<size_t>(got));
    if (pause.count() > 0) std::this_thread::sleep_for(pause);
  }
  ::close(fd);
  return contents;
}

}  // namespace lumora::testing
