// Fault injection of the stand-in service, seen from a real client.

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>

#include "tests/tools/ServiceProcess.h"

namespace lumora::testing {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

class DevServiceFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(root.path() / "a.txt") << "hello";
    std::ofstream(root.path() / "big.bin", std::ios::binary) << std::string(1 << 20, 'b');
  }
  TempDir root;
  const std::string list = "/storage/list?prefix=mirror/&delimiter=/";
};

TEST_F(DevServiceFaultTest, AShareOfOneFailsEveryRequestInScope) {
  ServiceProcess s(root.path(), {"--fail-share", "1"});
  ASSERT_TRUE(s.ready());
  auto res = s.authorizedGet(list);
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 500);
  // Authorization is decided before any fault.
  EXPECT_EQ(s.client()->Get(list)->status, 401);
}

TEST_F(DevServiceFaultTest, MalformedJsonIsAnOkAnswerThatDoesNotParse) {
  ServiceProcess s(root.path(), {"--malformed-share", "1"});
  ASSERT_TRUE(s.ready());
  auto res = s.authorizedGet(list);
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_FALSE(res->body.empty());
  EXPECT_TRUE(json::parse(res->body, nullptr, false).is_discarded());
}

TEST_F(DevServiceFaultTest, TruncatedBodiesStopHalfwayAndDroppedConnectionsAnswerNothing) {
  ServiceProcess truncating(root.path(), {"--truncate-share", "1", "--fault-scope", "objects"});
  ASSERT_TRUE(truncating.ready());
  auto url = truncating.authorizedGet("/storage/download-url?key=mirror/big.bin");
  ASSERT_EQ(url->status, 200);  // the API is out of the fault scope
  std::string target =
      json::parse(url->body)["url"].get<std::string>().substr(truncating.url().size());
  std::size_t received = 0;
  auto res = truncating.client()->Get(target, [&](const char*, std::size_t n) {
    received += n;
    return true;
  });
  EXPECT_FALSE(res);  // the connection closed before the declared length
  EXPECT_EQ(received, std::size_t(1 << 19));

  ServiceProcess dropping(root.path(), {"--drop-share", "1", "--fault-scope", "api"});
  ASSERT_TRUE(dropping.ready());
  auto dropped = dropping.authorizedGet(list);
  EXPECT_FALSE(dropped);
  // Out of scope (no Authorization to decide on): the sign-in page answers.
  EXPECT_EQ(dropping.client()->Get("/signin?session=" + std::string(32, 'f'))->status, 200);
}

TEST_F(DevServiceFaultTest, SharesAreSeededAndLatencyDelaysAnswers) {
  auto pattern = [&](const std::string& seed) {
    ServiceProcess s(root.path(), {"--fail-share", "0.5", "--fault-seed", seed});
    std::string statuses;
    for (int i = 0; i < 40 && s.ready(); ++i) {
      auto res = s.authorizedGet(list);
      statuses += res && res->status == 500 ? 'x' : (res && res->status == 200 ? '.' : '?');
    }
    return statuses;
  };
  std::string first = pattern("7");
  ASSERT_EQ(first.size(), 40u);
  auto failures = std::count(first.begin(), first.end(), 'x');
  EXPECT_GT(failures, 5);
  EXPECT_LT(failures, 35);
  EXPECT_EQ(std::count(first.begin(), first.end(), '?'), 0);
  EXPECT_EQ(pattern("7"), first);
  EXPECT_NE(pattern("8"), first);

  ServiceProcess slow(root.path(), {"--latency-ms", "150"});
  ASSERT_TRUE(slow.ready());
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(slow.authorizedGet(list)->status, 200);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
}

}  // namespace
}  // namespace lumora::testing
