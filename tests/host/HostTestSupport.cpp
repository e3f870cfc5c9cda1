#include "tests/host/HostTestSupport.h"

#include <QObject>
#include <QTimer>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace lumora::testing {
namespace fs = std::filesystem;

QCoreApplication& qtApp() {
  static int argc = 1;
  static char name[] = "host-tests";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app = new QCoreApplication(argc, argv);
  return *app;
}

fs::path writeScript(const fs::path& path, const std::string& body) {
  fs::create_directories(path.parent_path());
  {
    std::ofstream out(path, std::ios::trunc);
    out << "#!/bin/sh\n" << body << "\n";
  }
  fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
  return path;
}

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::vector<std::string> lines(const fs::path& path) {
  std::vector<std::string> result;
  std::istringstream in(slurp(path));
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

std::vector<std::string> environmentNow() {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) entries.emplace_back(*entry);
  return entries;
}

host::Timing RecordingClock::timing() {
  host::Timing timing;
  timing.sleep = [this](std::chrono::nanoseconds duration) {
    std::lock_guard lock(mutex_);
    sleeps_.push_back(duration);
  };
  timing.pause = [this](QObject* context, std::chrono::nanoseconds duration,
                        std::function<void()> then) {
    {
      std::lock_guard lock(mutex_);
      pauses_.push_back(duration);
    }
    QTimer::singleShot(0, context, std::move(then));
  };
  return timing;
}

std::vector<std::chrono::nanoseconds> RecordingClock::sleeps() const {
  std::lock_guard lock(mutex_);
  return sleeps_;
}

std::vector<std::chrono::nanoseconds> RecordingClock::pauses() const {
  std::lock_guard lock(mutex_);
  return pauses_;
}

HostFixture::HostFixture() {
  qtApp();
  const char* path = std::getenv("PATH");
  savedPath_ = path ? path : "/usr/bin:/bin";
  fs::create_directories(binDir());
  ::setenv("PATH", (binDir().string() + ":" + savedPath_).c_str(), 1);
  // The tools' log lives outside the home so that home paths with odd
  // characters do not reach the scripts' own quoting.
  ::setenv("LUMORA_TEST_LOG", log().c_str(), 1);
}

HostFixture::~HostFixture() {
  ::setenv("PATH", savedPath_.c_str(), 1);
  ::unsetenv("LUMORA_TEST_LOG");
}

host::HostEnvironment HostFixture::environment(RecordingClock& clock) const {
  host::HostEnvironment environment;
  environment.runner = host::CommandRunner(home(), host::CommandRunner::defaultShell());
  environment.runner.setEnvironment(environmentNow());
  environment.timing = clock.timing();
  return environment;
}

}  // namespace lumora::testing
