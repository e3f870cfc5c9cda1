// The backend's content download: a download URL from the API, then the
// object streamed from that URL into a private temporary file.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <exception>
#include <future>
#include <memory>

#include "extension/backend/LumoraBackend.h"
#include "extension/backend/ObjectSources.h"
#include "extension/backend/StorageRecords.h"
#include "platform/foundation/Executor.h"
#include "platform/foundation/HttpSession.h"

namespace lumora::backend {
namespace {

// Removes the temporary file unless the download succeeds and keeps it.
class TemporaryFile {
 public:
  TemporaryFile() = default;
  ~TemporaryFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  // In `folder`, or the system's temporary folder when it is empty.
  Result<void> create(std::filesystem::path folder) {
    std::error_code ec;
    if (folder.empty()) folder = std::filesystem::temp_directory_path(ec);
    if (ec) return std::unexpected(posixError(ec.value(), "finding the temporary folder"));
    std::string pattern = (folder / "lumora-download-XXXXXX").string();
    // mkostemp makes the file with mode 0600 and O_EXCL: never an existing file.
    int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) return std::unexpected(posixError(errno, "creating the download file"));
    fd_ = fd;
    path_ = pattern;
    return {};
  }

  int fd() const { return fd_; }

  // Closes the file and hands its path over; it is no longer removed.
  Result<std::filesystem::path> keep() {
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) return std::unexpected(posixError(errno, "closing the download file"));
    std::filesystem::path path = std::move(path_);
    path_.clear();
    return path;
  }

 private:
  int fd_ = -1;
  std::string path_;
};

}  // namespace

Result<std::pair<std::string, std::optional<double>>> LumoraBackend::freshDownloadUrl(
    const std::string& key) const {
  Result<std::string> body = authorizedGet("/storage/download-url", {{"key", key}});
  if (!body) return std::unexpected(body.error());
  Result<DownloadURLResponse> response = decodeDownloadURLResponse(*body);
  if (!response) return std::unexpected(response.error());
  if (!isFetchableUrl(response->url)) {
    return std::unexpected(fileprovider::fileProviderError(fileprovider::kErrorServerUnreachable));
  }
  return std::pair{std::move(response->url), response->expires};
}

Result<LumoraBackend::LocatedEntry> LumoraBackend::locateFile(
    const fileprovider::ItemIdentifier& identifier) const {
  // A near service is asked one request after the other; the root and
  // folders are looked up without a request, nor have they a URL.
  int64_t roundTrip = roundTrip_.load(std::memory_order_relaxed);
  bool near = roundTrip >= 0 && roundTrip < kOverlapFrom.count();
  if (near || identifier == fileprovider::kRootContainerItemIdentifier ||
      identifier.ends_with('/')) {
    Result<Entry> entry = lookupEntry(identifier);
    if (!entry) return std::unexpected(entry.error());
    auto url = freshDownloadUrl(entry->id);
    if (!url) return std::unexpected(url.error());
    return LocatedEntry{std::move(*entry), std::move(*url)};
  }
  // The look-up goes to a thread of the shared pool while this one asks for
  // the URL. Whichever comes to it first makes it: this thread never waits
  // for a look-up that no thread has started, however busy the pool.
  struct Lookup {
    std::atomic<bool> claimed{false};
    std::promise<Result<Entry>> answer;
  };
  auto lookup = std::make_shared<Lookup>();
  std::future<Result<Entry>> answer = lookup->answer.get_future();
  runDetached([this, lookup, identifier] {
    // Only once claimed does it touch the backend, whose caller then waits.
    if (lookup->claimed.exchange(true)) return;
    try {
      lookup->answer.set_value(lookupEntry(identifier));
    } catch (...) {
      lookup->answer.set_exception(std::current_exception());
    }
  });
  auto url = freshDownloadUrl(identifier);
  Result<Entry> entry = lookup->claimed.exchange(true) ? answer.get() : lookupEntry(identifier);
  // The look-up's failure says more (no such item, not authenticated).
  if (!entry) return std::unexpected(entry.error());
  if (!url) return std::unexpected(url.error());
  return LocatedEntry{std::move(*entry), std::move(*url)};
}

std::optional<Entry> LumoraBackend::listedEntry(const fileprovider::ItemIdentifier& identifier,
                                                const std::string& contentVersion) const {
  return sources_->listed(identifier, contentVersion);
}

Result<std::filesystem::path> LumoraBackend::download(const Entry& entry,
                                                      fileprovider::Progress& progress,
                                                      bool pinned) const {
  auto url = freshDownloadUrl(entry.id);
  if (!url) return std::unexpected(url.error());

  TemporaryFile file;
  if (Result<void> made = file.create(downloadsFolder_); !made)
    return std::unexpected(made.error());
  // The URL carries its own authorisation: no header of the backend's own.
  std::optional<std::string> listedTag =
      entry.contentETagIsTag ? strongTag(entry.contentETag) : std::nullopt;
  HttpHeaders headers;
  if (pinned && listedTag) headers.emplace_back("If-Match", *listedTag);
  long status = 0;
  std::string etag;
  int writeError = 0;  // errno of a failed write, 0 while all is well
  HttpStreamReceiver receiver{[&](const HttpResponseHead& head) {
                                status = head.status;
                                etag = head.header("ETag").value_or("");
                                // An error page from the storage host is not the file's contents.
                                return status >= 200 && status <= 299;
                              },
                              [&](const char* data, size_t size) {
                                for (size_t done = 0; done < size;) {
                                  ssize_t n = ::write(file.fd(), data + done, size - done);
                                  if (n < 0) {
                                    if (errno == EINTR) continue;
                                    writeError = errno;
                                    return false;
                                  }
                                  done += static_cast<size_t>(n);
                                }
                                return true;
                              }};
  Result<HttpStreamResult> answer = session_->stream(url->first, headers, receiver);
  if (writeError != 0) return std::unexpected(posixError(writeError, "writing the download"));
  if (pinned && status == 412) {
    return std::unexpected(
        fileprovider::fileProviderError(fileprovider::kErrorVersionNoLongerAvailable));
  }
  if (status != 0 && (status < 200 || status > 299)) return std::unexpected(statusError(status));
  if (!answer) return std::unexpected(answer.error());
  // The store answers with the tags its listing gives: later fetches of a
  // listed version may go without a look-up.
  if (listedTag && etag == *listedTag) sources_->listedTagsHold.store(true);
  Result<std::filesystem::path> path = file.keep();
  if (!path) return std::unexpected(path.error());
  progress.setCompletedUnitCount(progress.totalUnitCount());
  return path;
}

}  // namespace lumora::backend
