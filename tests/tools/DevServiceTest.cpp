// The stand-in service as a client sees it: a real lumora-devservice child
// over HTTPS with its own certificate verified.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>

#include "tests/tools/ServiceProcess.h"
#include "tools/devservice/SignIn.h"
#include "tools/devservice/Tokens.h"
#include "tools/devservice/UrlSigner.h"

namespace lumora::testing {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

void writeFile(const fs::path& path, const std::string& contents, time_t mtime = 0) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << contents;
  if (mtime != 0) {
    timespec times[2] = {{mtime, 0}, {mtime, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
  }
}

json body(const httplib::Result& res) {
  return res ? json::parse(res->body, nullptr, false) : json();
}

std::vector<std::string> keys(const json& page) {
  std::vector<std::string> out;
  for (const auto& e : page["entries"]) out.push_back(e["key"]);
  return out;
}

class DevServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFile(root.path() / "a.txt", "hello, world", 1714557600);  // 2024-05-01T10:00:00Z
    writeFile(root.path() / "docs/report.pdf", std::string(300000, 'p'));
    writeFile(root.path() / "docs/sub/deep.txt", "deep");
    writeFile(outside.path() / "secret.txt", "not to be served");
    fs::create_symlink(outside.path(), root.path() / "escape");
    fs::create_symlink(outside.path() / "secret.txt", root.path() / "docs/secret-link.txt");
  }
  std::string urlFor(ServiceProcess& s, const std::string& key) {
    auto res = s.authorizedGet("/storage/download-url?key=" + key);
    if (!res || res->status != 200) return {};
    return body(res)["url"];
  }
  std::string secret(ServiceProcess& s) {
    std::ifstream in(s.stateFolder() / "url-secret");
    std::string text;
    std::getline(in, text);
    return text;
  }

  TempDir root;
  TempDir outside;
};

TEST_F(DevServiceTest, StorageNeedsABearerTokenThatTheServiceIssued) {
  ServiceProcess s(root.path());
  ASSERT_TRUE(s.ready());
  auto c = s.client();
  const std::string target = "/storage/list?prefix=mirror/&delimiter=/";
  EXPECT_EQ(c->Get(target)->status, 401);
  EXPECT_EQ(c->Get(target, {{"Authorization", "Bearer not-a-token"}})->status, 401);
  EXPECT_EQ(c->Get(target, {{"Authorization", "bearer " + s.token()}})->status, 401);
  EXPECT_EQ(c->Get(target, {{"Authorization", s.token()}})->status, 401);
  EXPECT_EQ(c->Get("/storage/download-url?key=mirror/a.txt")->status, 401);
  EXPECT_EQ(c->Get("/storage/anything-else")->status, 401);
  EXPECT_EQ(s.authorizedGet(target)->status, 200);
  EXPECT_EQ(s.authorizedGet("/storage/anything-else")->status, 404);
}

