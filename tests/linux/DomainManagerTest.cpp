// The domain manager starting, signalling and stopping real daemon processes
// that mount for real.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "platform/fileprovider/linux/Daemon.h"
#include "platform/fileprovider/linux/control/ControlSocket.h"
#include "platform/fileprovider/linux/control/LinuxDomainManager.h"
#include "platform/fileprovider/linux/control/MountTable.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Spawn.h"
#include "platform/foundation/UniqueFd.h"
#include "shared/Identifiers.h"
#include "tests/fixtures/Wait.h"
#include "tests/linux/MountedDomain.h"

namespace lumora::testing {
namespace {

namespace fs = std::filesystem;
using fileprovider::Domain;
using fileprovider::LinuxDomainManager;

std::optional<Error> await(const std::function<void(fileprovider::ErrorCompletion)>& call) {
  auto promise = std::make_shared<std::promise<std::optional<Error>>>();
  auto answer = promise->get_future();
  call([promise](std::optional<Error> error) { promise->set_value(std::move(error)); });
  if (answer.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
    return Error{"test", -1, "no completion within 30 s"};
  }
  return answer.get();
}

// The user's service manager, recording what it is asked: no user manager
// runs in a test machine.
class RecordedUnits final : public fileprovider::UserUnits {
 public:
  std::optional<Error> enableAndStart(const std::string& unit) override {
    calls.push_back("start " + unit);
    return std::nullopt;
  }
  std::optional<Error> stopAndDisable(const std::string& unit) override {
    calls.push_back("stop " + unit);
    next = {"inactive", "dead", ""};
    return std::nullopt;
  }
  fileprovider::UnitState state(const std::string&) override { return next; }
  std::vector<std::string> calls;
  fileprovider::UnitState next{"active", "running", ""};
};

class DomainManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fuseAvailable()) GTEST_SKIP() << "/dev/fuse is absent: FUSE mounts cannot be tested here";
    ::setenv("LUMORA_TEST_API_BASE", service.baseUrl().c_str(), 1);
    writeToken(service.token());
    service.setFile("mirror/docs/a.txt", "served a");
  }
  void TearDown() override {
    // No daemon and no mount may outlive the test, whatever it did.
    if (auto pid = LinuxDomainManager::daemonProcess(domain)) ::kill(*pid, SIGKILL);
    fuse::detachMount(mountpoint());
    fuse::detachMount(shown());
    ::unsetenv("LUMORA_TEST_API_BASE");
  }
  fs::path mountpoint() const { return LinuxDomainManager::hiddenMountpoint(domain); }
  fs::path shown() const { return paths::homeDirectory() / domain.displayName; }

  TempHome home;
  StorageService service;
  Domain domain{shared::kDomainIdentifier, shared::kDomainDisplayName};
  LinuxDomainManager manager{fs::path(LUMORA_TEST_DAEMON), std::chrono::seconds(10)};
};

