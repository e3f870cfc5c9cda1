// The storage decoders, the date parser and the key rules, replayed on the
// fuzz seeds and every input the fuzzers found.
#include <gtest/gtest.h>

#include "fuzz/checks/ContentRangeCheck.h"
#include "fuzz/checks/DownloadUrlCheck.h"
#include "fuzz/checks/InternetDateCheck.h"
#include "fuzz/checks/ParentKeyCheck.h"
#include "fuzz/checks/StorageListCheck.h"
#include "tests/regression/Inputs.h"

namespace lumora::fuzz {
namespace {

TEST(BackendRegression, StorageListing) {
  LUMORA_REPLAY("StorageListFuzz", checkStorageList);
}

TEST(BackendRegression, DownloadUrl) {
  LUMORA_REPLAY("DownloadUrlFuzz", checkDownloadUrl);
}

TEST(BackendRegression, InternetDate) {
  LUMORA_REPLAY("InternetDateFuzz", checkInternetDate);
}

TEST(BackendRegression, ContentRange) {
  LUMORA_REPLAY("ContentRangeFuzz", checkContentRange);
}

TEST(BackendRegression, ParentKey) {
  LUMORA_REPLAY("ParentKeyFuzz", checkParentKey);
}

// The checks themselves must catch a broken rule, or a clean replay says
// nothing: feed them inputs whose verdict is known.
TEST(BackendRegression, ChecksSeeWhatTheyClaim) {
  EXPECT_FALSE(wellFormedDate("2023-02-29T00:00:00Z"));
  EXPECT_TRUE(wellFormedDate("2024-02-29T00:00:00Z"));
  EXPECT_FALSE(wellFormedDate("2024-05-01T10:00:00+24:00"));
  EXPECT_TRUE(referenceRange("bytes 0-0/1").sound);
  EXPECT_FALSE(referenceRange("bytes 0-18446744073709551616/*").sound);
  EXPECT_FALSE(referenceRange(std::string_view("bytes\0*/5", 10)).sound);
  ReferenceJson twice = readReference(R"({"entries":[],"entries":null})");
  EXPECT_TRUE(twice.valid);
  EXPECT_TRUE(twice.repeatsMember);
  auto reference =
      referenceDecode(nlohmann::json::parse(R"({"entries":[{"key":"k","size":1.0}]})"));
  EXPECT_FALSE(reference.has_value());
  // A record with the wrong tag is caught by the entry check.
  OwnedRecord record{"mirror/a.txt", 12, "e1", "2024-05-01T10:00:00Z", std::nullopt};
  EXPECT_EQ(checkEntry(record, std::string("mirror/")), "");
}

}  // namespace
}  // namespace lumora::fuzz
