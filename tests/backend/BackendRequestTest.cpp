// The backend against a local server: the token look-up, the authorised
// request and its checks, listings and look-ups.
#include <gtest/gtest.h>

#include <set>

#include "tests/backend/BackendHarness.h"

namespace lumora::testing {
namespace {

using backend::Entry;
using fileprovider::kRootContainerItemIdentifier;

constexpr const char* kEmptyListing = R"({"entries":[]})";

std::string bearerOf(const LocalHttpServer& server) {
  auto requests = server.requests();
  return requests.empty() ? "" : requests.back().header("Authorization").value_or("");
}

TEST(BackendToken, FileWinsTrimmedThenDefaultsExactlyAsStored) {
  BackendHarness h;
  h.server.reply("/storage/list", 200, kEmptyListing);

  auto none = h.backend->list(kRootContainerItemIdentifier, fileprovider::kInitialPageSortedByName);
  ASSERT_FALSE(none);
  EXPECT_EQ(none.error(), fileprovider::fileProviderError(fileprovider::kErrorNotAuthenticated));
  EXPECT_EQ(h.server.requestCount(), 0u);  // nothing is sent without a token

  h.setDefaultsToken("from-defaults ");
  EXPECT_EQ(h.backend->readToken(), "from-defaults ");
  ASSERT_TRUE(h.backend->list(kRootContainerItemIdentifier, {}));
  // The space goes out; the server drops trailing white space of a header.
  EXPECT_EQ(bearerOf(h.server), "Bearer from-defaults");

  h.writeTokenFile(" \n\t\n");
  EXPECT_EQ(h.backend->readToken(), "from-defaults ");
  h.writeTokenFile("from-file\n");
  ASSERT_TRUE(h.backend->list(kRootContainerItemIdentifier, {}));
  EXPECT_EQ(bearerOf(h.server), "Bearer from-file");

  // Replaced between two requests: the second one carries the new token.
  h.writeTokenFile("rotated");
  ASSERT_TRUE(h.backend->list(kRootContainerItemIdentifier, {}));
  EXPECT_EQ(bearerOf(h.server), "Bearer rotated");

  h.writeTokenFile("\xC3\x28 not utf-8");
  EXPECT_EQ(h.backend->readToken(), "from-defaults ");
}

TEST(BackendToken, ATokenThatWouldAddHeaderLinesIsNotUsed) {
  BackendHarness h;
  h.writeTokenFile("abc\r\nX-Injected: 1");
  h.setDefaultsToken("clean");
  EXPECT_EQ(h.backend->readToken(), "clean");
  h.setDefaultsToken("bad\nvalue");
  auto result = h.backend->readToken();
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code, fileprovider::kErrorNotAuthenticated);
}

TEST(BackendRequest, OneHeaderOfItsOwnAndOnlyTwoHundredsSucceed) {
  BackendHarness h;
  h.setDefaultsToken("t0k");
  h.server.reply("/storage/empty", 204, "");
  for (int status : {401, 403, 404, 500, 302}) {
    h.server.reply("/storage/s" + std::to_string(status), status, R"({"entries":[]})");
  }
  auto empty = h.backend->authorizedGet("/storage/empty", {});
  ASSERT_TRUE(empty) << empty.error().description;
  EXPECT_EQ(*empty, "");
  auto request = h.server.requests().at(0);
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.header("Authorization"), "Bearer t0k");
  std::set<std::string> names;
  for (const auto& header : request.headers) names.insert(header.first);
  // Host, Accept and Accept-Encoding belong to the protocol; nothing else.
  EXPECT_EQ(names, (std::set<std::string>{"Accept", "Accept-Encoding", "Authorization", "Host"}));

  for (int status : {401, 403, 404, 500, 302}) {
    auto r = h.backend->authorizedGet("/storage/s" + std::to_string(status), {});
    ASSERT_FALSE(r) << status;
    EXPECT_EQ(r.error(), fileprovider::fileProviderError(fileprovider::kErrorServerUnreachable));
    EXPECT_EQ(r.error().description, "The server could not be reached.");
    EXPECT_EQ(r.error().cause.httpStatus, status);  // for the system's retry policy
  }
}

