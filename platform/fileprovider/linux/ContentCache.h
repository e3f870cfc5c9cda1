#pragma once
// Downloaded contents, kept on disk under names derived from a hash of the
// item identifier and the content version. Bounded in size: the least
// recently used files that no one holds open are evicted.

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"

namespace lumora::fuse {

#ifndef LUMORA_CONTENT_CACHE_LIMIT
#define LUMORA_CONTENT_CACHE_LIMIT (10ULL << 30)
#endif
inline constexpr uint64_t kContentCacheLimit = LUMORA_CONTENT_CACHE_LIMIT;

class ContentCache {
  struct State;

 public:
  // An open, pinned cache file: it is not evicted while a lease holds it.
  class Lease {
   public:
    Lease() = default;
    Lease(Lease&& other) noexcept;
    Lease& operator=(Lease&& other) noexcept;
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ~Lease();
    int fd() const { return fd_; }
    uint64_t size() const { return size_; }

   private:
    friend class ContentCache;
    void reset();
    std::shared_ptr<State> state_;
    std::string name_;
    int fd_ = -1;
    uint64_t size_ = 0;
  };

  ContentCache(std::filesystem::path directory, uint64_t limitBytes);
  ContentCache(const ContentCache&) = delete;
  ContentCache& operator=(const ContentCache&) = delete;

  // Creates the folder (0700), drops unfinished copies and learns the files
  // an earlier run left behind.
  Result<void> prepare();

  static std::string fileNameFor(const std::string& identifier, const std::string& version);

  // The cached contents of that version, when there are any.
  std::optional<Lease> open(const std::string& identifier, const std::string& version);
  // Moves a downloaded file into the cache as that version's contents.
  Result<Lease> adopt(const std::string& identifier, const std::string& version,
                      const std::filesystem::path& downloaded);

  const std::filesystem::path& directory() const { return directory_; }
  uint64_t bytesUsed() const;
  size_t fileCount() const;

 private:
  std::optional<Lease> openLocked(const std::string& name);
  void evictLocked(const std::string& keep);

  const std::filesystem::path directory_;
  const uint64_t limit_;
  std::shared_ptr<State> state_;
};

}  // namespace lumora::fuse
