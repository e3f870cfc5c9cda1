// Decoding of listing and download-URL bodies, dates, and the record rule.
#include <gtest/gtest.h>

#include <vector>

#include "extension/backend/Entries.h"
#include "extension/backend/InternetDate.h"
#include "extension/backend/LumoraBackend.h"
#include "extension/backend/StorageRecords.h"

namespace lumora::backend {
namespace {

using namespace std::chrono;

Result<std::vector<Entry>> decode(std::string_view body,
                                  std::optional<std::string>* cursor = nullptr) {
  std::vector<Entry> entries;
  auto decoded = decodeStorageList(
      body, [&](const StorageEntry& r) { entries.push_back(makeEntry(r, "parent/")); });
  if (!decoded) return std::unexpected(decoded.error());
  if (cursor) *cursor = *decoded;
  return entries;
}

void expectDecodingErrorNaming(std::string_view body, std::string_view member) {
  auto result = decode(body);
  ASSERT_FALSE(result) << body;
  EXPECT_EQ(result.error().domain, kDecodingErrorDomain);
  EXPECT_NE(result.error().description.find(member), std::string::npos)
      << result.error().description;
}

TEST(StorageDecoding, WrongTypesFailTheWholeBodyNamingTheMember) {
  expectDecodingErrorNaming(R"({"entries":[{"key":"a","size":"12"}]})", "entries[0].size");
  expectDecodingErrorNaming(R"({"entries":[{"key":"a"},{"key":"b","size":1.5}]})",
                            "entries[1].size");
  expectDecodingErrorNaming(R"({"entries":[{"key":"a","size":9223372036854775808}]})",
                            "entries[0].size");
  expectDecodingErrorNaming(R"({"entries":[{"key":"a"},{"key":"b","size":-1}]})",
                            "entries[1].size");
  expectDecodingErrorNaming(R"({"entries":[{"key":"a/","dir":1}]})", "entries[0].dir");
  expectDecodingErrorNaming(R"({"entries":[{"key":"a","etag":5}]})", "entries[0].etag");
  expectDecodingErrorNaming(R"({"entries":[{"size":1}]})", "entries[0].key");
  expectDecodingErrorNaming(R"({"entries":[{"key":null}]})", "entries[0].key");
  expectDecodingErrorNaming(R"({"cursor":"c"})", "entries");
  expectDecodingErrorNaming(R"({"entries":null})", "entries");
  expectDecodingErrorNaming(R"({"entries":{}})", "entries");
  expectDecodingErrorNaming(R"({"entries":[],"cursor":7})", "cursor");
  EXPECT_FALSE(decode(R"({"entries":[)"));
  EXPECT_FALSE(decode(R"([])"));
  EXPECT_FALSE(decode(""));
}

TEST(StorageDecoding, NullMeansAbsentAndUnknownMembersAreIgnored) {
  std::optional<std::string> cursor = "stale";
  auto entries = decode(
      R"({"entries":[{"key":"mirror/a","size":null,"etag":null,"modified":null,"dir":null,
      "owner":{"x":[1]}}],"cursor":null,"extra":true})",
      &cursor);
  ASSERT_TRUE(entries) << entries.error().description;
  ASSERT_EQ(entries->size(), 1u);
  EXPECT_EQ((*entries)[0].size, 0);
  EXPECT_EQ((*entries)[0].contentETag, "mirror/a");
  EXPECT_FALSE(cursor);
  auto largest = decode(R"({"entries":[{"key":"k","size":9223372036854775807}]})");
  ASSERT_TRUE(largest);
  EXPECT_EQ(largest->at(0).size, INT64_MAX);
}

