#include "platform/fileprovider/linux/content/BlockMap.h"

#include <xxhash.h>

#include <algorithm>
#include <cstring>

namespace lumora::fuse {

namespace {

// "LMAP", then the layout's version.
constexpr char kMagic[8] = {'L', 'M', 'A', 'P', 0, 0, 0, 1};
// Larger than any file the service stores: a map claiming more is damaged.
constexpr uint64_t kMaxFileSize = 1ULL << 44;

void put64(std::string& out, uint64_t value) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

uint64_t get64(std::string_view in, size_t at) {
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i) {
    value |= static_cast<uint64_t>(static_cast<unsigned char>(in[at + i])) << (8 * i);
  }
  return value;
}

}  // namespace

uint64_t blockChecksum(const void* data, size_t size) {
  return XXH3_64bits(data, size);
}

bool BlockMap::complete() const {
  return std::all_of(present.begin(), present.end(), [](bool p) { return p; });
}

// magic, file size, block size, then per block a flag byte and a checksum,
// and last the checksum of all that comes before it.
std::string BlockMap::encode() const {
  std::string out(kMagic, sizeof kMagic);
  put64(out, fileSize);
  put64(out, kBlockSize);
  for (uint64_t i = 0; i < blockCount(); ++i) {
    out.push_back(present[i] ? 1 : 0);
    put64(out, present[i] ? checksums[i] : 0);
  }
  put64(out, XXH3_64bits(out.data(), out.size()));
  return out;
}

std::optional<BlockMap> BlockMap::decode(std::string_view bytes) {
  constexpr size_t kHeader = sizeof kMagic + 16;
  if (bytes.size() < kHeader + 8 || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
    return std::nullopt;
  }
  uint64_t size = get64(bytes, sizeof kMagic);
  if (size > kMaxFileSize || get64(bytes, sizeof kMagic + 8) != kBlockSize) return std::nullopt;
  uint64_t blocks = blockCountFor(size);
  if (bytes.size() != kHeader + blocks * 9 + 8) return std::nullopt;
  size_t body = bytes.size() - 8;
  if (XXH3_64bits(bytes.data(), body) != get64(bytes, body)) return std::nullopt;
  BlockMap map(size);
  for (uint64_t i = 0; i < blocks; ++i) {
    size_t at = kHeader + i * 9;
    unsigned char flag = static_cast<unsigned char>(bytes[at]);
    if (flag > 1) return std::nullopt;
    map.present[i] = flag == 1;
    map.checksums[i] = get64(bytes, at + 1);
  }
  return map;
}

}  // namespace lumora::fuse
