// The test server itself, driven by httplib's own client: later tests rely
// on what it records and on its streaming helpers.
#include "tests/fixtures/LocalHttpServer.h"

#include <gtest/gtest.h>

namespace lumora::testing {
namespace {

TEST(LocalHttpServer, RecordsQueryItemsInOrderAndHeaders) {
  LocalHttpServer server;
  server.reply("/echo", 201, "made");
  httplib::Client client(server.baseUrl());
  client.set_url_encode(false);  // send the query exactly as written
  auto res = client.Get("/echo?z=1&a=two%20words&a=x%2By+z&empty=", {{"X-Probe", "yes"}});
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 201);
  EXPECT_EQ(res->body, "made");
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  const RecordedRequest& r = requests[0];
  EXPECT_EQ(r.method, "GET");
  EXPECT_EQ(r.path, "/echo");
  EXPECT_EQ(r.rawQuery, "z=1&a=two%20words&a=x%2By+z&empty=");
  NameValues expected{{"z", "1"}, {"a", "two words"}, {"a", "x+y z"}, {"empty", ""}};
  EXPECT_EQ(r.query, expected);
  EXPECT_EQ(r.header("x-probe"), "yes");
  EXPECT_FALSE(r.header("REMOTE_ADDR"));
}

TEST(LocalHttpServer, CountsConnectionsAndStreamsPatterns) {
  LocalHttpServer server;
  server.get("/pattern", [](const httplib::Request&, httplib::Response& res) {
    LocalHttpServer::streamPattern(res, 1'000'000);
  });
  server.get("/cut", [](const httplib::Request&, httplib::Response& res) {
    LocalHttpServer::streamPattern(res, 1'000'000, 1000);
  });
  httplib::Client keepAlive(server.baseUrl());
  keepAlive.set_keep_alive(true);
  for (int i = 0; i < 3; ++i) {
    auto res = keepAlive.Get("/pattern");
    ASSERT_TRUE(res);
    ASSERT_EQ(res->body.size(), 1'000'000u);
    for (size_t at : {0ul, 4095ul, 4096ul, 999'999ul}) {
      EXPECT_EQ(static_cast<unsigned char>(res->body[at]), LocalHttpServer::patternByte(at));
    }
  }
  EXPECT_EQ(server.connectionCount(), 1u);
  httplib::Client other(server.baseUrl());
  EXPECT_FALSE(other.Get("/cut"));  // the connection dropped before the declared length
  EXPECT_EQ(server.connectionCount(), 2u);
  EXPECT_EQ(server.requestsTo("/pattern").size(), 3u);
}

TEST(LocalHttpServer, ServesHttpsWithAGeneratedCertificate) {
  LocalHttpServer server(LocalHttpServer::Scheme::https);
  server.reply("/secure", 200, "ok", "text/plain");
  httplib::SSLClient client("localhost", server.port());
  client.set_ca_cert_path(server.caFile().c_str());
  client.enable_server_certificate_verification(true);
  auto res = client.Get("/secure");
  ASSERT_TRUE(res) << httplib::to_string(res.error());
  EXPECT_EQ(res->body, "ok");
}

}  // namespace
}  // namespace lumora::testing
