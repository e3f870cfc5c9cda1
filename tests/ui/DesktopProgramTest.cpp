// The real lumora-desktop under a private X server: a temporary home with a
// token and a fake tool, the status file it writes, the size of its window,
// and a second launch that hands over to the first and exits.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QProcess>
#include <QRegularExpression>
#include <QScreen>
#include <QThread>
#include <fstream>
#include <sstream>

#include "shared/Identifiers.h"
#include "tests/ui/UiFixture.h"

#ifdef LUMORA_FILEPROVIDER_EXE
#include "platform/fileprovider/linux/control/LinuxDomainManager.h"
#endif

namespace {

const char* kStatusFile = "/tmp/lumora-host-status.txt";

// Xvfb on a display it picks itself (-displayfd), killed at the end.
class PrivateXServer {
 public:
  PrivateXServer() {
    int fds[2];
    if (::pipe(fds) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(fds[0]);
      const std::string fd = std::to_string(fds[1]);
      ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x1024x24",
               "-nolisten", "tcp", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(fds[1]);
    char buffer[32] = {};
    ssize_t got = 0;
    while (got < static_cast<ssize_t>(sizeof buffer) - 1) {
      const ssize_t n = ::read(fds[0], buffer + got, sizeof buffer - 1 - got);
      if (n <= 0) break;
      got += n;
      if (buffer[got - 1] == '\n') break;
    }
    ::close(fds[0]);
    if (got > 0) display_ = ":" + std::string(buffer, std::strcspn(buffer, "\n"));
  }
  ~PrivateXServer() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  const std::string& display() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

// The window's id and width as the X server has them, once it is mapped.
struct XWindow {
  QString id;
  int width = 0;
  int height = 0;
};

std::optional<XWindow> findWindow(const QString& display, int timeoutMs) {
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < timeoutMs) {
    QProcess info;
    info.start(QStringLiteral("xwininfo"), {QStringLiteral("-display"), display,
                                            QStringLiteral("-name"), QStringLiteral("Lumora")});
    info.waitForFinished(5000);
    const QString out = QString::fromUtf8(info.readAllStandardOutput());
    const auto id = QRegularExpression(QStringLiteral("Window id: (0x[0-9a-f]+)")).match(out);
    const auto w = QRegularExpression(QStringLiteral("Width: (\\d+)")).match(out);
    const auto h = QRegularExpression(QStringLiteral("Height: (\\d+)")).match(out);
    const bool viewable = out.contains(QStringLiteral("IsViewable"));
    if (info.exitCode() == 0 && id.hasMatch() && w.hasMatch() && viewable) {
      return XWindow{id.captured(1), w.captured(1).toInt(), h.captured(1).toInt()};
    }
    QThread::msleep(100);
  }
  return std::nullopt;
}

// Whether `path` is a mount point of this mount namespace.
bool isMountPoint(const std::filesystem::path& path) {
  std::ifstream table("/proc/self/mountinfo");
  for (std::string line; std::getline(table, line);) {
    // Fields: id, parent id, major:minor, root, mount point, ...
    std::istringstream fields(line);
    std::string id, parent, device, root, mountPoint;
    fields >> id >> parent >> device >> root >> mountPoint;
    if (mountPoint == path.string()) return true;
  }
  return false;
}

#ifdef LUMORA_FILEPROVIDER_EXE
// Stops the daemon the program started for its domain, whatever the test's
// outcome, before the temporary home (and the mount in it) goes away.
class DomainCleanup {
 public:
  ~DomainCleanup() {
    const lumora::fileprovider::LinuxDomainManager manager{
        std::filesystem::path(LUMORA_FILEPROVIDER_EXE)};
    (void)manager.removeDomainNow(domain());
  }
  static lumora::fileprovider::Domain domain() {
    return {lumora::shared::kDomainIdentifier, lumora::shared::kDomainDisplayName};
  }
};
#endif

std::string readFile(const char* path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), {}};
}

TEST(DesktopProgramTest, ASignedInUserIsConnectedAtLaunchAndASecondLaunchHandsOver) {
  PrivateXServer xserver;
  ASSERT_FALSE(xserver.display().empty()) << "Xvfb did not start";
  const QString display = QString::fromStdString(xserver.display());

  lumora::testing::FakeTools tools;  // sets HOME and the XDG folders for children
  tools.writeToken("desktop-test-token\n");
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("DISPLAY"), display);
  env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
  env.remove(QStringLiteral("WAYLAND_DISPLAY"));
