// Which daemon the window starts: laid out as installed, as built, and on
// PATH, in a temporary folder.
#include "host/ui/app/DaemonLocation.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/fixtures/TempHome.h"

namespace lumora::ui {
namespace {
namespace fs = std::filesystem;

class DaemonLocationTest : public ::testing::Test {
 protected:
  fs::path program(const fs::path& relative, fs::perms mode = fs::perms::owner_all) const {
    const fs::path file = dir.path() / relative;
    fs::create_directories(file.parent_path());
    std::ofstream(file) << "#!/bin/sh\n";
    fs::permissions(file, mode);
    return file;
  }
  DaemonSearch installedAt(const fs::path& prefix) const {
    DaemonSearch search;
    search.self = program(prefix / "bin/lumora-desktop");
    search.fromBinDir = "../libexec/lumora";
    return search;
  }
  testing::TempDir dir;
};

TEST_F(DaemonLocationTest, TheInstalledWindowFindsTheDaemonInLibexec) {
  DaemonSearch search = installedAt("usr");
  const fs::path daemon = program("usr/libexec/lumora/lumora-fileprovider");
  search.pathVariable = (dir.path() / "elsewhere").string();
  program("elsewhere/lumora-fileprovider");
  EXPECT_EQ(locateDaemon(search), daemon);
}

TEST_F(DaemonLocationTest, ABuildTreeWindowFindsItsOwnBuildsDaemon) {
  DaemonSearch search;
  search.self = program("build/host/ui/lumora-desktop");
  search.fromBinDir = "../libexec/lumora";
  search.buildTreeDir = dir.path() / "build/host/ui";
  search.buildTreeDaemon = program("build/daemon/lumora-fileprovider");
  program("build/host/libexec/lumora/lumora-fileprovider");
  EXPECT_EQ(locateDaemon(search), *search.buildTreeDaemon);

  // A copy of the same program installed elsewhere never reaches into the build.
  DaemonSearch installed = installedAt("opt/lumora");
  installed.buildTreeDir = search.buildTreeDir;
  installed.buildTreeDaemon = search.buildTreeDaemon;
  EXPECT_EQ(locateDaemon(installed), std::nullopt);
}

TEST_F(DaemonLocationTest, PathIsTheLastResortAndOnlyAbsoluteEntriesCount) {
  DaemonSearch search = installedAt("usr");
  program("usr/libexec/lumora/lumora-fileprovider", fs::perms::owner_read);  // not executable
  const fs::path onPath = program("tools/lumora-fileprovider");
  search.pathVariable =
      ":relative/dir:" + (dir.path() / "empty").string() + ":" + (dir.path() / "tools").string();
  EXPECT_EQ(locateDaemon(search), onPath);
  search.pathVariable = ":.";
  EXPECT_EQ(locateDaemon(search), std::nullopt);
}

TEST(DaemonLocationCurrentTest, ThisBuildsLayoutIsCompiledIn) {
  const DaemonSearch search = DaemonSearch::current();
  EXPECT_EQ(search.fromBinDir, fs::path("../libexec/lumora"));
  EXPECT_FALSE(search.self.empty());
}

}  // namespace
}  // namespace lumora::ui
