#include "platform/foundation/SharedDefaults.h"

#include <sys/stat.h>

#include <fstream>

#include <gtest/gtest.h>

#include "platform/foundation/Paths.h"
#include "tests/fixtures/TempHome.h"

namespace lumora {
namespace {
namespace fs = std::filesystem;

TEST(SharedDefaults, StoresStringsBesideOtherKeysWithPrivateMode) {
  testing::TempHome home;
  auto defaults = SharedDefaults::forSuite("group.test");
  EXPECT_EQ(defaults.file(), home.home() / ".config/group.test/defaults.json");
  EXPECT_FALSE(defaults.stringForKey("a"));

  ASSERT_TRUE(defaults.setString("a", "one"));
  ASSERT_TRUE(defaults.setString("b", "two "));
  ASSERT_TRUE(defaults.setString("a", "three"));
  EXPECT_EQ(defaults.stringForKey("a"), "three");
  EXPECT_EQ(defaults.stringForKey("b"), "two ");

  struct stat info {};
  ASSERT_EQ(::stat(defaults.file().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST(SharedDefaults, CorruptOrForeignFilesReadAsEmptyAndAreRepaired) {
  testing::TempHome home;
  auto defaults = SharedDefaults::forSuite("group.test");
  fs::create_directories(defaults.file().parent_path());
  for (const char* contents : {"{not json", "[1,2]", "\xFF\xFE", "{\"a\": 5}", ""}) {
    std::ofstream(defaults.file(), std::ios::trunc) << contents;
    EXPECT_FALSE(defaults.stringForKey("a")) << contents;
  }
  ASSERT_TRUE(defaults.setString("a", "fresh"));
  EXPECT_EQ(defaults.stringForKey("a"), "fresh");
}

TEST(Paths, AppGroupContainerIsCreatedPrivate) {
  testing::TempHome home;
  auto dir = paths::appGroupContainer("group.test");
  ASSERT_TRUE(dir);
  EXPECT_EQ(*dir, home.home() / ".local/share/group.test");
  struct stat info {};
  ASSERT_EQ(::stat(dir->c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);

  // A file in the way means there is no container.
  std::ofstream(home.home() / ".local/share/blocked") << "x";
  EXPECT_FALSE(paths::appGroupContainer("blocked"));
}

}  // namespace
}  // namespace lumora