TEST(BackendRequest, HostileKeysRoundTripThroughTheQuery) {
  BackendHarness h;
  h.setDefaultsToken("t");
  h.server.reply("/storage/list", 200, kEmptyListing);
  std::string longKey = "mirror/" + std::string(3000, 'x') + "/";
  for (std::string key :
       {std::string("mirror/a b&c=d/"), std::string("mirror/#frag%41+plus/"),
        std::string("mirror/\xE6\x97\xA5\xE6\x9C\xAC/\xF0\x9F\x93\x81 ?/"), longKey}) {
    h.server.clearRecords();
    auto listed = h.backend->list(key, {});
    ASSERT_TRUE(listed) << key << ": " << listed.error().description;
    auto request = h.server.requests().at(0);
    NameValues expected{{"prefix", key}, {"delimiter", "/"}};
    EXPECT_EQ(request.query, expected);
    EXPECT_EQ(request.rawQuery.find(' '), std::string::npos);
  }
}

TEST(BackendRequest, WorksOverHttpsWithACertificateMadeNow) {
  BackendHarness h(LocalHttpServer::Scheme::https);
  h.setDefaultsToken("t");
  h.server.reply("/storage/list", 200, R"({"entries":[{"key":"mirror/a.txt","size":3}]})");
  auto page = h.backend->list(kRootContainerItemIdentifier, {});
  ASSERT_TRUE(page) << page.error().description;
  ASSERT_EQ(page->entries.size(), 1u);
  EXPECT_EQ(page->entries[0].name, "a.txt");
}

TEST(BackendRequest, TransferAndDecodingErrorsPassUnchanged) {
  BackendHarness h;
  h.setDefaultsToken("t");
  h.server.reply("/storage/list", 200, R"({"entries":[{"key":"k","size":"1"}]})");
  auto bad = h.backend->list("mirror/", {});
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().domain, kDecodingErrorDomain);

  auto closed = std::make_unique<LocalHttpServer>();
  std::string base = closed->baseUrl();
  closed.reset();
  backend::LumoraBackend offline({"d", "D"}, base, h.container(), h.defaultsFile(), h.session);
  auto down = offline.list("mirror/", {});
  ASSERT_FALSE(down);
  EXPECT_EQ(down.error().domain, kTransferErrorDomain);
}

TEST(BackendListing, QueriesAndPagesAsTheServiceExpects) {
  BackendHarness h;
  h.setDefaultsToken("t");
  h.server.get("/storage/list", [](const httplib::Request& req, httplib::Response& res) {
    std::string cursor = req.has_param("cursor") ? req.get_param_value("cursor") : "";
    if (cursor == "abc") {
      res.set_content(R"({"entries":[{"key":"mirror/docs/z.txt"}],"cursor":""})",
                      "application/json");
    } else if (cursor == "last") {
      res.set_content(R"({"entries":[],"cursor":null})", "application/json");
    } else {
      res.set_content(R"({"entries":[{"key":"mirror/docs/"},{"key":"mirror/a.txt","size":12,
        "etag":"e1","modified":"2024-05-01T10:00:00Z"}],"cursor":"abc"})",
                      "application/json");
    }
  });

  auto root = h.backend->list(kRootContainerItemIdentifier, fileprovider::kInitialPageSortedByDate);
  ASSERT_TRUE(root) << root.error().description;
  EXPECT_EQ(h.server.requests().back().query,
            (NameValues{{"prefix", "mirror/"}, {"delimiter", "/"}}));
  ASSERT_EQ(root->entries.size(), 2u);
  EXPECT_EQ(root->entries[0].parentID, kRootContainerItemIdentifier);
  EXPECT_TRUE(root->entries[0].isDirectory);
  EXPECT_EQ(root->entries[1].contentETag, "e1");
  EXPECT_EQ(root->nextPage, fileprovider::Page("abc"));

  auto second = h.backend->list("mirror/docs/", fileprovider::Page("abc"));
  ASSERT_TRUE(second);
  EXPECT_EQ(h.server.requests().back().query,
            (NameValues{{"prefix", "mirror/docs/"}, {"delimiter", "/"}, {"cursor", "abc"}}));
  EXPECT_FALSE(second->nextPage);  // an empty cursor ends the listing
  EXPECT_EQ(second->entries.at(0).parentID, "mirror/docs/");
  EXPECT_FALSE(h.backend->list("mirror/docs/", fileprovider::Page("last"))->nextPage);

  // A page that is not UTF-8 restarts; another identifier goes as it is.
  ASSERT_TRUE(h.backend->list("other-id", fileprovider::Page("\xFF\xFE")));
  auto restart = h.server.requests().back();
  EXPECT_EQ(restart.query, (NameValues{{"prefix", "other-id"}, {"delimiter", "/"}}));
}