TEST_F(DevServiceTest, ListsOneFolderLevelWithFoldersEndingInSlash) {
  ServiceProcess s(root.path());
  ASSERT_TRUE(s.ready());
  json page = body(s.authorizedGet("/storage/list?prefix=mirror/&delimiter=/"));
  // Symbolic links are never listed, whatever they point at.
  EXPECT_EQ(keys(page), (std::vector<std::string>{"mirror/a.txt", "mirror/docs/"}));
  EXPECT_FALSE(page.contains("cursor"));
  const json& file = page["entries"][0];
  EXPECT_EQ(file["size"], 12);
  EXPECT_EQ(file["dir"], false);
  EXPECT_EQ(file["modified"], "2024-05-01T10:00:00Z");
  EXPECT_TRUE(file["etag"].is_string());
  const json& folder = page["entries"][1];
  EXPECT_EQ(folder["dir"], true);
  EXPECT_EQ(folder["size"], 0);
  EXPECT_TRUE(std::regex_match(folder["modified"].get<std::string>(),
                               std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")));

  json docs = body(s.authorizedGet("/storage/list?prefix=mirror/docs/&delimiter=/"));
  EXPECT_EQ(keys(docs), (std::vector<std::string>{"mirror/docs/report.pdf", "mirror/docs/sub/"}));
  // Without a delimiter: every file below, and no folder records.
  json all = body(s.authorizedGet("/storage/list?prefix=mirror/docs/"));
  EXPECT_EQ(keys(all),
            (std::vector<std::string>{"mirror/docs/report.pdf", "mirror/docs/sub/deep.txt"}));
  // A prefix is a prefix of keys, not only a folder.
  json partial = body(s.authorizedGet("/storage/list?prefix=mirror/do&delimiter=/"));
  EXPECT_EQ(keys(partial), (std::vector<std::string>{"mirror/docs/"}));
  json missing = body(s.authorizedGet("/storage/list?prefix=mirror/nope/&delimiter=/"));
  EXPECT_TRUE(missing["entries"].empty());
  EXPECT_EQ(s.authorizedGet("/storage/list?prefix=mirror/&delimiter=%7C")->status, 400);
}

TEST_F(DevServiceTest, EtagsStayWhileAFileStaysAndChangeWhenItChanges) {
  ServiceProcess s(root.path());
  ASSERT_TRUE(s.ready());
  auto etag = [&] {
    return body(s.authorizedGet("/storage/list?prefix=mirror/a.txt&exact=1"))["entries"][0]["etag"];
  };
  json first = etag();
  EXPECT_EQ(etag(), first);
  writeFile(root.path() / "a.txt", "a different body", 1714557600);
  EXPECT_NE(etag(), first);
}

TEST_F(DevServiceTest, PagesCoverTheFolderOnceInOrder) {
  for (int i = 0; i < 10; ++i) writeFile(root.path() / "many" / ("f" + std::to_string(i)), "x");
  fs::create_directories(root.path() / "many/zdir");
  ServiceProcess s(root.path(), {"--page-size", "3"});
  ASSERT_TRUE(s.ready());
  std::vector<std::string> seen;
  std::string cursor;
  int pages = 0;
  do {
    std::string target = "/storage/list?prefix=mirror/many/&delimiter=/";
    if (!cursor.empty()) target += "&cursor=" + cursor;
    json page = body(s.authorizedGet(target));
    ASSERT_TRUE(page.contains("entries"));
    EXPECT_LE(page["entries"].size(), 3u);
    for (auto& k : keys(page)) seen.push_back(k);
    cursor = page.value("cursor", "");
    ASSERT_LT(++pages, 10);
  } while (!cursor.empty());
  EXPECT_EQ(pages, 4);
  ASSERT_EQ(seen.size(), 11u);
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()).size(), 11u);
  EXPECT_EQ(seen.back(), "mirror/many/zdir/");
  EXPECT_EQ(s.authorizedGet("/storage/list?prefix=mirror/many/&delimiter=/&cursor=%2A%2A")->status,
            400);
}

TEST_F(DevServiceTest, ExactLookupFindsTheObjectOrNothing) {
  ServiceProcess s(root.path());
  ASSERT_TRUE(s.ready());
  json hit = body(s.authorizedGet("/storage/list?prefix=mirror/docs/sub/deep.txt&exact=1"));
  ASSERT_EQ(hit["entries"].size(), 1u);
  EXPECT_EQ(hit["entries"][0]["key"], "mirror/docs/sub/deep.txt");
  EXPECT_EQ(hit["entries"][0]["size"], 4);
  EXPECT_TRUE(
      body(s.authorizedGet("/storage/list?prefix=mirror/docs/sub/nope.txt&exact=1"))["entries"]
          .empty());
  EXPECT_TRUE(body(s.authorizedGet("/storage/list?prefix=mirror/docs/sub/deep&exact=1"))["entries"]
                  .empty());
  EXPECT_TRUE(
      body(s.authorizedGet("/storage/list?prefix=mirror/docs/secret-link.txt&exact=1"))["entries"]
          .empty());
}

