// Thumbnailers told from other readers among real processes: by the
// executable a .thumbnailer file names, and by the sandbox that runs them.

#include "platform/fileprovider/linux/mount/ThumbnailReaders.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <fstream>

#include "tests/fixtures/TempHome.h"
#include "tests/fixtures/Wait.h"

namespace lumora::fuse {
namespace {

namespace fs = std::filesystem;

// Runs `command` under sh; its first line of output is the pid to look at.
struct Spawned {
  explicit Spawned(const std::string& command) : pipe(::popen(command.c_str(), "r")) {
    if (pipe && std::fscanf(pipe, "%d", &pid) != 1) pid = 0;
    // Looked at once it runs its own program, no longer the shell's fork.
    auto comm = "/proc/" + std::to_string(pid) + "/comm";
    testing::waitUntil([&] {
      std::string name;
      return !(std::ifstream(comm) >> name) || name != "sh";
    });
  }
  ~Spawned() {
    if (pid > 0) ::kill(pid, SIGKILL);
    if (pipe) ::pclose(pipe);
  }
  FILE* pipe;
  pid_t pid = 0;
};

TEST(ThumbnailReadersTest, ThumbnailersAreKnownByTheirExecutableAndTheirSandbox) {
  testing::TempDir dir;
  fs::create_directories(dir.path() / "thumbnailers");
  std::ofstream(dir.path() / "thumbnailers/peek.thumbnailer")
      << "[Thumbnailer Entry]\nExec=" << (dir.path() / "peek-a-boo-thumbnailer").string()
      << " -s %s %u %o\nMimeType=image/jpeg;\n";
  fs::copy_file("/bin/sleep", dir.path() / "peek-a-boo-thumbnailer");
  ThumbnailReaders readers({dir.path() / "thumbnailers"});

  Spawned named("exec 2>/dev/null; '" + (dir.path() / "peek-a-boo-thumbnailer").string() +
                "' 30 & echo $!");
  Spawned plain("exec 2>/dev/null; /bin/sleep 30 & echo $!");
  // Any program the factory's sandbox runs, whatever its name.
  Spawned sandboxed("sh -c '/bin/sleep 30 & echo $!; wait' /tmp/gnome-desktop-thumbnailer-Q7");
  ASSERT_GT(named.pid, 0);
  ASSERT_GT(plain.pid, 0);
  ASSERT_GT(sandboxed.pid, 0);
  EXPECT_TRUE(readers.isThumbnailer(named.pid));
  EXPECT_FALSE(readers.isThumbnailer(plain.pid));
  EXPECT_TRUE(readers.isThumbnailer(sandboxed.pid));
  EXPECT_FALSE(readers.isThumbnailer(::getpid()));
  EXPECT_FALSE(ThumbnailReaders(std::vector<fs::path>{}).isThumbnailer(named.pid));
}

TEST(ThumbnailReadersTest, AFailedThumbnailIsNamedByTheMd5OfTheEscapedUri) {
  EXPECT_EQ(failedThumbnailName("/tmp/a b;c=d&e+f,g@h:i!j$k'l(m)n*o~p#q?r%s[t]u{v}é"),
            "80506596aa9e913f8c9309fdb9cdd224.png");
}

}  // namespace
}  // namespace lumora::fuse
