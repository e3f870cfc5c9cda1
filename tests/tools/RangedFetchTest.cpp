// The backend's ranged fetch against the real stand-in service: its signed
// URLs, its ETags and conditions, and its mode that ignores Range.
#include <gtest/gtest.h>

#include <fstream>

#include "extension/backend/LumoraBackend.h"
#include "platform/foundation/HttpSession.h"
#include "shared/Identifiers.h"
#include "tests/tools/ServiceProcess.h"

namespace lumora::testing {
namespace {

namespace fs = std::filesystem;
using fileprovider::ByteRange;

char byteAt(uint64_t offset, char salt) {
  return static_cast<char>((offset * 131 + (offset >> 12)) ^ static_cast<uint64_t>(salt));
}

void writeObject(const fs::path& file, uint64_t size, char salt) {
  std::string bytes(size, '\0');
  for (uint64_t i = 0; i < size; ++i) bytes[i] = byteAt(i, salt);
  std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

class RangedFetchTest : public ::testing::Test {
 protected:
  static constexpr uint64_t kSize = 3'000'000;
  void SetUp() override { writeObject(root.path() / "video.bin", kSize, 1); }

  std::unique_ptr<backend::LumoraBackend> backendFor(const ServiceProcess& s) {
    fs::create_directories(home.path() / "container");
    std::ofstream(home.path() / "container" / shared::kTokenFileName) << s.token();
    HttpSession::Options options;
    options.extraCaFile = s.caFile();
    return std::make_unique<backend::LumoraBackend>(
        fileprovider::Domain{shared::kDomainIdentifier, shared::kDomainDisplayName}, s.url(),
        home.path() / "container", home.path() / "defaults.json",
        std::make_shared<HttpSession>(options));
  }

  // Fetches a range and checks that the sink saw exactly the delivered span
  // of version `salt`, in order.
  Result<backend::RangeFetch> read(const backend::LumoraBackend& b, ByteRange range,
                                   uint64_t alignment, char salt, size_t* bytesSeen = nullptr) {
    uint64_t next = 0;
    size_t seen = 0, wrong = 0;
    auto got = b.fetchRange("mirror/video.bin", "", range, alignment,
                            [&](uint64_t offset, const char* data, size_t size) {
                              if (seen == 0) next = offset;
                              wrong += offset != next;
                              for (size_t i = 0; i < size; ++i) {
                                wrong += data[i] != byteAt(offset + i, salt);
                              }
                              next = offset + size;
                              seen += size;
                              return true;
                            });
    if (bytesSeen) *bytesSeen = seen;
    if (got) {
      EXPECT_EQ(wrong, 0u);
      EXPECT_EQ(seen, got->range.length);
      if (seen > 0) {
        EXPECT_EQ(next, got->range.end());
      }
    }
    return got;
  }

  TempDir root;
  TempDir home;
};

TEST_F(RangedFetchTest, RangesOfTheServiceAreTheFilesBytesWithOrWithoutRangeSupport) {
  for (bool ignoreRanges : {false, true}) {
    ServiceProcess s(root.path(), ignoreRanges ? std::vector<std::string>{"--ignore-ranges"}
                                               : std::vector<std::string>{});
    ASSERT_TRUE(s.ready());
    auto b = backendFor(s);
    auto head = read(*b, {100, 4000}, 65536, 1);
    ASSERT_TRUE(head) << head.error().description;
    EXPECT_EQ(head->range.offset, 0u);
    EXPECT_EQ(head->range.length, 65536u);
    EXPECT_EQ(head->fileSize, kSize);
    EXPECT_FALSE(head->reachesEnd);

    auto tail = read(*b, {kSize - 10, 10}, 1 << 20, 1);
    ASSERT_TRUE(tail) << tail.error().description;
    EXPECT_EQ(tail->range.offset, 2u << 20);
    EXPECT_EQ(tail->range.length, kSize - (2u << 20));
    EXPECT_TRUE(tail->reachesEnd);

    auto past = read(*b, {kSize + 5, 10}, 0, 1);
    ASSERT_TRUE(past) << past.error().description;
    EXPECT_EQ(past->range.length, 0u);
    EXPECT_TRUE(past->reachesEnd);
  }
}

TEST_F(RangedFetchTest, AFileReplacedBetweenRangesIsNoLongerAvailable) {
  ServiceProcess s(root.path());
  ASSERT_TRUE(s.ready());
  auto b = backendFor(s);
  ASSERT_TRUE(read(*b, {0, 1000}, 0, 1));
  writeObject(root.path() / "video.bin.new", kSize, 2);
  fs::rename(root.path() / "video.bin.new", root.path() / "video.bin");
  size_t seen = 1;
  auto changed = read(*b, {1000, 1000}, 0, 2, &seen);
  ASSERT_FALSE(changed);
  EXPECT_EQ(changed.error().code, fileprovider::kErrorVersionNoLongerAvailable);
  EXPECT_EQ(seen, 0u);
}

}  // namespace
}  // namespace lumora::testing