TEST(StorageDecoding, RecordsBecomeEntries) {
  StorageEntry folder{.key = "mirror/docs/"};
  Entry f = makeEntry(folder, "mirror/");
  EXPECT_TRUE(f.isDirectory);
  EXPECT_FALSE(f.isRoot);
  EXPECT_EQ(f.name, "docs");
  EXPECT_EQ(f.id, "mirror/docs/");
  EXPECT_EQ(f.size, 0);
  EXPECT_EQ(f.contentETag, "mirror/docs/");
  EXPECT_EQ(f.metadataTag, "docs|0|");
  EXPECT_EQ(f.parentID, "mirror/");

  StorageEntry file{
      .key = "mirror/a.txt", .size = 12, .etag = "e1", .modified = "2024-05-01T10:00:00Z"};
  Entry a = makeEntry(file, std::nullopt);
  EXPECT_FALSE(a.isDirectory);
  EXPECT_EQ(a.name, "a.txt");
  EXPECT_EQ(a.size, 12);
  EXPECT_EQ(a.contentETag, "e1");
  EXPECT_EQ(a.metadataTag, "a.txt|12|2024-05-01T10:00:00Z");
  EXPECT_EQ(a.modifiedAt, sys_days(2024y / May / 1) + 10h);
  EXPECT_FALSE(a.createdAt);
  EXPECT_FALSE(a.parentID);
  file.etag.reset();
  EXPECT_EQ(makeEntry(file, std::nullopt).contentETag, "2024-05-01T10:00:00Z");

  StorageEntry fractional{.key = "mirror/b", .modified = "2024-05-01T10:00:00.123Z"};
  Entry b = makeEntry(fractional, std::nullopt);
  EXPECT_FALSE(b.modifiedAt);
  EXPECT_EQ(b.contentETag, "2024-05-01T10:00:00.123Z");
  EXPECT_EQ(b.metadataTag, "b|0|2024-05-01T10:00:00.123Z");

  StorageEntry notDir{.key = "mirror/odd/", .dir = false};
  Entry odd = makeEntry(notDir, std::nullopt);
  EXPECT_FALSE(odd.isDirectory);
  EXPECT_EQ(odd.name, "odd");
}

TEST(StorageDecoding, AFolderRecordWithoutTrailingSlashKeepsItsWholeName) {
  StorageEntry record{.key = "mirror/photos", .dir = true};
  Entry e = makeEntry(record, std::nullopt);
  EXPECT_TRUE(e.isDirectory);
  EXPECT_EQ(e.name, "photos");
  EXPECT_EQ(e.id, "mirror/photos");
  EXPECT_EQ(e.metadataTag, "photos|0|");
}

TEST(InternetDate, WholeSecondsWithZuluOrOffsetOnly) {
  EXPECT_EQ(parseInternetDate("2024-05-01T10:00:00Z"), sys_days(2024y / May / 1) + 10h);
  EXPECT_EQ(parseInternetDate("2024-05-01T12:30:00+02:30"), sys_days(2024y / May / 1) + 10h);
  EXPECT_EQ(parseInternetDate("2024-05-01T00:00:00-01:00"), sys_days(2024y / May / 1) + 1h);
  EXPECT_EQ(parseInternetDate("2024-02-29T23:59:59Z"), sys_days(2024y / February / 29) + 86399s);
  for (const char* bad :
       {"2024-02-30T10:00:00Z", "2023-02-29T10:00:00Z", "2024-13-01T10:00:00Z",
        "2024-00-10T10:00:00Z", "2024-05-01T24:00:00Z", "2024-05-01T10:60:00Z",
        "2024-05-01T10:00:60Z", "2024-05-01T10:00:00.123Z", "2024-05-01T10:00:00", "2024-05-01",
        "2024-05-01 10:00:00Z", "2024-05-01T10:00:00+0200", "2024-05-01T10:00:00+24:00",
        "2024-05-01T10:00:00z", "+024-05-01T10:00:00Z", "", "yesterday"}) {
    EXPECT_FALSE(parseInternetDate(bad)) << bad;
  }
}

TEST(ParentKey, FollowsTheKeyHierarchyUpToTheRoot) {
  EXPECT_EQ(parentKey("mirror/docs/sub/"), "mirror/docs/");
  EXPECT_EQ(parentKey("mirror/docs/a.txt"), "mirror/docs/");
  EXPECT_EQ(parentKey("mirror/docs/"), std::nullopt);
  EXPECT_EQ(parentKey("mirror/a.txt"), std::nullopt);
  EXPECT_EQ(parentKey("mirror/"), std::nullopt);
  EXPECT_EQ(parentKey("loose"), std::nullopt);
}

TEST(DownloadURLDecoding, UrlRequiredExpiresOptionalNumber) {
  auto ok = decodeDownloadURLResponse(R"({"url":"https://s/o","expires":1714557600.5})");
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->url, "https://s/o");
  EXPECT_EQ(ok->expires, 1714557600.5);
  EXPECT_EQ(decodeDownloadURLResponse(R"({"url":"u","expires":60})")->expires, 60.0);
  EXPECT_FALSE(decodeDownloadURLResponse(R"({"url":"u","expires":null})")->expires);
  for (const char* bad :
       {R"({})", R"({"url":null})", R"({"url":3})", R"({"url":"u","expires":"soon"})", R"("u")"}) {
    auto r = decodeDownloadURLResponse(bad);
    ASSERT_FALSE(r) << bad;
    EXPECT_EQ(r.error().domain, kDecodingErrorDomain);
  }
}

}  // namespace
}  // namespace lumora::backend
