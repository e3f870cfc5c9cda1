#include "tests/ui/UiFixture.h"

#include <sys/stat.h>

#include <QDir>
#include <QFontMetrics>
#include <QImage>
#include <QLabel>
#include <QPointer>
#include <QTimer>
#include <fstream>
#include <sstream>

#include "host/ui/widgets/Style.h"

namespace lumora::testing {

namespace fs = std::filesystem;

namespace {

const char* kTool = R"(#!/bin/sh
# Fake command-line tool: records its words, then acts like the real one.
here="$HOME/.lumora"
printf '%s\n' "$*" >> "$here/calls.log"
case "$1 $2" in
  "login "*) exit 0 ;;
  "snapshot list")
    if [ -s "$here/snapshots.txt" ]; then cat "$here/snapshots.txt"; else echo "no snapshots yet"; fi ;;
  "snapshot create")
    [ -e "$here/failing" ] && exit 3
    echo "snap-new 2026-12-09T15:00 1.2G manual" >> "$here/snapshots.txt" ;;
  "snapshot restore")
    [ -e "$here/failing" ] && exit 3
    exit 0 ;;
  "swap enable") mkdir -p "$XDG_CONFIG_HOME/systemd/user" && : > "$XDG_CONFIG_HOME/systemd/user/com.lumora.swap.service" ;;
  "swap disable") rm -f "$XDG_CONFIG_HOME/systemd/user/com.lumora.swap.service" ;;
  "box start") mkdir -p "$here/box" && echo '{}' > "$here/box/state.json" ;;
  "box stop") rm -f "$here/box/state.json" ;;
  "gpu start") mkdir -p "$here/state" && : > "$here/state/gpu-host" ;;
  "gpu stop") rm -f "$here/state/gpu-host" ;;
  *) echo "unknown command: $*" >&2; exit 2 ;;
esac
)";

const char* kSystemctl = R"(#!/bin/sh
# Fake systemctl --user: the active units are the lines of units.txt.
units="$HOME/.lumora/units.txt"
case "$*" in
  *list-units*) [ -f "$units" ] && cat "$units" ;;
  *start*) echo "$3" >> "$units" ;;
  *stop*) grep -v -x -F "$3" "$units" > "$units.new"; mv "$units.new" "$units" ;;
esac
exit 0
)";

void writeExecutable(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::trunc) << text;
  ::chmod(path.c_str(), 0755);
}

}  // namespace

FakeTools::FakeTools() {
  writeExecutable(path(".lumora/cli/bin/lumora"), kTool);
  writeExecutable(path(".lumora/fakebin/systemctl"), kSystemctl);
  // The shell the runner starts: plain sh with the fakes first on PATH (a
  // login shell would reset PATH from the system profile).
  writeExecutable(path(".lumora/fakebin/shell"),
                  "#!/bin/sh\nPATH=\"" + path(".lumora/fakebin").string() +
                      ":$PATH\"; export PATH\n[ \"$1\" = -lc ] && shift\nexec /bin/sh -c \"$1\"\n");
}

std::string FakeTools::shell() const {
  return path(".lumora/fakebin/shell").string();
}

std::vector<std::string> FakeTools::calls() const {
  std::vector<std::string> lines;
  std::ifstream in(path(".lumora/calls.log"));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

void FakeTools::setSnapshots(const std::string& listing) const {
  home_.write(".lumora/snapshots.txt", listing);
}

void FakeTools::setActiveUnits(const std::string& units) const {
  home_.write(".lumora/units.txt", units);
}

void FakeTools::setFailing(bool failing) const {
  if (failing) {
    home_.write(".lumora/failing", "");
  } else {
    fs::remove(path(".lumora/failing"));
  }
}

void FakeTools::writeToken(const std::string& token) const {
  home_.write(".lumora/auth/token", token);
}

host::HostEnvironment FakeTools::environment(host::Timing timing) const {
  host::HostEnvironment environment;
  environment.runner = host::CommandRunner(home_.home(), shell());
  environment.timing = std::move(timing);
  environment.serviceManager = &servicemanagement::systemdServiceManager();
  return environment;
}

void Gate::open() {
  {
    std::lock_guard lock(mutex_);
    open_ = true;
  }
  opened_.notify_all();
}

void Gate::wait() {
  std::unique_lock lock(mutex_);
  opened_.wait(lock, [this] { return open_; });
}

namespace {
void pauseOnNextTurn(QObject* context, std::chrono::nanoseconds, std::function<void()> then) {
  QTimer::singleShot(0, context, std::move(then));
}
}  // namespace

host::Timing instantTiming() {
  host::Timing timing;
  timing.sleep = [](std::chrono::nanoseconds) {};
  timing.pause = pauseOnNextTurn;
  return timing;
}

host::Timing gatedTiming(Gate& gate) {
  host::Timing timing;
  timing.sleep = [&gate](std::chrono::nanoseconds) { gate.wait(); };
  timing.pause = pauseOnNextTurn;
  return timing;
}

host::Timing ManualPauses::timing() {
  host::Timing timing = instantTiming();
  timing.pause = [this](QObject* context, std::chrono::nanoseconds, std::function<void()> then) {
    QPointer<QObject> guard(context);
    pending.push_back([guard, then = std::move(then)] {
      if (guard) then();
    });
  };
  return timing;
}

bool ManualPauses::runOne() {
  if (pending.empty()) return false;
  auto next = std::move(pending.front());
  pending.erase(pending.begin());
  next();
  return true;
}

QImage saveScreenshot(QWidget& widget, const QString& name) {
  const QString folder = QString::fromUtf8(LUMORA_BINARY_DIR) + QStringLiteral("/screenshots");
  QDir().mkpath(folder);
  widget.adjustSize();
  QImage image = widget.grab().toImage();
  image.save(folder + QLatin1Char('/') + name + QStringLiteral(".png"));
  return image;
}

QStringList clippedTexts(const QWidget& root) {
  QStringList clipped;
  for (const QLabel* label : root.findChildren<QLabel*>()) {
    if (!label->isVisibleTo(&root) || label->text().isEmpty()) continue;
    if (const auto* styled = qobject_cast<const ui::StyledLabel*>(label);
        styled && styled->elided()) {
      continue;
    }
    const QRect area = label->contentsRect();
    const QFontMetrics metrics(label->font());
    bool cut = false;
    if (label->wordWrap()) {
      cut = label->heightForWidth(label->width()) > label->height();
    } else {
      for (const QString& line : label->text().split(QLatin1Char('\n'))) {
        if (metrics.horizontalAdvance(line) > area.width()) cut = true;
      }
      cut = cut || metrics.lineSpacing() * (label->text().count(QLatin1Char('\n')) + 1) >
                       area.height() + metrics.leading() + 1;
    }
    if (cut) clipped << label->text();
  }
  return clipped;
}

bool sameColor(const QColor& a, const QColor& b, int tolerance) {
  return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
         std::abs(a.blue() - b.blue()) <= tolerance && std::abs(a.alpha() - b.alpha()) <= tolerance;
}

}  // namespace lumora::testing
