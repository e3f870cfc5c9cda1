#pragma once
// Which blocks of a cache entry's data file hold the content, with a
// checksum of each: the small file persisted beside the data. It is written
// only after the blocks it names are durable, and read back at start, when
// a map that fails its own checksum or does not fit its data file drops the
// entry.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumora::fuse {

// The unit of fetching, caching and checking. Small, so that a read at a
// new place (a thumbnailer's peek at a video's index or a frame) fetches
// about what it reads; a 10 GiB file's map is then 1.4 MiB.
inline constexpr uint64_t kBlockSize = 64 * 1024;

inline uint64_t blockCountFor(uint64_t size) {
  return (size + kBlockSize - 1) / kBlockSize;
}

// A fast checksum of a block's bytes (XXH3, 64 bits).
uint64_t blockChecksum(const void* data, size_t size);

struct BlockMap {
  uint64_t fileSize = 0;
  // One per block; a checksum counts only where `present` is set.
  std::vector<bool> present;
  std::vector<uint64_t> checksums;

  explicit BlockMap(uint64_t size = 0)
      : fileSize(size), present(blockCountFor(size)), checksums(blockCountFor(size)) {}
  uint64_t blockCount() const { return present.size(); }
  bool complete() const;

  std::string encode() const;
  // None for anything that is not a whole, intact map.
  static std::optional<BlockMap> decode(std::string_view bytes);
};

}  // namespace lumora::fuse
