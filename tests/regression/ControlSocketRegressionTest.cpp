// The control socket's framing, replayed on the fuzz seeds and findings
// against a live server.
#include <gtest/gtest.h>

#include "fuzz/checks/ControlSocketCheck.h"
#include "tests/fixtures/TempHome.h"
#include "tests/regression/Inputs.h"

namespace lumora::fuzz {
namespace {

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