TEST_F(DevServiceTest, KeysNeverReachOutsideTheServedFolder) {
  ServiceProcess s(root.path());
  ASSERT_TRUE(s.ready());
  for (std::string prefix : {"mirror/../", "mirror/docs/../../", "mirror//etc/", "mirror/./",
                             "mirror/docs/%2E%2E/%2E%2E/"}) {
    EXPECT_EQ(s.authorizedGet("/storage/list?prefix=" + prefix + "&delimiter=/")->status, 400)
        << prefix;
  }
  EXPECT_EQ(s.authorizedGet("/storage/list?prefix=mirror/../secret.txt&exact=1")->status, 400);
  EXPECT_EQ(s.authorizedGet("/storage/download-url?key=mirror/../secret.txt")->status, 400);
  EXPECT_EQ(s.authorizedGet("/storage/download-url?key=/etc/passwd")->status, 404);
  // Links inside the tree are not followed, as folders or as files.
  EXPECT_TRUE(
      body(s.authorizedGet("/storage/list?prefix=mirror/escape/&delimiter=/"))["entries"].empty());
  EXPECT_EQ(s.authorizedGet("/storage/download-url?key=mirror/escape/secret.txt")->status, 404);
  EXPECT_EQ(s.authorizedGet("/storage/download-url?key=mirror/docs/secret-link.txt")->status, 404);
  // A URL signed for a traversing key (the secret is known here) is still refused.
  devservice::UrlSigner signer(secret(s));
  std::int64_t expires = ::time(nullptr) + 100;
  std::string key = "mirror/../secret.txt";
  auto res = s.client()->Get("/objects?key=" + key + "&expires=" + std::to_string(expires) +
                             "&sig=" + signer.sign(key, expires));
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 400);
  EXPECT_EQ(res->body.find("not to be served"), std::string::npos);
}

TEST_F(DevServiceTest, DownloadUrlsServeTheBytesWithoutAuthorization) {
  ServiceProcess s(root.path());
  ASSERT_TRUE(s.ready());
  auto res = s.authorizedGet("/storage/download-url?key=mirror/docs/report.pdf");
  ASSERT_EQ(res->status, 200);
  json answer = body(res);
  ASSERT_TRUE(answer["url"].is_string());
  EXPECT_TRUE(answer["expires"].is_number());
  EXPECT_GT(answer["expires"].get<double>(), static_cast<double>(::time(nullptr)));
  std::string url = answer["url"];
  ASSERT_TRUE(url.starts_with(s.url() + "/objects?"));
  std::string target = url.substr(s.url().size());
  auto object = s.client()->Get(target);
  ASSERT_TRUE(object);
  EXPECT_EQ(object->status, 200);
  EXPECT_EQ(object->body, std::string(300000, 'p'));
  EXPECT_EQ(s.authorizedGet("/storage/download-url?key=mirror/docs/none.pdf")->status, 404);
  EXPECT_EQ(s.authorizedGet("/storage/download-url?key=mirror/docs/")->status, 404);
}

TEST_F(DevServiceTest, ObjectsHonourRanges) {
  std::string data;
  for (int i = 0; i < 5000; ++i) data += static_cast<char>('a' + i % 26);
  writeFile(root.path() / "r.bin", data);
  ServiceProcess s(root.path());
  ASSERT_TRUE(s.ready());
  std::string target = urlFor(s, "mirror/r.bin").substr(s.url().size());
  auto c = s.client();
  auto part = c->Get(target, {{"Range", "bytes=100-199"}});
  ASSERT_TRUE(part);
  EXPECT_EQ(part->status, 206);
  EXPECT_EQ(part->body, data.substr(100, 100));
  EXPECT_EQ(part->get_header_value("Content-Range"), "bytes 100-199/5000");
  auto tail = c->Get(target, {{"Range", "bytes=-10"}});
  EXPECT_EQ(tail->body, data.substr(4990));
  // A range past the end is clamped; one that starts past the end is refused.
  auto clamped = c->Get(target, {{"Range", "bytes=4990-99999"}});
  EXPECT_EQ(clamped->status, 206);
  EXPECT_EQ(clamped->body, data.substr(4990));
  auto refused = c->Get(target, {{"Range", "bytes=6000-7000"}});
  EXPECT_EQ(refused->status, 416);
  EXPECT_EQ(refused->get_header_value("Content-Range"), "bytes */5000");
}

