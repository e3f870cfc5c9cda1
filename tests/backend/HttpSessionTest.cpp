// The session against a real local server: bodies, headers, failures as
// transfer errors, redirects, TLS and streaming into a descriptor.
#include "platform/foundation/HttpSession.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "tests/fixtures/LocalHttpServer.h"
#include "tests/fixtures/SilentHost.h"
#include "tests/fixtures/TempHome.h"

namespace lumora {
namespace {

using testing::LocalHttpServer;
using namespace std::chrono_literals;

TEST(HttpSession, YieldsStatusAndBodyOfAnyStatusAndSendsTheGivenHeaders) {
  LocalHttpServer server;
  server.reply("/ok", 200, "{\"a\":1}");
  server.reply("/empty", 204, "");
  server.reply("/broken", 500, "oops", "text/plain");
  HttpSession session;

  auto ok = session.get(server.url("/ok"), {{"X-One", "1"}, {"X-Two", "two"}}, 5s);
  ASSERT_TRUE(ok) << ok.error().description;
  EXPECT_EQ(ok->status, 200);
  EXPECT_EQ(ok->body, "{\"a\":1}");
  auto recorded = server.requestsTo("/ok").at(0);
  EXPECT_EQ(recorded.method, "GET");
  EXPECT_EQ(recorded.header("X-One"), "1");
  EXPECT_EQ(recorded.header("X-Two"), "two");

  auto empty = session.get(server.url("/empty"), {}, 5s);
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->status, 204);
  EXPECT_EQ(empty->body, "");

  auto broken = session.get(server.url("/broken"), {}, 5s);
  ASSERT_TRUE(broken);
  EXPECT_EQ(broken->status, 500);
  EXPECT_EQ(broken->body, "oops");
}

TEST(HttpSession, TimeoutAndRefusedConnectionAreDistinctTransferErrors) {
  LocalHttpServer server;
  server.get("/slow", [](const httplib::Request&, httplib::Response& res) {
    std::this_thread::sleep_for(400ms);
    res.set_content("late", "text/plain");
  });
  HttpSession session;
  auto slow = session.get(server.url("/slow"), {}, 100ms);
  ASSERT_FALSE(slow);
  EXPECT_EQ(slow.error().domain, kTransferErrorDomain);
  EXPECT_EQ(slow.error().code, static_cast<long>(TransferError::timedOut));
  EXPECT_FALSE(slow.error().description.empty());

  int closedPort = 0;
  {
    LocalHttpServer gone;
    closedPort = gone.port();
  }
  auto refused = session.get("http://127.0.0.1:" + std::to_string(closedPort) + "/", {}, 2s);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().domain, kTransferErrorDomain);
  EXPECT_EQ(refused.error().code, static_cast<long>(TransferError::couldNotConnect));
}

TEST(HttpSession, RedirectsKeepAuthorizationOnTheSameHostOnly) {
  LocalHttpServer api;
  LocalHttpServer elsewhere;
  elsewhere.reply("/target", 200, "from elsewhere", "text/plain");
  api.reply("/target", 200, "from api", "text/plain");
  api.get("/away", [&](const httplib::Request&, httplib::Response& res) {
    res.set_redirect(elsewhere.url("/target", "localhost"), 302);
  });
  api.get("/here", [](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("/target", 301);
  });
  HttpSession session;
  HttpHeaders auth{{"Authorization", "Bearer secret"}};

  auto away = session.get(api.url("/away"), auth, 5s);
  ASSERT_TRUE(away) << away.error().description;
  EXPECT_EQ(away->body, "from elsewhere");
  ASSERT_EQ(elsewhere.requestsTo("/target").size(), 1u);
  EXPECT_FALSE(elsewhere.requestsTo("/target")[0].header("Authorization"));
  EXPECT_EQ(api.requestsTo("/away").at(0).header("Authorization"), "Bearer secret");

  auto here = session.get(api.url("/here"), auth, 5s);
  ASSERT_TRUE(here);
  EXPECT_EQ(here->body, "from api");
  EXPECT_EQ(api.requestsTo("/target").at(0).header("Authorization"), "Bearer secret");
}

TEST(HttpSession, TrustsTheExtraCaAndRejectsAnUnknownOne) {
  LocalHttpServer server(LocalHttpServer::Scheme::https);
  server.reply("/secure", 200, "sealed", "text/plain");

  HttpSession trusting(HttpSession::Options{.extraCaFile = server.caFile()});
  auto ok = trusting.get(server.url("/secure"), {}, 5s);
  ASSERT_TRUE(ok) << ok.error().description;
  EXPECT_EQ(ok->body, "sealed");
  auto byName = trusting.get(server.url("/secure", "localhost"), {}, 5s);
  ASSERT_TRUE(byName) << byName.error().description;

  HttpSession systemOnly;
  auto rejected = systemOnly.get(server.url("/secure"), {}, 5s);
  ASSERT_FALSE(rejected);
  EXPECT_EQ(rejected.error().domain, kTransferErrorDomain);
  EXPECT_EQ(rejected.error().code, static_cast<long>(TransferError::tlsFailed));
}

