// The control requests, replayed on the fuzz seeds and findings: through the
// parser, and against a live server.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <vector>

#include "fuzz/checks/ControlSocketCheck.h"
#include "tests/fixtures/TempHome.h"
#include "tests/regression/Inputs.h"

namespace lumora::fuzz {
namespace {

TEST(ControlSocketRegression, Parser) {
  LUMORA_REPLAY("ControlSocketFuzz", checkControlRequest);
  for (size_t padding : {4000u, 4094u, 4095u, 4096u, 5000u}) {
    EXPECT_EQ(checkControlRequest(std::string(1, '\0') + std::string(padding, 'p') + "\n"), "");
  }
  EXPECT_EQ(fuse::parseControlRequest("signal a b/").container, "a b/");
  EXPECT_EQ(fuse::parseControlRequest("signal ").problem, "signal needs a container identifier");
  EXPECT_EQ(fuse::parseControlRequest("status ").kind, fuse::ControlRequest::Kind::invalid);
}

TEST(ControlSocketRegression, Framing) {
  lumora::testing::TempDir dir;
  ControlSocketHarness server(dir.path() / "sock" / "control.sock");
  ASSERT_TRUE(server.running());
  LUMORA_REPLAY("ControlSocketFuzz", [&](const std::string& input) { return server.check(input); });
  // Around the limit, where the server's reads decide.
  for (size_t padding : {4000u, 4094u, 4095u, 4200u, 5000u}) {
    EXPECT_EQ(server.check(std::string(1, '\0') + std::string(padding, 'p')), "") << padding;
    EXPECT_EQ(server.check(std::string(1, '\1') + std::string(padding, 'p') + "\n"), "") << padding;
  }
}

TEST(ControlSocketRegression, ADaemonThatAcceptsNothingHoldsNoClientPastItsBound) {
  lumora::testing::TempDir dir;
  auto path = dir.path() / "sock" / "control.sock";
  ASSERT_TRUE(fuse::prepareControlFolder(path).has_value());
  auto address = fuse::controlSocketAddress(path).value();
  int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 0), 0);
  std::vector<int> queued;  // fill its queue: a further connect waits
  for (int fd; (fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0)) >= 0;) {
    queued.push_back(fd);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) break;
  }
  auto asked = std::async(std::launch::async, [&] {
    return !fuse::controlSocketAccepts(path, std::chrono::milliseconds(100)) &&
           !fuse::sendControlRequest(path, "status", std::chrono::milliseconds(100));
  });
  // Without a bound the calls would wait for ever: accepting lets them end.
  bool ended = asked.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  while (asked.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) {
    ::close(::accept(listener, nullptr, nullptr));
  }
  EXPECT_TRUE(ended);
  EXPECT_TRUE(asked.get());
  for (int fd : queued) ::close(fd);
  ::close(listener);
}

}  // namespace
}  // namespace lumora::fuzz