TEST_F(DevServiceTest, ObjectsAnswerIfMatchAndIfRangeForTheirVersion) {
  std::string data(5000, 'a');
  writeFile(root.path() / "r.bin", data, 1714989600);  // Mon, 06 May 2024 10:00:00 GMT
  ServiceProcess s(root.path());
  ASSERT_TRUE(s.ready());
  std::string target = urlFor(s, "mirror/r.bin").substr(s.url().size());
  auto c = s.client();
  auto first = c->Get(target, {{"Range", "bytes=0-9"}});
  ASSERT_TRUE(first);
  std::string etag = first->get_header_value("ETag");
  EXPECT_TRUE(etag.starts_with('"') && etag.ends_with('"')) << etag;
  EXPECT_EQ(first->get_header_value("Last-Modified"), "Mon, 06 May 2024 10:00:00 GMT");

  auto matching = c->Get(target, {{"Range", "bytes=10-19"}, {"If-Match", etag}});
  EXPECT_EQ(matching->status, 206);
  EXPECT_EQ(matching->body, data.substr(10, 10));
  auto other = c->Get(target, {{"Range", "bytes=10-19"}, {"If-Match", "\"other\", " + etag}});
  EXPECT_EQ(other->status, 206);
  auto stale = c->Get(target, {{"Range", "bytes=10-19"}, {"If-Match", "\"other\""}});
  EXPECT_EQ(stale->status, 412);
  EXPECT_EQ(stale->body.find("aaaa"), std::string::npos);

  auto sameTag = c->Get(target, {{"Range", "bytes=0-9"}, {"If-Range", etag}});
  EXPECT_EQ(sameTag->status, 206);
  auto sameDate =
      c->Get(target, {{"Range", "bytes=0-9"}, {"If-Range", "Mon, 06 May 2024 10:00:00 GMT"}});
  EXPECT_EQ(sameDate->status, 206);
  auto otherTag = c->Get(target, {{"Range", "bytes=0-9"}, {"If-Range", "\"other\""}});
  EXPECT_EQ(otherTag->status, 200);
  EXPECT_EQ(otherTag->body, data);

  // Once the file changes, the version read so far is refused.
  writeFile(root.path() / "r.bin", std::string(5000, 'b'), 1715076000);
  auto changed = c->Get(target, {{"Range", "bytes=10-19"}, {"If-Match", etag}});
  EXPECT_EQ(changed->status, 412);
  auto whole = c->Get(target, {{"Range", "bytes=10-19"}, {"If-Range", etag}});
  EXPECT_EQ(whole->status, 200);
  EXPECT_EQ(whole->body, std::string(5000, 'b'));
  EXPECT_NE(whole->get_header_value("ETag"), etag);
  // Error pages are not the object: a Range does not cut them.
  auto refused = c->Get(target + "x", {{"Range", "bytes=3-4"}});
  EXPECT_EQ(refused->status, 403);
  EXPECT_TRUE(json::accept(refused->body)) << refused->body;
}

TEST_F(DevServiceTest, IgnoreRangesAnswersWholeObjects) {
  ServiceProcess s(root.path(), {"--ignore-ranges"});
  ASSERT_TRUE(s.ready());
  std::string target = urlFor(s, "mirror/docs/report.pdf").substr(s.url().size());
  auto res = s.client()->Get(target, {{"Range", "bytes=100-199"}});
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->body, std::string(300000, 'p'));
  EXPECT_FALSE(res->has_header("Content-Range"));
  EXPECT_EQ(res->get_header_value("Accept-Ranges"), "none");
}

TEST_F(DevServiceTest, ObjectRateSendsTheFirstBytesLongBeforeTheLast) {
  // 300,000 bytes at 600,000 bytes/s: half a second in pieces of 30,000.
  ServiceProcess s(root.path(), {"--object-rate", "600000"});
  ASSERT_TRUE(s.ready());
  std::string target = urlFor(s, "mirror/docs/report.pdf").substr(s.url().size());
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  std::optional<Clock::duration> first;
  std::string received;
  auto res = s.client()->Get(target, [&](const char* data, size_t size) {
    if (!first) first = Clock::now() - start;
    received.append(data, size);
    return true;
  });
  const auto total = Clock::now() - start;
  ASSERT_TRUE(res);
  EXPECT_EQ(received, std::string(300000, 'p'));
  ASSERT_TRUE(first);
  EXPECT_GE(total, std::chrono::milliseconds(400));
  EXPECT_LT(*first, total / 2);

  auto part = s.client()->Get(target, {{"Range", "bytes=1000-60999"}});
  EXPECT_EQ(part->status, 206);
  EXPECT_EQ(part->body, std::string(60000, 'p'));
}