TEST(BackendLookup, RootAndFoldersNeedNoRequest) {
  BackendHarness h;
  auto root = h.backend->lookupEntry(kRootContainerItemIdentifier);
  ASSERT_TRUE(root);
  EXPECT_EQ(*root, (Entry{.id = "mirror/",
                          .parentID = std::nullopt,
                          .name = "Lumora",
                          .isDirectory = true,
                          .isRoot = true,
                          .size = 0,
                          .createdAt = {},
                          .modifiedAt = {},
                          .contentETag = "root",
                          .metadataTag = "root"}));
  auto docs = h.backend->lookupEntry("mirror/docs/sub/");
  ASSERT_TRUE(docs);
  EXPECT_EQ(docs->name, "sub");
  EXPECT_EQ(docs->parentID, "mirror/docs/");
  EXPECT_EQ(docs->contentETag, "dir");
  EXPECT_EQ(docs->metadataTag, "dir|mirror/docs/sub/");
  auto mirror = h.backend->lookupEntry("mirror/");
  ASSERT_TRUE(mirror);
  EXPECT_FALSE(mirror->isRoot);
  EXPECT_EQ(mirror->name, "mirror");
  EXPECT_FALSE(mirror->parentID);
  EXPECT_EQ(h.server.requestCount(), 0u);  // no token was even needed
}

TEST(BackendLookup, AFileIsTheRecordOfItsExactKey) {
  BackendHarness h;
  h.setDefaultsToken("t");
  h.server.get("/storage/list", [](const httplib::Request& req, httplib::Response& res) {
    std::string key = req.get_param_value("prefix");
    std::string body = R"({"entries":[]})";
    if (key == "mirror/docs/a.txt") {
      // A longer key with the same prefix comes first.
      body = R"({"entries":[{"key":"mirror/docs/a.txt.bak","size":99,"etag":"wrong"},
                            {"key":"mirror/docs/a.txt","size":5,"etag":"right"}]})";
    } else if (key == "mirror/only-other") {
      body = R"({"entries":[{"key":"mirror/only-other2","size":1}]})";
    }
    res.set_content(body, "application/json");
  });
  auto a = h.backend->lookupEntry("mirror/docs/a.txt");
  ASSERT_TRUE(a) << a.error().description;
  EXPECT_EQ(h.server.requests().back().query,
            (NameValues{{"prefix", "mirror/docs/a.txt"}, {"exact", "1"}}));
  EXPECT_EQ(a->contentETag, "right");
  EXPECT_EQ(a->size, 5);
  EXPECT_EQ(a->parentID, "mirror/docs/");

  for (const char* missingKey : {"mirror/none", "mirror/only-other"}) {
    auto r = h.backend->lookupEntry(missingKey);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), fileprovider::fileProviderError(fileprovider::kErrorNoSuchItem));
  }
}

}  // namespace
}  // namespace lumora::testing
