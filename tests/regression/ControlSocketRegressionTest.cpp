// The control requests, replayed on the fuzz seeds and findings: through the
// parser, and against a live server.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace lumora::fuzz