TEST_F(DevServiceTest, BadOrExpiredSignaturesAreRefused) {
  ServiceProcess s(root.path());
  ASSERT_TRUE(s.ready());
  std::string target = urlFor(s, "mirror/a.txt").substr(s.url().size());
  ASSERT_FALSE(target.empty());
  auto c = s.client();
  EXPECT_EQ(c->Get(target)->status, 200);
  std::string tampered = target;
  tampered.back() = tampered.back() == '0' ? '1' : '0';
  EXPECT_EQ(c->Get(tampered)->status, 403);
  std::string otherKey = target;
  otherKey.replace(otherKey.find("mirror/a.txt"), 12, "mirror/docs/sub/deep.txt");
  EXPECT_EQ(c->Get(otherKey)->status, 403);
  EXPECT_EQ(c->Get("/objects?key=mirror/a.txt")->status, 403);
  devservice::UrlSigner signer(secret(s));
  std::int64_t past = ::time(nullptr) - 5;
  EXPECT_EQ(c->Get("/objects?key=mirror/a.txt&expires=" + std::to_string(past) +
                   "&sig=" + signer.sign("mirror/a.txt", past))
                ->status,
            403);
  std::int64_t future = ::time(nullptr) + 60;
  auto fresh = c->Get("/objects?key=mirror/a.txt&expires=" + std::to_string(future) +
                      "&sig=" + signer.sign("mirror/a.txt", future));
  EXPECT_EQ(fresh->status, 200);
  EXPECT_EQ(fresh->body, "hello, world");
}

TEST_F(DevServiceTest, KeysWithPlusSpacesAndUnicodeRoundTrip) {
  writeFile(root.path() / "x+y z é.txt", "odd name");
  ServiceProcess s(root.path());
  ASSERT_TRUE(s.ready());
  // Query encoded by URL-components rules: "+" literal, space and é escaped.
  json hit = body(s.authorizedGet("/storage/list?prefix=mirror/x+y%20z%20%C3%A9.txt&exact=1"));
  ASSERT_EQ(hit["entries"].size(), 1u);
  EXPECT_EQ(hit["entries"][0]["key"], "mirror/x+y z é.txt");
  std::string target = urlFor(s, "mirror/x+y%20z%20%C3%A9.txt").substr(s.url().size());
  EXPECT_EQ(s.client()->Get(target)->body, "odd name");
}

TEST_F(DevServiceTest, SignInTakesThePasswordInTheBrowserThatOpenedThePageAndHandsOutOneToken) {
  ASSERT_TRUE(addServiceUser(outside.path() / "users", "ada", "lovelace"));
  ServiceProcess s(root.path(), {"--users", (outside.path() / "users").string()});
  ASSERT_TRUE(s.ready());
  auto c = s.client();
  const std::string verifier(64, 'a');
  const std::string session = devservice::SignInDesk::sessionOf(verifier);
  auto page = c->Get("/signin?session=" + session);
  ASSERT_EQ(page->status, 200);
  EXPECT_NE(page->body.find("type=\"password\""), std::string::npos);
  EXPECT_EQ(c->Get("/signin?session=short")->status, 400);
  EXPECT_EQ(confirmSignIn(*c, session, "ada", "")->status, 401);
  EXPECT_EQ(confirmSignIn(*c, session, "ada", "wrong")->status, 401);
  EXPECT_EQ(confirmSignIn(*c, session, "bob", "lovelace")->status, 401);
  // The right password from a browser that never loaded the page is refused.
  EXPECT_EQ(c->Post("/signin/confirm", "session=" + session + "&user=ada&password=lovelace",
                    "application/x-www-form-urlencoded")
                ->status,
            403);
  EXPECT_EQ(c->Get("/signin/token?verifier=" + verifier)->status, 202);
  ASSERT_EQ(confirmSignIn(*c, session, "ada", "lovelace")->status, 200);
  EXPECT_EQ(c->Get("/signin/token?verifier=" + session)->status, 202);  // the session is no key
  auto token = c->Get("/signin/token?verifier=" + verifier);
  ASSERT_EQ(token->status, 200);
  std::string minted = token->body.substr(0, token->body.find('\n'));
  EXPECT_EQ(c->Get("/signin/token?verifier=" + verifier)->status, 410);  // handed out once
  EXPECT_EQ(confirmSignIn(*c, session, "ada", "lovelace")->status, 409);
  EXPECT_EQ(c->Get("/storage/list?prefix=mirror/", {{"Authorization", "Bearer " + minted}})->status,
            200);
  // Repeated failures lock the account, whatever comes next.
  const std::string other = devservice::SignInDesk::sessionOf(std::string(64, 'b'));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(confirmSignIn(*c, other, "ada", "nope")->status, 401);
  EXPECT_EQ(confirmSignIn(*c, other, "ada", "lovelace")->status, 429);
  // Tokens are kept in the state folder: a restarted service still accepts it.
  std::string state = s.stateFolder();
  s.stop();
  Child second({devServiceBinary(), "--root", root.path().string(), "--state", state});
  auto url = second.readLine(std::chrono::seconds(20));
  ASSERT_TRUE(url);
  httplib::Client c2(*url);
  c2.set_ca_cert_path((fs::path(state) / "cert.pem").c_str());
  c2.enable_server_certificate_verification(true);
  EXPECT_EQ(c2.Get("/storage/list?prefix=mirror/", {{"Authorization", "Bearer " + minted}})->status,
            200);
  second.signal(SIGTERM);
  EXPECT_EQ(second.wait().exitCode, 0);
}

