#include "platform/foundation/UrlQuery.h"

#include <gtest/gtest.h>

#include "tests/fixtures/LocalHttpServer.h"

namespace lumora {
namespace {

TEST(UrlQuery, KeepsSlashesAndEncodesSeparatorsSpacesAndNonAscii) {
  EXPECT_EQ(encodeQueryComponent("mirror/docs/a.txt"), "mirror/docs/a.txt");
  EXPECT_EQ(encodeQueryComponent("a b&c=d+e#f%g"), "a%20b%26c%3Dd%2Be%23f%25g");
  EXPECT_EQ(encodeQueryComponent("caf\xC3\xA9"), "caf%C3%A9");
  EXPECT_EQ(encodeQueryComponent("-._~!$'()*,;:@"), "-._~!$'()*,;:@");
  EXPECT_EQ(encodeQueryComponent("what?"), "what%3F");
  EXPECT_EQ(encodeQueryComponent(std::string("\0\n\"<>[]\\^`{|}", 13)),
            "%00%0A%22%3C%3E%5B%5D%5C%5E%60%7B%7C%7D");
}

TEST(UrlQuery, EveryByteRoundTripsThroughAFormDecoder) {
  std::string all;
  for (int c = 0; c < 256; ++c) all.push_back(static_cast<char>(c));
  std::string query = encodeQuery({{"k&=", all}, {"second", "x"}});
  testing::NameValues decoded = testing::parseQuery(query);
  ASSERT_EQ(decoded.size(), 2u);
  EXPECT_EQ(decoded[0].first, "k&=");
  EXPECT_EQ(decoded[0].second, all);
  EXPECT_EQ(decoded[1], (testing::NameValues::value_type{"second", "x"}));
}

TEST(UrlQuery, BuildsOneSlashBetweenBaseAndPath) {
  EXPECT_EQ(appendPath("https://api.example", "/storage/list"), "https://api.example/storage/list");
  EXPECT_EQ(appendPath("https://api.example/", "/storage/list"),
            "https://api.example/storage/list");
  EXPECT_EQ(buildUrl("http://h:1", "/p", {}), "http://h:1/p");
  EXPECT_EQ(buildUrl("http://h:1", "/p", {{"prefix", "mirror/"}, {"delimiter", "/"}}),
            "http://h:1/p?prefix=mirror/&delimiter=/");
}

}  // namespace
}  // namespace lumora
