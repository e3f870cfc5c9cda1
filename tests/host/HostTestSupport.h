#pragma once
// Support for the host tests: a Qt event loop, fake tools written as shell
// scripts into a temporary home, and clocks that record waits instead of
// waiting.

#include <QCoreApplication>
#include <QTest>
#include <QTimer>

#include <fstream>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "host/core/system/HostEnvironment.h"
#include "tests/fixtures/TempHome.h"

namespace lumora::testing {

// The process's one QCoreApplication, made on first use.
QCoreApplication& qtApp();

// Runs the event loop until `done` holds or `seconds` pass; the result of `done`.
template <class Predicate>
bool eventually(Predicate done, int seconds = 20) {
  return QTest::qWaitFor(done, seconds * 1000);
}

// Writes an executable shell script (a "#!/bin/sh" line is added).
std::filesystem::path writeScript(const std::filesystem::path& path, const std::string& body);

// Reads a whole file; "" when missing.
std::string slurp(const std::filesystem::path& path);
// The file's lines, without their line breaks.
std::vector<std::string> lines(const std::filesystem::path& path);

// A copy of this process's environment. Runners in tests get one, so that
// their background spawns never read the environment that the next test's
// fixture changes.
std::vector<std::string> environmentNow();

// A clock that records every wait and returns at once (pauses fire from the
// event loop on its next turn). Safe to use from several threads.
class RecordingClock {
 public:
  host::Timing timing();
  std::vector<std::chrono::nanoseconds> sleeps() const;
  std::vector<std::chrono::nanoseconds> pauses() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::chrono::nanoseconds> sleeps_;  // protected by mutex_
  std::vector<std::chrono::nanoseconds> pauses_;  // protected by mutex_
};

// A temporary home with the fake tool's place and a fake bin folder first on
// PATH (for systemctl and launchctl), restored at the end.
class HostFixture {
 public:
  HostFixture();
  ~HostFixture();
  HostFixture(const HostFixture&) = delete;
  HostFixture& operator=(const HostFixture&) = delete;

  std::filesystem::path home() const { return temp.home(); }
  std::filesystem::path toolPath() const { return home() / ".lumora/cli/bin/lumora"; }
  std::filesystem::path binDir() const { return temp.root() / "bin"; }
  // A log file beside the home that the fake scripts append to.
  std::filesystem::path log() const { return temp.root() / "calls.log"; }
  // Writes the fake tool with `body` as its script.
  void writeTool(const std::string& body) const { writeScript(toolPath(), body); }
  // An environment over this home with the system shell, a copy of the
  // current environment and `clock`.
  host::HostEnvironment environment(RecordingClock& clock) const;

  TempHome temp;

 private:
  std::string savedPath_;
};

}  // namespace lumora::testing
