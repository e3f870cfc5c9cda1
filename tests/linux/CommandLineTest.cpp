#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "platform/fileprovider/linux/Daemon.h"
#include "platform/fileprovider/linux/base/Log.h"
#include "platform/fileprovider/linux/control/ControlSocket.h"
#include "tests/fixtures/TempHome.h"

namespace lumora::fuse {
namespace {

namespace fs = std::filesystem;

TEST(CommandLineTest, TakesTheDomainAndDefaultsTheMountPointToTheHome) {
  testing::TempHome home;
  auto options =
      parseCommandLine({"--domain", "com.lumora.desktop.default", "--display-name", "Lumora"});
  ASSERT_TRUE(options.has_value()) << options.error().description;
  EXPECT_EQ(options->domain.identifier, "com.lumora.desktop.default");
  EXPECT_EQ(options->domain.displayName, "Lumora");
  EXPECT_EQ(options->mountpoint, home.home() / "Lumora");
  EXPECT_FALSE(options->foreground);

  auto explicitMount = parseCommandLine(
      {"--foreground", "--display-name", "L", "--mountpoint", "/tmp/x", "--domain", "d"});
  ASSERT_TRUE(explicitMount.has_value());
  EXPECT_TRUE(explicitMount->foreground);
  EXPECT_EQ(explicitMount->mountpoint, "/tmp/x");
}

TEST(CommandLineTest, TheDetachedLogKeepsTwoBoundedFiles) {
  testing::TempHome home;
  auto file = home.home() / "d.log";
  // In a child: the log takes over standard error.
  pid_t child = ::fork();
  if (child == 0) {
    if (!logToFile(file, 4096)) ::_exit(1);
    for (int i = 0; i < 300; ++i) log("line %d of a log that goes on and on", i);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_EQ(status, 0);
  auto older = fs::path(file.string() + ".1");
  EXPECT_LE(fs::file_size(file), 4096u);
  EXPECT_GE(fs::file_size(older), 4096u);
  EXPECT_LE(fs::file_size(older), 4096u + 128u);
  EXPECT_FALSE(fs::exists(file.string() + ".2"));
  std::ifstream latest(file);
  std::string text((std::istreambuf_iterator<char>(latest)), {});
  EXPECT_NE(text.find("line 299 "), std::string::npos);
}

TEST(CommandLineTest, RefusesMissingAndUnusableArguments) {
  EXPECT_FALSE(parseCommandLine({"--display-name", "Lumora"}).has_value());
  EXPECT_FALSE(parseCommandLine({"--domain", "d"}).has_value());
  EXPECT_FALSE(parseCommandLine({"--domain", "d", "--display-name"}).has_value());
  EXPECT_FALSE(parseCommandLine({"--domain", "../x", "--display-name", "L"}).has_value());
  EXPECT_FALSE(parseCommandLine({"--domain", "d", "--display-name", ".."}).has_value());
  auto unknown = parseCommandLine({"--domain", "d", "--display-name", "L", "--token", "t"});
  ASSERT_FALSE(unknown.has_value());
  EXPECT_NE(unknown.error().description.find("usage:"), std::string::npos);
}

TEST(CommandLineTest, TheCacheSizeComesFromTheFlagThenTheFileThenAShareOfTheDisk) {
  EXPECT_EQ(parseCacheSize("20G", 0), 20ULL << 30);
  EXPECT_EQ(parseCacheSize(" 1.5 GiB ", 0), 3ULL << 29);
  EXPECT_EQ(parseCacheSize("512mb", 0), 512ULL << 20);
  EXPECT_EQ(parseCacheSize("15%", 1000), 150u);
  for (const char* bad : {"", "G", "12X", "150%", "-3"}) EXPECT_FALSE(parseCacheSize(bad, 1000));
  std::vector<std::string> arguments{"--domain", "d", "--cache-size", "2G", "--display-name", "L"};
  auto flag = takeCacheSizeFlag(arguments);
  ASSERT_TRUE(flag.has_value());
  EXPECT_EQ(*flag, "2G");
  EXPECT_TRUE(parseCommandLine(arguments).has_value());
  std::vector<std::string> unusable{"--cache-size", "lots"};
  EXPECT_FALSE(takeCacheSizeFlag(unusable).has_value());

  testing::TempHome home;
  EXPECT_EQ(cacheSizeSetting(std::string("3M"), home.home()), 3u << 20);
  uint64_t byDefault = cacheSizeSetting(std::nullopt, home.home());
  EXPECT_GT(byDefault, 0u);
  EXPECT_LE(byDefault, kDefaultCacheCap);
  home.write(".config/lumora/fileprovider.conf", "cache-size = nonsense\ncache-size = 7M # mine\n");
  EXPECT_EQ(cacheSizeSetting(std::nullopt, home.home()), 7u << 20);
  EXPECT_EQ(cacheSizeSetting(std::string("3M"), home.home()), 3u << 20);
}

TEST(CommandLineTest, TheControlSocketLivesInAPrivateRuntimeFolder) {
  testing::TempHome home;
  auto path = controlSocketPath("com.lumora.desktop.default");
  EXPECT_EQ(path, home.root() / "runtime/lumora/com.lumora.desktop.default.sock");
  ASSERT_TRUE(prepareControlFolder(path).has_value());
  EXPECT_EQ(std::filesystem::status(path.parent_path()).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_all);
  ::unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(controlSocketPath("d"),
            std::filesystem::path("/tmp") / ("lumora-" + std::to_string(::getuid())) / "d.sock");
}

TEST(CommandLineTest, AControlServerAnswersAndASecondOneIsRefused) {
  testing::TempHome home;
  auto path = controlSocketPath("d");
  auto server = ControlServer::start(path, [](const std::string& r) { return "ok " + r; });
  ASSERT_TRUE(server.has_value()) << server.error().description;
  auto answer = sendControlRequest(path, "status", std::chrono::seconds(2));
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(*answer, "ok status");
  EXPECT_FALSE(ControlServer::start(path, [](const std::string&) { return "ok"; }).has_value());
  server->reset();
  EXPECT_FALSE(sendControlRequest(path, "status", std::chrono::seconds(1)).has_value());
}

TEST(CommandLineTest, TheSocketFolderMustBeTheUsersOwnWithMode0700) {
  testing::TempDir dir;
  auto socket = dir.path() / "lumora" / "d.sock";
  ASSERT_TRUE(prepareControlFolder(socket).has_value());
  EXPECT_TRUE(checkControlFolder(socket).has_value());
  // Open to others: neither end uses it, and the daemon does not widen or
  // narrow someone's folder for itself.
  ASSERT_EQ(::chmod(socket.parent_path().c_str(), 0755), 0);
  EXPECT_FALSE(checkControlFolder(socket).has_value());
  EXPECT_FALSE(prepareControlFolder(socket).has_value());
  EXPECT_FALSE(sendControlRequest(socket, "status", std::chrono::seconds(1)).has_value());
  ASSERT_EQ(::chmod(socket.parent_path().c_str(), 0700), 0);
  // A symlink to a private folder is not the folder.
  auto linked = dir.path() / "link" / "d.sock";
  std::filesystem::create_directory_symlink(socket.parent_path(), linked.parent_path());
  EXPECT_FALSE(checkControlFolder(linked).has_value());
  // Another user's folder, as one made first under /tmp would be.
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(socket.parent_path().c_str(), 65534, 65534), 0);
    EXPECT_FALSE(checkControlFolder(socket).has_value());
    EXPECT_FALSE(ControlServer::start(socket, [](const std::string&) { return "ok"; }));
  }
}

TEST(CommandLineTest, ASlowRequestHoldsUpNoOtherAndTheSocketStillAccepts) {
  testing::TempHome home;
  auto path = controlSocketPath("d");
  std::mutex mutex;
  std::condition_variable released;
  bool release = false;
  auto server = ControlServer::start(path, [&](const std::string& request) {
    if (request == "slow") {
      std::unique_lock lock(mutex);
      released.wait_for(lock, std::chrono::seconds(10), [&] { return release; });
    }
    return "ok " + request;
  });
  ASSERT_TRUE(server.has_value()) << server.error().description;
  auto slow = std::async(std::launch::async, [&] {
    return sendControlRequest(path, "slow", std::chrono::seconds(10));
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the slow one is being served
  EXPECT_TRUE(controlSocketAccepts(path));
  auto status = sendControlRequest(path, "status", std::chrono::seconds(2));
  ASSERT_TRUE(status.has_value()) << status.error().description;
  EXPECT_EQ(*status, "ok status");
  EXPECT_EQ(slow.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  {
    std::lock_guard lock(mutex);
    release = true;
  }
  released.notify_all();
  EXPECT_EQ(slow.get().value_or("?"), "ok slow");
  server->reset();
  EXPECT_FALSE(controlSocketAccepts(path));
}

// Runs `body` in a child process as the user "nobody"; its exit status.
template <class Body>
int asNobody(Body body) {
  pid_t child = ::fork();
  if (child == 0) {
    if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) _exit(100);
    _exit(body());
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(CommandLineTest, TheDaemonAnswersNoOtherUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  testing::TempDir dir;
  auto path = dir.path() / "lumora" / "d.sock";
  std::atomic<int> handled{0};
  auto server = ControlServer::start(path, [&](const std::string&) {
    ++handled;
    return std::string("ok mounted 1 /x");
  });
  ASSERT_TRUE(server.has_value()) << server.error().description;
  // Let the other user reach the socket at all; its credentials still differ.
  ::chmod(dir.path().c_str(), 0755);
  ::chmod(path.parent_path().c_str(), 0711);
  ::chmod(path.c_str(), 0777);
  auto address = controlSocketAddress(path).value();
  int got = asNobody([&] {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 101;
    (void)::send(fd, "status\n", 7, MSG_NOSIGNAL);  // may find the connection closed
    char buffer[64];
    return ::read(fd, buffer, sizeof buffer) > 0 ? 1 : 0;  // 0: closed unanswered
  });
  EXPECT_EQ(got, 0);
  EXPECT_EQ(handled.load(), 0);
}

TEST(CommandLineTest, AnotherUsersListenerIsNotTakenForTheDaemon) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  testing::TempDir dir;
  auto path = dir.path() / "lumora" / "d.sock";
  ASSERT_TRUE(prepareControlFolder(path).has_value());
  auto address = controlSocketAddress(path).value();
  int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  std::thread impostor([&] {
    asNobody([&] {
      // Listening as nobody: clients see nobody's credentials.
      if (::listen(listener, 4) != 0) return 1;
      (void)!::write(ready[1], "r", 1);
      int fd = ::accept(listener, nullptr, nullptr);
      (void)!::write(fd, "ok mounted 1 /x\n", 16);
      return 0;
    });
  });
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  EXPECT_FALSE(controlSocketAccepts(path));
  auto answer = sendControlRequest(path, "status", std::chrono::seconds(2));
  EXPECT_FALSE(answer.has_value());
  impostor.join();
  ::close(listener);
  ::close(ready[0]);
  ::close(ready[1]);
}

}  // namespace
}  // namespace lumora::fuse
