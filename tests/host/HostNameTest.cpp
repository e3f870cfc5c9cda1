#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "platform/foundation/HostName.h"
#include "tests/fixtures/TempHome.h"

namespace lumora {
namespace {

std::string kernelHostName() {
  char name[256] = {};
  ::gethostname(name, sizeof name - 1);
  return name;
}

TEST(HostNameTest, PrettyHostNameWinsAndFallsBackToTheHostName) {
  testing::TempDir dir;
  auto info = dir.path() / "machine-info";
  {
    std::ofstream(info)
        << "# comment\nICON_NAME=computer-laptop\nPRETTY_HOSTNAME=\"Ada's \\\"Mac\\\"\"\n";
  }
  EXPECT_EQ(localizedHostName(info), "Ada's \"Mac\"");

  { std::ofstream(info) << "PRETTY_HOSTNAME=Plain name\n"; }
  EXPECT_EQ(localizedHostName(info), "Plain name");

  { std::ofstream(info) << "PRETTY_HOSTNAME=\n"; }
  EXPECT_EQ(localizedHostName(info), kernelHostName());

  EXPECT_EQ(localizedHostName(dir.path() / "missing"), kernelHostName());
}

}  // namespace
}  // namespace lumora