TEST_F(DevServiceTest, TokensEndAndRevocationsReachEveryInstanceOfTheSameStore) {
  std::string secret = (outside.path() / "secret").string();
  writeFile(secret, std::string(40, 's'));
  std::string users = (outside.path() / "users").string();
  ASSERT_TRUE(addServiceUser(users, "ada", "lovelace"));
  ServiceProcess a(root.path(), {"--secret-file", secret, "--users", users});
  ServiceProcess b(root.path(), {"--secret-file", secret, "--users", users});
  ServiceProcess late(root.path(), {"--secret-file", secret, "--clock-offset", "2592000"});
  ServiceProcess elsewhere(outside.path(), {"--secret-file", secret});
  ASSERT_TRUE(a.ready() && b.ready() && late.ready() && elsewhere.ready());
  auto status = [](const ServiceProcess& at, const ServiceProcess& from) {
    return at.client()
        ->Get("/storage/list?prefix=mirror/", {{"Authorization", "Bearer " + from.token()}})
        ->status;
  };
  EXPECT_EQ(status(b, a), 200);
  EXPECT_EQ(status(late, a), 401);  // 30 days later
  EXPECT_EQ(status(late, late), 200);
  EXPECT_EQ(status(elsewhere, a), 401);  // another store
  // A sign-in confirmed on one instance is collected from another.
  const std::string verifier(64, 'd');
  auto ac = a.client();
  ASSERT_EQ(
      confirmSignIn(*ac, devservice::SignInDesk::sessionOf(verifier), "ada", "lovelace")->status,
      200);
  EXPECT_EQ(b.client()->Get("/signin/token?verifier=" + verifier)->status, 200);
  auto revoke = [&](std::vector<std::string> what) {
    std::vector<std::string> argv = {devServiceBinary(), "revoke"};
    argv.insert(argv.end(), what.begin(), what.end());
    argv.insert(argv.end(), {"--secret-file", secret});
    return runProcess(argv).exitCode;
  };
  ASSERT_EQ(revoke({devservice::readClaims(a.token())->id}), 0);
  EXPECT_EQ(status(a, a), 401);
  EXPECT_EQ(status(b, a), 401);
  EXPECT_EQ(status(b, b), 200);
  ASSERT_EQ(revoke({"--user", "operator"}), 0);
  EXPECT_EQ(status(b, b), 401);
  EXPECT_EQ(revoke({"not-an-id"}), 2);
}

TEST_F(DevServiceTest, TheLogHoldsNoSignatureSessionOrVerifier) {
  ServiceProcess s(root.path(), {"--log"});
  ASSERT_TRUE(s.ready());
  auto c = s.client();
  std::string url = urlFor(s, "mirror/a.txt");
  ASSERT_EQ(c->Get(url.substr(s.url().size()))->status, 200);
  const std::string verifier(64, 'c');
  const std::string session = devservice::SignInDesk::sessionOf(verifier);
  c->Get("/signin?session=" + session);
  c->Get("/signin/token?verifier=" + verifier);
  s.stop();
  EXPECT_NE(s.errors().find("/objects?"), std::string::npos) << s.errors();
  EXPECT_EQ(s.errors().find(url.substr(url.find("sig=") + 4)), std::string::npos) << s.errors();
  EXPECT_EQ(s.errors().find(session), std::string::npos);
  EXPECT_EQ(s.errors().find(verifier), std::string::npos);
}