TEST_F(DomainManagerTest, AddsSignalsAndRemovesADomain) {
  auto added = await([&](auto done) { manager.addDomain(domain, done); });
  ASSERT_FALSE(added.has_value()) << added->description;
  EXPECT_TRUE(fuse::isMountPoint(mountpoint()));
  EXPECT_EQ(readFile(shown() / "docs/a.txt").value_or("?"), "served a");
  auto pid = LinuxDomainManager::daemonProcess(domain);
  ASSERT_TRUE(pid.has_value());
  EXPECT_NE(*pid, ::getpid());

  // Adding a running domain keeps its daemon.
  EXPECT_FALSE(await([&](auto done) { manager.addDomain(domain, done); }).has_value());
  EXPECT_EQ(LinuxDomainManager::daemonProcess(domain), pid);

  auto handle = manager.managerForDomain(domain);
  ASSERT_NE(handle, nullptr);
  service.setFile("mirror/docs/new.txt", "new");
  auto signalled = await([&](auto done) {
    handle->signalEnumerator(fileprovider::kWorkingSetContainerItemIdentifier, done);
  });
  EXPECT_FALSE(signalled.has_value());
  EXPECT_EQ(readFile(mountpoint() / "docs/new.txt").value_or("?"), "new");

  fs::path store = paths::stateHome() / "lumora" / domain.identifier;
  EXPECT_TRUE(fs::exists(store / "items.sqlite"));
  auto removed = await([&](auto done) { manager.removeDomain(domain, done); });
  EXPECT_FALSE(removed.has_value()) << removed->description;
  fs::path cache = paths::cacheHome() / "lumora" / domain.identifier;
  EXPECT_FALSE(fs::exists(store));  // the item store and the cache go with the domain
  EXPECT_FALSE(fs::exists(cache));
  EXPECT_FALSE(fuse::isMountPoint(mountpoint()));
  EXPECT_FALSE(LinuxDomainManager::daemonProcess(domain).has_value());
  EXPECT_EQ(manager.managerForDomain(domain), nullptr);

  // Nothing runs any more: a File Provider error, which the host ignores;
  // what a daemon left behind goes all the same.
  fs::create_directories(store);
  fs::create_directories(cache);
  auto again = await([&](auto done) { manager.removeDomain(domain, done); });
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(again->domain, kFileProviderErrorDomain);
  EXPECT_FALSE(fs::exists(store) || fs::exists(cache));
}

// The mounts GLib's own volume monitor lists, as file managers show them
// (each with an eject button).
std::string listedVolumes() {
  FILE* output = ::popen("GIO_USE_VOLUME_MONITOR=unix gio mount -l 2>&1", "r");
  std::string said;
  for (char buffer[256]; output && std::fgets(buffer, sizeof buffer, output);) said += buffer;
  EXPECT_TRUE(output && ::pclose(output) == 0) << said;
  return said;
}

TEST_F(DomainManagerTest, TheMountIsNoVolumeOfTheDesktopAndIsSeenThroughALink) {
  // Hidden by its own dot folder, not the default data folder's.
  ::setenv("XDG_DATA_HOME", (home.home() / "data").c_str(), 1);
  writeToken(service.token());
  fs::create_directories(shown());  // an earlier version's empty mount point
  ASSERT_FALSE(manager.addDomainNow(domain).has_value());
  EXPECT_TRUE(fuse::isMountPoint(mountpoint()));
  EXPECT_EQ(fs::read_symlink(shown()), mountpoint());
  EXPECT_EQ(readFile(shown() / "docs/a.txt").value_or("?"), "served a");
  std::string volumes = listedVolumes();
  EXPECT_EQ(volumes.find(home.home().string()), std::string::npos) << volumes;
  // Removing it takes the link it made.
  ASSERT_FALSE(manager.removeDomainNow(domain).has_value());
  EXPECT_FALSE(fs::exists(fs::symlink_status(shown())));

  // A file of the user's there is left as it is: no start, no volume.
  home.write(domain.displayName, "a file");
  EXPECT_TRUE(manager.addDomainNow(domain).has_value());
  EXPECT_EQ(readFile(shown()).value_or("?"), "a file");
  // A folder that holds files is mounted over as before (its files moved
  // aside), and the desktop lists it.
  fs::remove(shown());
  home.write(domain.displayName + "/notes.txt", "mine");
  ASSERT_FALSE(manager.addDomainNow(domain).has_value());
  EXPECT_TRUE(fuse::isMountPoint(shown()));
  EXPECT_NE(listedVolumes().find("file://" + shown().string()), std::string::npos);
  ASSERT_FALSE(manager.removeDomainNow(domain).has_value());
  EXPECT_TRUE(fs::is_directory(fs::symlink_status(shown())));
  // A name that leads out of the home folder makes nothing there.
  EXPECT_TRUE(manager.addDomainNow({domain.identifier, "../Out"}).has_value());
  EXPECT_FALSE(fs::exists(fs::symlink_status(home.root() / "Out")));
}

