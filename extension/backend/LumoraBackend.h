#pragma once
// The extension's one connection to the service. Immutable after
// construction but for the download URLs that ranged fetches keep (which
// synchronise themselves) and an atomic figure of how far the service is;
// every other operation is a fresh request. Any
// operation may run on many threads at once and blocks its calling task
// until it finishes.

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "extension/backend/Entry.h"
#include "platform/fileprovider/Progress.h"
#include "platform/fileprovider/Protocols.h"
#include "platform/fileprovider/Types.h"
#include "platform/foundation/Error.h"

namespace lumora {
class HttpSession;
}

namespace lumora::backend {

class ObjectSources;

// A service whose answers take longer than this is asked for a file's entry
// and its download URL at once. A nearer one answers two requests in turn
// sooner than a second thread is woken for one of them.
inline constexpr std::chrono::microseconds kOverlapFrom{1000};

using QueryItems = std::vector<std::pair<std::string, std::string>>;

struct ListPage {
  std::vector<Entry> entries;
  std::optional<fileprovider::Page> nextPage;
};

// What a ranged fetch delivered, and the entry of the version it read.
struct RangeFetch {
  fileprovider::ByteRange range;  // the bytes that went to the sink
  bool reachesEnd = false;
  uint64_t fileSize = 0;  // as the content states it
  Entry entry;
  // A weak ETag named the version, and the range was not the whole object:
  // no other range may be stitched to it.
  bool wholeOnly = false;
};

class LumoraBackend final {
 public:
  // The build-time API base, the app group's real container and defaults.
  // Downloads go to `downloadsFolder`; empty: the system's temporary folder.
  explicit LumoraBackend(fileprovider::Domain domain, std::filesystem::path downloadsFolder = {});
  // For tests: explicit base URL, container folder (none: no container) and
  // shared defaults file; `session` null means the process-wide session.
  LumoraBackend(fileprovider::Domain domain, std::string apiBase,
                std::optional<std::filesystem::path> containerDirectory,
                std::filesystem::path defaultsFile, std::shared_ptr<HttpSession> session = nullptr,
                std::filesystem::path downloadsFolder = {});
  ~LumoraBackend();
  LumoraBackend(const LumoraBackend&) = delete;
  LumoraBackend& operator=(const LumoraBackend&) = delete;

  const std::string& apiBase() const { return apiBase_; }
  const std::string& appGroup() const { return appGroup_; }
  const fileprovider::Domain& domain() const { return domain_; }

  Result<std::string> readToken() const;
  Result<std::string> authorizedGet(std::string_view path, const QueryItems& query) const;

  Result<ListPage> list(const fileprovider::ItemIdentifier& container,
                        const fileprovider::Page& page) const;
  Result<Entry> lookupEntry(const fileprovider::ItemIdentifier& identifier) const;
  // The entry a recent listing gave for `identifier` at `contentVersion`,
  // when a download can be held to that version (see download); none
  // otherwise, and the entry is to be looked up.
  std::optional<Entry> listedEntry(const fileprovider::ItemIdentifier& identifier,
                                   const std::string& contentVersion) const;
  // Downloads the object into a fresh private temporary file and returns its
  // path; the caller owns the file. Completes `progress` on success only.
  // `pinned`: only the entry's version will do (one from listedEntry); fails
  // with kErrorVersionNoLongerAvailable when the stored object is another.
  Result<std::filesystem::path> download(const Entry& entry, fileprovider::Progress& progress,
                                         bool pinned = false) const;
  // Streams `minimal`, widened outward to multiples of `alignment` and cut at
  // the end of the file, of the object `identifier` into `sink` as the bytes
  // arrive. `contentVersion` (empty: whichever is current) is the version to
  // read; when the stored object is another, fails with
  // kErrorVersionNoLongerAvailable and passes none of its bytes. The
  // download URL and the object's version are kept for later ranges.
  // `speculative`: nobody waits for it (read-ahead); its GETs go on
  // connections of their own, so that they never take nor close those kept
  // for fetches that are waited for.
  Result<RangeFetch> fetchRange(const fileprovider::ItemIdentifier& identifier,
                                const std::string& contentVersion, fileprovider::ByteRange minimal,
                                uint64_t alignment, const fileprovider::PartialContentSink& sink,
                                bool speculative = false) const;

 private:
  const std::string apiBase_;
  const std::string appGroup_;
  const std::shared_ptr<HttpSession> session_;
  // The same options, its own connections: for speculative ranged GETs.
  const std::shared_ptr<HttpSession> speculativeSession_;
  const fileprovider::Domain domain_;
  // How the token is found; fixed at construction.
  const bool useRealContainer_;
  const std::optional<std::filesystem::path> containerDirectory_;
  const std::filesystem::path defaultsFile_;
  const std::filesystem::path downloadsFolder_;
  const std::unique_ptr<ObjectSources> sources_;  // synchronises itself
  // How long the service's quickest answers take of late, in microseconds:
  // falls at once to a quicker answer and rises slowly with slower ones, so
  // that a large page does not count as distance. -1 until the first answer.
  mutable std::atomic<int64_t> roundTrip_{-1};

  // Notes how long one authorised request took.
  void noteRoundTrip(std::chrono::steady_clock::duration took) const;

  // A new download URL for `key`: the URL and its stated expiry.
  Result<std::pair<std::string, std::optional<double>>> freshDownloadUrl(
      const std::string& key) const;

  struct LocatedEntry {
    Entry entry;
    std::pair<std::string, std::optional<double>> url;
  };
  // The entry of the file `identifier` and a download URL for it. A file's
  // identifier is its key, so a service far enough away is asked for both
  // at once (kOverlapFrom): one round trip rather than two. Fails as the
  // look-up does when both fail.
  Result<LocatedEntry> locateFile(const fileprovider::ItemIdentifier& identifier) const;
};

// The extension's answer to an HTTP status outside 2xx: "server
// unreachable", whatever the status, as the system expects; the status goes
// beside it (Error::cause) for the system's retry policy.
Error statusError(long status);

// The parent folder key of a storage key; none for the root's children.
std::optional<std::string> parentKey(std::string_view key);

}  // namespace lumora::backend