TEST(HttpSession, StreamsBodiesIntoADescriptorAndReportsACutConnection) {
  LocalHttpServer server;
  constexpr uint64_t kSize = 5'000'000;
  server.get("/object", [](const httplib::Request&, httplib::Response& res) {
    LocalHttpServer::streamPattern(res, kSize);
  });
  server.get("/cut", [](const httplib::Request&, httplib::Response& res) {
    LocalHttpServer::streamPattern(res, kSize, kSize / 2);
  });
  testing::TempDir dir;
  HttpSession session;

  int fd = ::open((dir.path() / "whole").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  auto status = session.download(server.url("/object"), {}, fd);
  ::close(fd);
  ASSERT_TRUE(status) << status.error().description;
  EXPECT_EQ(*status, 200);
  std::ifstream in(dir.path() / "whole", std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_EQ(bytes.size(), kSize);
  size_t wrong = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    wrong += static_cast<unsigned char>(bytes[i]) != LocalHttpServer::patternByte(i);
  }
  EXPECT_EQ(wrong, 0u);

  fd = ::open((dir.path() / "cut").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
  auto cut = session.download(server.url("/cut"), {}, fd);
  ::close(fd);
  ASSERT_FALSE(cut);
  EXPECT_EQ(cut.error().domain, kTransferErrorDomain);
  EXPECT_EQ(cut.error().code, static_cast<long>(TransferError::connectionLost));
}

TEST(HttpSession, StreamsTheFinalHeadBeforeTheBodyAndStopsWhenTheReceiverSays) {
  LocalHttpServer server;
  constexpr uint64_t kSize = 4'000'000;
  server.get("/object", [](const httplib::Request&, httplib::Response& res) {
    res.set_header("ETag", "\"v7\"");
    LocalHttpServer::streamPattern(res, kSize);
  });
  server.get("/moved", [](const httplib::Request&, httplib::Response& res) {
    res.set_header("ETag", "\"redirect's own\"");
    res.set_redirect("/object", 302);
  });
  server.reply("/gone", 410, "");
  HttpSession session;

  std::vector<std::string> events;
  uint64_t received = 0;
  HttpStreamReceiver whole{[&](const HttpResponseHead& head) {
                             events.push_back("head " + std::to_string(head.status) + " " +
                                              head.header("etag").value_or("-"));
                             EXPECT_EQ(head.contentLength, kSize);
                             return true;
                           },
                           [&](const char* data, size_t size) {
                             if (received == 0) events.push_back("body");
                             for (size_t i = 0; i < size; ++i) {
                               EXPECT_EQ(static_cast<unsigned char>(data[i]),
                                         LocalHttpServer::patternByte(received + i));
                             }
                             received += size;
                             return true;
                           }};
  auto followed = session.stream(server.url("/moved"), {{"Range", "bytes=0-"}}, whole);
  ASSERT_TRUE(followed) << followed.error().description;
  EXPECT_FALSE(followed->stopped);
  EXPECT_EQ(events, (std::vector<std::string>{"head 206 \"v7\"", "body"}));
  EXPECT_EQ(received, kSize);
  EXPECT_EQ(server.requestsTo("/object").at(0).header("Range"), "bytes=0-");

  // Stopping is no failure, from the head or from the body.
  size_t bodyCalls = 0;
  auto refused = session.stream(server.url("/object"), {},
                                {[](const HttpResponseHead&) { return false; },
                                 [&](const char*, size_t) { return ++bodyCalls > 0; }});
  ASSERT_TRUE(refused);
  EXPECT_TRUE(refused->stopped);
  EXPECT_EQ(bodyCalls, 0u);
  auto cut = session.stream(server.url("/object"), {},
                            {{}, [&](const char*, size_t) { return ++bodyCalls < 2; }});
  ASSERT_TRUE(cut);
  EXPECT_TRUE(cut->stopped);
  EXPECT_EQ(bodyCalls, 2u);

  // A response without a body still hands its head over, once.
  int heads = 0;
  auto gone = session.stream(server.url("/gone"), {},
                             {[&](const HttpResponseHead& head) {
                                EXPECT_EQ(head.status, 410);
                                return ++heads > 0;
                              },
                              {}});
  ASSERT_TRUE(gone);
  EXPECT_EQ(heads, 1);
}

bool failedWith(const Result<HttpResponse>& r, TransferError code) {
  return !r && isTransferError(r.error(), code);
}

HttpSession::Options quickToGiveUp() {
  HttpSession::Options options;
  options.answerTimeout = 300ms;
  options.lowSpeedTime = 1s;
  return options;
}

TEST(HttpSession, AHostThatTakesTheConnectionButNeverAnswersTimesOutWithinTheAnswerTimeout) {
  testing::SilentHost silent;  // hangs up after 10 s, which a client must not wait for
  HttpSession::Options options;
  options.answerTimeout = 300ms;
  HttpSession session(options);
  // The whole exchange may take a minute; the answer may not.
  EXPECT_TRUE(failedWith(session.get(silent.url(), {}, 60s), TransferError::timedOut));
  auto streamed = session.stream(silent.url(), {}, {});
  ASSERT_FALSE(streamed);
  EXPECT_TRUE(isTransferError(streamed.error(), TransferError::timedOut));
}

TEST(HttpSession, ABodyThatTricklesIsCutAsAConnectionLost) {
  LocalHttpServer server;
  server.get("/trickle", [](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider("text/plain", [](size_t sent, httplib::DataSink& sink) {
      if (sent >= 40) {  // ends well, should the client not cut it
        sink.done();
        return true;
      }
      std::this_thread::sleep_for(100ms);
      return sink.write("x", 1);
    });
  });
  HttpSession session(quickToGiveUp());
  auto streamed =
      session.stream(server.url("/trickle"), {}, {{}, [](const char*, size_t) { return true; }});
  ASSERT_FALSE(streamed);
  EXPECT_TRUE(isTransferError(streamed.error(), TransferError::connectionLost))
      << streamed.error().description;
}

TEST(HttpSession, AResetDuringTheTlsHandshakeIsAConnectionLostNotARefusedCertificate) {
  testing::SilentHost resetting(testing::SilentHost::Mode::resetAfterHello);
  HttpSession session;
  EXPECT_TRUE(
      failedWith(session.get(resetting.url("https"), {}, 5s), TransferError::connectionLost));
}

TEST(HttpSession, RedirectsNeverDowngradeHttpsNorLeadFromAPublicHostToAnInternalOne) {
  LocalHttpServer secure(LocalHttpServer::Scheme::https);
  LocalHttpServer plain;
  plain.reply("/target", 200, "plain", "text/plain");
  secure.get("/down", [&](const httplib::Request&, httplib::Response& res) {
    res.set_redirect(plain.url("/target"), 302);
  });
  HttpSession::Options trusting{.extraCaFile = secure.caFile()};
  HttpSession session(trusting);
  EXPECT_TRUE(failedWith(session.get(secure.url("/down"), {}, 5s), TransferError::unsupportedUrl));
  EXPECT_EQ(plain.requestCount(), 0u);

  // 127.0.0.2 is the internal address here, where a test may only listen on
  // loopback: a redirect there from a public host is refused before any
  // request goes out; from an internal one (the service on the machine
  // itself) it is followed, into the silent host's time-out.
  testing::SilentHost inside(testing::SilentHost::Mode::silent, "127.0.0.2");
  plain.get("/in", [&](const httplib::Request&, httplib::Response& res) {
    res.set_redirect(inside.url(), 302);
  });
  HttpSession::Options fromPublic = quickToGiveUp();
  fromPublic.isInternal = [](std::string_view address) { return address == "127.0.0.2"; };
  EXPECT_TRUE(failedWith(HttpSession(fromPublic).get(plain.url("/in"), {}, 5s),
                         TransferError::unsupportedUrl));
  EXPECT_TRUE(failedWith(HttpSession(quickToGiveUp()).get(plain.url("/in"), {}, 5s),
                         TransferError::timedOut));

  EXPECT_TRUE(isInternalAddress("10.1.2.3"));
  EXPECT_TRUE(isInternalAddress("172.31.0.1"));
  EXPECT_TRUE(isInternalAddress("192.168.1.1"));
  EXPECT_TRUE(isInternalAddress("169.254.169.254"));
  EXPECT_TRUE(isInternalAddress("::1"));
  EXPECT_TRUE(isInternalAddress("fe80::1"));
  EXPECT_TRUE(isInternalAddress("fd00::1"));
  EXPECT_TRUE(isInternalAddress("::ffff:127.0.0.1"));
  EXPECT_FALSE(isInternalAddress("172.32.0.1"));
  EXPECT_FALSE(isInternalAddress("93.184.216.34"));
  EXPECT_FALSE(isInternalAddress("2606:4700::1"));
}

TEST(HttpSession, OnlyAbsoluteHttpUrlsAreFetchable) {
  EXPECT_TRUE(isFetchableUrl("https://storage.example/o?sig=a%2Fb"));
  EXPECT_TRUE(isFetchableUrl("http://127.0.0.1:8080/x"));
  EXPECT_FALSE(isFetchableUrl(""));
  EXPECT_FALSE(isFetchableUrl("not a url"));
  EXPECT_FALSE(isFetchableUrl("/relative/path"));
  EXPECT_FALSE(isFetchableUrl("file:///etc/passwd"));
  EXPECT_FALSE(isFetchableUrl("ftp://host/file"));
}

}  // namespace
}  // namespace lumora