TEST_F(DomainManagerTest, AKilledDaemonLeavesTheMountPointUsableAtOnce) {
  ASSERT_FALSE(manager.addDomainNow(domain).has_value());  // not watched
  auto pid = LinuxDomainManager::daemonProcess(domain);
  ASSERT_TRUE(pid.has_value());
  ASSERT_EQ(::kill(*pid, SIGKILL), 0);
  // The mount goes with its daemon: the folder is a plain one again, never
  // "Transport endpoint is not connected". fusermount3 takes it away, which
  // under a sanitizer on a busy machine can take a few seconds.
  EXPECT_TRUE(
      waitUntil([&] { return !fuse::isMountPoint(mountpoint()); }, std::chrono::seconds(10)));
  struct stat st {};
  EXPECT_EQ(::stat(mountpoint().c_str(), &st), 0) << std::strerror(errno);
  EXPECT_FALSE(LinuxDomainManager::daemonAlive(domain));
  // Saved there meanwhile: the next mount must not hide it.
  std::ofstream(shown() / "saved.txt") << "mine";

  auto added = await([&](auto done) { manager.addDomain(domain, done); });
  ASSERT_FALSE(added.has_value()) << added->description;
  EXPECT_EQ(readFile(mountpoint() / "docs/a.txt").value_or("?"), "served a");
  std::ifstream logFile(paths::cacheHome() / "lumora" / (domain.identifier + ".log"));
  std::string log((std::istreambuf_iterator<char>(logFile)), {});
  auto at = log.find(" are now in ");
  ASSERT_NE(at, std::string::npos) << log;
  fs::path aside = log.substr(at + 12, log.find('\n', at) - at - 12);
  EXPECT_EQ(aside.parent_path(), shown().parent_path());  // where the user looks
  EXPECT_EQ(readFile(aside / "saved.txt").value_or("?"), "mine");
}

TEST_F(DomainManagerTest, ADaemonStartedUnderALowLimitKeepsFewDescriptorsWhateverItCaches) {
  for (int i = 0; i < 600; ++i) service.setFile("mirror/many/f" + std::to_string(i), "x");
  struct rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  struct rlimit low = saved;
  low.rlim_cur = std::min<rlim_t>(256, saved.rlim_cur);
  ::setrlimit(RLIMIT_NOFILE, &low);  // the session's, as the daemon inherits it
  auto started = manager.addDomainNow(domain);
  ::setrlimit(RLIMIT_NOFILE, &saved);
  ASSERT_FALSE(started.has_value()) << started->description;
  auto pid = LinuxDomainManager::daemonProcess(domain);
  ASSERT_TRUE(pid.has_value());
  int unread = 0;
  for (int i = 0; i < 600; ++i) {
    unread += readFile(mountpoint() / ("many/f" + std::to_string(i))).value_or("?") != "x";
  }
  EXPECT_EQ(unread, 0);
  size_t descriptors = 0;
  for ([[maybe_unused]] const auto& fd :
       fs::directory_iterator("/proc/" + std::to_string(*pid) + "/fd")) {
    ++descriptors;
  }
  EXPECT_LE(descriptors, 128u);
  // It took the hard limit as its soft one.
  std::ifstream limits("/proc/" + std::to_string(*pid) + "/limits");
  std::string line;
  while (std::getline(limits, line) && !line.starts_with("Max open files")) {
  }
  std::istringstream fields(line.substr(std::string("Max open files").size()));
  std::string soft, hard;
  fields >> soft >> hard;
  EXPECT_EQ(soft, hard);
}

