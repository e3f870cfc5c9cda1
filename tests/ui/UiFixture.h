#pragma once
// Shared pieces of the window tests: a temporary home with a fake
// command-line tool and a fake systemctl (shell scripts), host environments
// whose waits are driven by the test, and screenshots of the widget tree.

#include <QObject>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "host/core/system/HostEnvironment.h"
#include "tests/fixtures/TempHome.h"

namespace lumora::testing {

// A home with ~/.lumora/cli/bin/lumora: a script that records each call's
// words (one line per call in calls.log), lists the checkpoints written to
// snapshots.txt, and switches the features' marker files as the real tool
// does. A shell wrapper puts a fake systemctl first on PATH; its active units
// are the lines of units.txt.
class FakeTools {
 public:
  FakeTools();

  const TempHome& home() const { return home_; }
  std::filesystem::path path(const std::string& relative) const { return home_.home() / relative; }
  // The tool's recorded calls, one line each.
  std::vector<std::string> calls() const;
  void setSnapshots(const std::string& listing) const;
  void setActiveUnits(const std::string& units) const;
  // Makes the tool's "snapshot create" and "snapshot restore" fail (exit 3).
  void setFailing(bool failing) const;
  void writeToken(const std::string& token) const;
  // An environment running these tools, with the given waits.
  host::HostEnvironment environment(host::Timing timing) const;
  std::string shell() const;

 private:
  TempHome home_;
};

// A background wait that lasts until the test opens the gate.
class Gate {
 public:
  void open();
  void wait();

 private:
  std::mutex mutex_;
  std::condition_variable opened_;
  bool open_ = false;  // guarded by mutex_
};

// Waits that end at once (background sleeps) and pauses that run on the next
// turn of the event loop.
host::Timing instantTiming();
// Background sleeps that block on `gate`; pauses as in instantTiming.
host::Timing gatedTiming(Gate& gate);
// Pauses are kept until the test runs them (`run` fires the oldest).
struct ManualPauses {
  std::vector<std::function<void()>> pending;
  host::Timing timing();
  bool runOne();
};

// Renders `widget` and saves it as <build>/screenshots/<name>.png; returns
// the image.
QImage saveScreenshot(QWidget& widget, const QString& name);

// The texts of visible labels under `root` that their widget cuts off: a
// line wider than the label, or a wrapped text taller than it. Labels that
// elide on purpose are left out.
QStringList clippedTexts(const QWidget& root);

// Alpha-weighted comparison of two colours' channels (0..255 each).
bool sameColor(const QColor& a, const QColor& b, int tolerance = 2);

}  // namespace lumora::testing
