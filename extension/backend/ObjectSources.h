#pragma once
// What ranged reads of one version of one object keep between ranges: the
// object's entry, its download URL while the URL is valid, and what the
// storage host said of the object's version and size. Kept per storage key
// and content version, a bounded number at a time.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "extension/backend/Entry.h"

namespace lumora::backend {

// The object's version as a response states it: its ETag, else its date.
struct ObjectValidator {
  std::string etag;
  std::string lastModified;
  bool empty() const { return etag.empty() && lastModified.empty(); }
};

class ObjectSource {
 public:
  // Held while the entry and the first URL are fetched, so that ranges of
  // one object asked for at once share one look-up. Taken before mutex_.
  std::mutex setup;
  // Set once under `setup`, then read-only.
  std::optional<Entry> entry;

  struct Url {
    std::string url;
    bool usable = false;  // valid for a while yet, with the safety margin
  };
  // `now`: seconds since the epoch, the unit of the service's "expires".
  Url url(double now) const;
  void setUrl(std::string url, std::optional<double> expires);

  // Checks `seen` against the pinned version and pins it when nothing is
  // pinned yet; false when the two disagree (the object changed).
  bool admit(const ObjectValidator& seen);
  ObjectValidator pinned() const;

  // The size the content stated first; false when `size` contradicts it.
  bool admitSize(uint64_t size);
  std::optional<uint64_t> size() const;

 private:
  mutable std::mutex mutex_;
  std::string url_;                // guarded by mutex_
  std::optional<double> expires_;  // guarded by mutex_
  ObjectValidator pinned_;         // guarded by mutex_
  std::optional<uint64_t> size_;   // guarded by mutex_
};

class ObjectSources {
 public:
  explicit ObjectSources(size_t capacity = 256) : capacity_(capacity) {}

  // The source kept for `key`, made empty when there is none; the least
  // recently used goes when there are too many.
  std::shared_ptr<ObjectSource> obtain(const std::string& key);
  // Drops `source` if it is still the one kept for `key`.
  void forget(const std::string& key, const ObjectSource* source);
  size_t size() const;

  // Files as the listings last named them, the newest `kListedCapacity`:
  // a fetch of the version a listing named needs no look-up of its own.
  void rememberListed(const Entry& entry);
  // The entry listed for `key` when it names `contentVersion` by a tag that
  // the store's answers state (listedTagsHold): a fetch sent If-Match with
  // it learns of a change from the store itself.
  std::optional<Entry> listed(const std::string& key, const std::string& contentVersion) const;

  // The store was seen to answer with the strong form of the ETags its
  // listing gives, so a listed tag can be sent as If-Match before any
  // answer pinned the version; a store with other tags would refuse it.
  std::atomic<bool> listedTagsHold{false};

 private:
  struct Kept {
    std::shared_ptr<ObjectSource> source;
    uint64_t lastUse = 0;
  };
  const size_t capacity_;
  mutable std::mutex mutex_;
  std::unordered_map<std::string, Kept> kept_;  // guarded by mutex_
  uint64_t clock_ = 0;                          // guarded by mutex_
  static constexpr size_t kListedCapacity = 16384;
  std::unordered_map<std::string, Entry> listed_;  // guarded by mutex_
  std::deque<std::string> listedOrder_;            // guarded by mutex_; oldest first
};

// The strong form of a listed ETag, as object stores state it in their
// answers: the listing gives it bare (S3 strips the quotes). None for a
// weak tag, which If-Match can never match.
std::optional<std::string> strongTag(std::string_view listed);

}  // namespace lumora::backend