TEST_F(DomainManagerTest, ADaemonThatDiedIsStartedAgainWhileTheManagerRuns) {
  LinuxDomainManager watching{fs::path(LUMORA_TEST_DAEMON), std::chrono::seconds(10),
                              std::chrono::milliseconds(100)};
  ASSERT_FALSE(await([&](auto done) { watching.addDomain(domain, done); }).has_value());
  auto pid = LinuxDomainManager::daemonProcess(domain);
  ASSERT_TRUE(pid.has_value());
  ASSERT_EQ(::kill(*pid, SIGKILL), 0);
  EXPECT_TRUE(waitUntil(
      [&] {
        auto now = LinuxDomainManager::daemonProcess(domain);
        return now && *now != *pid;
      },
      std::chrono::seconds(10)));
  EXPECT_EQ(readFile(mountpoint() / "docs/a.txt").value_or("?"), "served a");

  // Removed, it stays removed.
  ASSERT_FALSE(await([&](auto done) { watching.removeDomain(domain, done); }).has_value());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // three rounds of the watch
  EXPECT_FALSE(LinuxDomainManager::daemonAlive(domain));
  EXPECT_FALSE(fuse::isMountPoint(mountpoint()));
}

TEST_F(DomainManagerTest, AMountTheUserUnmountedStaysUnmountedUntilTheNextConnect) {
  LinuxDomainManager watching{fs::path(LUMORA_TEST_DAEMON), std::chrono::seconds(10),
                              std::chrono::milliseconds(100)};
  // As the user does; busy while something (the kernel's first look) is in it.
  auto unmount = [&] {
    return waitUntil(
        [&] { return std::system(("fusermount3 -u -q " + mountpoint().string()).c_str()) == 0; },
        std::chrono::seconds(5));
  };
  ASSERT_FALSE(await([&](auto done) { watching.addDomain(domain, done); }).has_value());
  ASSERT_TRUE(unmount());
  ASSERT_TRUE(
      waitUntil([&] { return !LinuxDomainManager::daemonAlive(domain); }, std::chrono::seconds(5)));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // three rounds of the watch
  EXPECT_FALSE(LinuxDomainManager::daemonAlive(domain));
  EXPECT_FALSE(fuse::isMountPoint(mountpoint()));

  ASSERT_FALSE(await([&](auto done) { watching.addDomain(domain, done); }).has_value());
  EXPECT_EQ(readFile(mountpoint() / "docs/a.txt").value_or("?"), "served a");
  ASSERT_FALSE(watching.removeDomainNow(domain).has_value());
  // As the service manager runs it: ready once the mount answers, and not
  // failed (so not restarted) when the user unmounts it.
  fs::path notifyPath = home.home() / "notify";
  UniqueFd notify(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{AF_UNIX, {}};
  std::strncpy(address.sun_path, notifyPath.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(notify.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  timeval patience{10, 0};
  ::setsockopt(notify.get(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  ::setenv("NOTIFY_SOCKET", notifyPath.c_str(), 1);
  auto foreground = std::async(std::launch::async, [&] {
    return std::system((std::string(LUMORA_TEST_DAEMON) + " --foreground --domain " +
                        domain.identifier + " --display-name " + domain.displayName +
                        " --mountpoint " + mountpoint().string() + " --shown-at ''")
                           .c_str());
  });
  char said[512] = {};
  ASSERT_GT(::recv(notify.get(), said, sizeof said - 1, 0), 0);
  ::unsetenv("NOTIFY_SOCKET");
  EXPECT_TRUE(std::string_view(said).starts_with("READY=1")) << said;
  EXPECT_EQ(readFile(mountpoint() / "docs/a.txt").value_or("?"), "served a");
  ASSERT_TRUE(unmount());
  EXPECT_EQ(foreground.get(), 0);
}

TEST_F(DomainManagerTest, TheUserUnitVerifies) {
  std::ifstream in(LUMORA_UNIT_TEMPLATE);
  std::string unit((std::istreambuf_iterator<char>(in)), {});
  unit.replace(unit.find("@LUMORA_DAEMON@"), 15, LUMORA_TEST_DAEMON);
  fs::path file = home.home() / ("lumora-fileprovider@" + domain.identifier + ".service");
  std::ofstream(file) << unit;
  // Any complaint, a warning too, is a failure: verify prints nothing then.
  std::string command = "XDG_RUNTIME_DIR=" + home.home().string() +
                        " systemd-analyze verify --user '" + file.string() + "' 2>&1";
  FILE* output = ::popen(command.c_str(), "r");
  ASSERT_NE(output, nullptr);
  std::string said;
  for (char buffer[256]; std::fgets(buffer, sizeof buffer, output);) said += buffer;
  EXPECT_EQ(::pclose(output), 0) << said;
  EXPECT_EQ(said, "");
}

TEST_F(DomainManagerTest, UnderAUserManagerTheDomainIsAnEnabledUnit) {
  // A user bus where no service manager answers: the detached daemon.
  const char* saved = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  std::optional<std::string> bus = saved ? std::optional<std::string>(saved) : std::nullopt;
  const std::string address = "unix:path=" + (home.home() / "bus").string();
  SpawnRequest busDaemon;
  busDaemon.argv = {"dbus-daemon", "--session", "--nofork", "--address=" + address};
  busDaemon.searchPath = true;
  auto busPid = spawnProcess(busDaemon);
  ASSERT_TRUE(busPid.has_value()) << busPid.error().description;
  EXPECT_TRUE(waitUntil([&] { return fs::exists(home.home() / "bus"); }, std::chrono::seconds(5)));
  ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
  EXPECT_EQ(fileprovider::systemdUserUnits(), nullptr);
  if (bus)
    ::setenv("DBUS_SESSION_BUS_ADDRESS", bus->c_str(), 1);
  else
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  ::kill(*busPid, SIGTERM);
  (void)waitForExit(*busPid);

  auto units = std::make_shared<RecordedUnits>();
  LinuxDomainManager managed{fs::path(LUMORA_TEST_DAEMON), std::chrono::seconds(10),
                             std::chrono::milliseconds(100), std::chrono::seconds(10), units};
  const std::string unit = "lumora-fileprovider@" + domain.identifier + ".service";
  ASSERT_FALSE(managed.addDomainNow(domain).has_value());
  EXPECT_EQ(units->calls, std::vector<std::string>{"start " + unit});
  EXPECT_FALSE(LinuxDomainManager::daemonAlive(domain));  // started by the service manager only
  EXPECT_NE(managed.managerForDomain(domain), nullptr);   // as the unit's state says
  fs::path environment = LinuxDomainManager::unitEnvironmentFile(domain);
  EXPECT_EQ(readFile(environment).value_or("?"),
            "LUMORA_DISPLAY_NAME=\"" + domain.displayName + "\"\nLUMORA_MOUNTPOINT=\"" +
                mountpoint().string() + "\"\nLUMORA_SHOWN_AT=\"" + shown().string() + "\"\n");

  units->next = {"activating", "auto-restart", "The mount point is in use"};
  auto failed = managed.addDomainNow(domain);
  ASSERT_TRUE(failed.has_value());
  EXPECT_EQ(failed->description, "The mount point is in use");  // the daemon's own reason

  units->next = {"active", "running", ""};
  fs::path store = paths::stateHome() / "lumora" / domain.identifier;
  fs::create_directories(store);
  EXPECT_FALSE(managed.removeDomainNow(domain).has_value());
  EXPECT_EQ(units->calls.back(), "stop " + unit);
  EXPECT_FALSE(fs::exists(environment) || fs::exists(store));
  EXPECT_EQ(managed.managerForDomain(domain), nullptr);
}

TEST_F(DomainManagerTest, ASecondDaemonForTheDomainExitsTouchingNothing) {
  ASSERT_FALSE(manager.addDomainNow(domain).has_value());
  auto first = LinuxDomainManager::daemonProcess(domain);
  ASSERT_TRUE(first.has_value());
  ASSERT_EQ(readFile(mountpoint() / "docs/a.txt").value_or("?"), "served a");
  // A download under way, as the first daemon holds it.
  fs::path partial = fuse::downloadsFolder(domain.identifier) / "partial";
  ASSERT_TRUE(fs::is_directory(partial.parent_path()));
  { std::ofstream(partial) << "half"; }
  size_t cached = 0;
  for (const auto& entry :
       fs::recursive_directory_iterator(fuse::contentCacheFolder(domain.identifier))) {
    cached += entry.is_regular_file();
  }

  std::string command = std::string(LUMORA_TEST_DAEMON) + " --domain " + domain.identifier +
                        " --display-name " + domain.displayName + " 2>/dev/null";
  auto started = std::chrono::steady_clock::now();
  int status = std::system(command.c_str());
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), fuse::kExitAlreadyServed);

  EXPECT_TRUE(fs::exists(partial));
  size_t after = 0;
  for (const auto& entry :
       fs::recursive_directory_iterator(fuse::contentCacheFolder(domain.identifier))) {
    after += entry.is_regular_file();
  }
  EXPECT_EQ(after, cached);
  EXPECT_EQ(LinuxDomainManager::daemonProcess(domain), first);
  EXPECT_EQ(readFile(mountpoint() / "docs/a.txt").value_or("?"), "served a");
  // The domain manager takes the second start for what it is: served.
  EXPECT_FALSE(manager.addDomainNow(domain).has_value());
  // What an earlier run left in the downloads goes with the next start.
  ASSERT_FALSE(manager.removeDomainNow(domain).has_value());
  ASSERT_FALSE(manager.addDomainNow(domain).has_value());
  EXPECT_FALSE(fs::exists(partial));
}

TEST_F(DomainManagerTest, ADaemonThatCannotMountReportsItsOwnReason) {
  // Something else is mounted at the mount point.
  fs::create_directories(shown());
  if (::mount("tmpfs", shown().c_str(), "tmpfs", 0, "size=1m") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here to occupy the mount point";
  }
  auto added = await([&](auto done) { manager.addDomain(domain, done); });
  ::umount2(shown().c_str(), MNT_DETACH);
  ASSERT_TRUE(added.has_value());
  EXPECT_NE(added->domain, kFileProviderErrorDomain);
  EXPECT_NE(added->description.find("already in use"), std::string::npos) << added->description;
  EXPECT_FALSE(LinuxDomainManager::daemonProcess(domain).has_value());
}

TEST_F(DomainManagerTest, ADaemonThatCannotBeStartedIsAnErrorOfItsOwn) {
  LinuxDomainManager missing{home.root() / "no-such-daemon"};
  auto added = await([&](auto done) { missing.addDomain(domain, done); });
  ASSERT_TRUE(added.has_value());
  EXPECT_NE(added->domain, kFileProviderErrorDomain);
  EXPECT_FALSE(added->description.empty());
}

TEST_F(DomainManagerTest, ADaemonThatNeverSaysHowItsStartWentHoldsNeitherACallerNorTheQuit) {
  fs::path silent = home.root() / "silent-daemon";  // exits "started" after 5 s
  std::ofstream(silent) << "#!/bin/sh\nexec sleep 5\n";
  fs::permissions(silent, fs::perms::owner_all);
  LinuxDomainManager bounded{silent, std::chrono::seconds(10), std::chrono::seconds(1),
                             std::chrono::milliseconds(200)};
  auto added = bounded.addDomainNow(domain);
  ASSERT_TRUE(added.has_value());
  EXPECT_EQ(added->code, ETIMEDOUT);
  // Quitting ends a start under way, whatever its bound.
  auto quitting = std::make_unique<LinuxDomainManager>(silent);
  auto promise = std::make_shared<std::promise<std::optional<Error>>>();
  quitting->addDomain(domain, [promise](auto error) { promise->set_value(std::move(error)); });
  quitting.reset();
  auto ended = promise->get_future().get();
  ASSERT_TRUE(ended.has_value());
  EXPECT_EQ(ended->code, ETIMEDOUT);
}

}  // namespace
}  // namespace lumora::testing