TEST_F(DevServiceTest, PlainHttpOnLoopbackOnlyAndHelpDocumentsTheOptions) {
  ServiceProcess plain(root.path(), {}, false);
  ASSERT_TRUE(plain.ready());
  EXPECT_TRUE(plain.url().starts_with("http://127.0.0.1:"));
  EXPECT_EQ(plain.authorizedGet("/storage/list?prefix=mirror/&delimiter=/")->status, 200);
  EXPECT_EQ(plain.stop().exitCode, 0);

  auto refused = runProcess(
      {devServiceBinary(), "--root", root.path().string(), "--plain", "--host", "0.0.0.0"});
  EXPECT_EQ(refused.exitCode, 2);
  EXPECT_NE(refused.err.find("loopback"), std::string::npos);
  auto open = runProcess({devServiceBinary(), "--root", root.path().string(), "--host", "0.0.0.0"});
  EXPECT_EQ(open.exitCode, 2);
  EXPECT_NE(open.err.find("--users"), std::string::npos);
  auto help = runProcess({devServiceBinary(), "--help"});
  EXPECT_EQ(help.exitCode, 0);
  for (const char* option :
       {"--root", "--state", "--port", "--plain", "--page-size", "--issue-token", "--latency-ms",
        "--fail-share", "--truncate-share", "--drop-share", "--malformed-share", "--object-rate",
        "--ignore-ranges", "--users", "--token-lifetime", "adduser", "revoke"}) {
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
  }
  EXPECT_EQ(runProcess({devServiceBinary(), "--root", root.path().string(), "--bogus"}).exitCode,
            2);
  EXPECT_EQ(runProcess({devServiceBinary(), "--root", root.path().string(), "--object-rate", "0"})
                .exitCode,
            2);
  EXPECT_EQ(runProcess({devServiceBinary(), "--root", (root.path() / "none").string()}).exitCode,
            1);
}

TEST_F(DevServiceTest, InstancesServeOneSharedCertificate) {
  ServiceProcess first(root.path());
  ASSERT_TRUE(first.ready());
  ServiceProcess second(root.path(), {"--tls-cert", first.caFile().string(), "--tls-key",
                                      (first.stateFolder() / "key.pem").string()});
  ASSERT_TRUE(second.ready());
  // A client that trusts the first instance's certificate trusts the second.
  httplib::Client client(second.url());
  client.set_ca_cert_path(first.caFile().c_str());
  client.enable_server_certificate_verification(true);
  auto res =
      client.Get("/storage/list?prefix=mirror/", {{"Authorization", "Bearer " + second.token()}});
  ASSERT_TRUE(res) << httplib::to_string(res.error());
  EXPECT_EQ(res->status, 200);
  EXPECT_FALSE(std::filesystem::exists(second.caFile()));
  EXPECT_EQ(runProcess({devServiceBinary(), "--root", root.path().string(), "--tls-cert",
                        first.caFile().string()})
                .exitCode,
            2);
}

TEST_F(DevServiceTest, NumericOptionsBeyondTheirRangeAreRefusedNotWrapped) {
  // Values that wrap to usable ones when narrowed to 32 bits: 0 workers, 301 s.
  for (auto [option, value] : {std::pair{"--threads", "4294967296"},
                               {"--url-lifetime", "4294967597"},
                               {"--port", "4294967297"},
                               {"--page-size", "-1"},
                               {"--latency-ms", "18446744073709551616"}}) {
    auto refused = runProcess({devServiceBinary(), "--root", root.path().string(), "--plain",
                               "--port", "1", option, value},
                              {}, std::chrono::seconds(5));
    EXPECT_EQ(refused.exitCode, 2) << option;
    EXPECT_NE(refused.err.find(std::string(option) + " is "), std::string::npos) << refused.err;
  }
}

}  // namespace
}  // namespace lumora::testing