#ifdef LUMORA_FILEPROVIDER_EXE
  // Started from its build tree, the program finds the daemon built beside
  // it, with none on its PATH; a FUSE device is needed for the daemon to mount.
  const bool canMount = ::access("/dev/fuse", R_OK | W_OK) == 0;
  DomainCleanup cleanup;
  for (const QString& dir : env.value(QStringLiteral("PATH")).split(QLatin1Char(':'))) {
    ASSERT_FALSE(QFileInfo::exists(dir + QStringLiteral("/lumora-fileprovider")))
        << dir.toStdString();
  }
#else
  const bool canMount = false;
#endif

  const auto launched = std::filesystem::file_time_type::clock::now();
  QProcess program;
  program.setProcessEnvironment(env);
  program.setProgram(QStringLiteral(LUMORA_DESKTOP_EXE));
  program.start();
  ASSERT_TRUE(program.waitForStarted(5000));

  const auto window = findWindow(display, 20000);
  ASSERT_TRUE(window.has_value()) << "no window titled Lumora";
  EXPECT_EQ(window->width, 460);

  // The start-up check found the token and connected: the status file is new
  // and holds one of the outcomes, with no line break.
  QElapsedTimer clock;
  clock.start();
  std::error_code ec;
  while (clock.elapsed() < 20000 &&
         !(std::filesystem::exists(kStatusFile, ec) &&
           std::filesystem::last_write_time(kStatusFile, ec) >= launched)) {
    QThread::msleep(50);
  }
  ASSERT_GE(std::filesystem::last_write_time(kStatusFile, ec), launched)
      << "no status file written";
  const std::string status = readFile(kStatusFile);
  if (canMount) {
    // The domain is registered: its daemon runs and serves ~/Lumora.
    EXPECT_EQ(status, "Connected — Lumora is available in Finder.");
    // Mounted out of the desktop's volumes; ~/Lumora leads there.
    EXPECT_TRUE(isMountPoint(std::filesystem::weakly_canonical(tools.path("Lumora"))))
        << "no mount at ~/Lumora";
  } else {
    EXPECT_TRUE(status == "Connected — Lumora is available in Finder." ||
                status.starts_with("Domain registration failed: "))
        << status;
  }
  EXPECT_FALSE(status.ends_with("\n"));
  // The hand-off put the token into the app-group container.
  EXPECT_EQ(
      readFile((tools.path(".local/share/ZX4T7R2M8Q.group.com.lumora.desktop/auth-token")).c_str()),
      "desktop-test-token");

  // The program made itself a login item: the autostart entry starts it.
  const std::string autostart =
      readFile(tools.path(".config/autostart/com.lumora.desktop.desktop").c_str());
  EXPECT_NE(autostart.find("Exec="), std::string::npos) << autostart;
  EXPECT_NE(autostart.find(std::filesystem::canonical(LUMORA_DESKTOP_EXE).string()),
            std::string::npos)
      << autostart;

  // A screenshot of the window as the X server shows it.
  QThread::msleep(300);  // let the signed-in layout settle before grabbing
  const auto settled = findWindow(display, 5000);
  ASSERT_TRUE(settled.has_value());
  EXPECT_EQ(settled->width, 460);
  EXPECT_GT(settled->height, 400);  // the control plane, not the welcome screen
  {
    ::setenv("DISPLAY", xserver.display().c_str(), 1);
    static int argc = 3;
    static char arg0[] = "grab", arg1[] = "-platform", arg2[] = "xcb";
    static char* argv[] = {arg0, arg1, arg2, nullptr};
    QGuiApplication grabber(argc, argv);
    const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(
        static_cast<WId>(settled->id.toULongLong(nullptr, 16)));
    const QString folder = QStringLiteral(LUMORA_BINARY_DIR "/screenshots");
    QDir().mkpath(folder);
    ASSERT_TRUE(shot.save(folder + QStringLiteral("/desktop-program.png")));
    EXPECT_EQ(shot.width(), 460);
    EXPECT_EQ(QImage(folder + QStringLiteral("/desktop-program.png")).width(), 460);
  }

  // A second launch finds the first, asks it to come forward, and exits.
  QProcess second;
  second.setProcessEnvironment(env);
  second.start(QStringLiteral(LUMORA_DESKTOP_EXE));
  ASSERT_TRUE(second.waitForFinished(10000));
  EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(second.exitCode(), 0);
  EXPECT_EQ(program.state(), QProcess::Running);

  program.terminate();
  if (!program.waitForFinished(5000)) {
    program.kill();
    program.waitForFinished(2000);
  }
}

}  // namespace
