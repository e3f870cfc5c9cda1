#include "host/core/controlplane/ControlPlaneModel.h"

#include <filesystem>
#include <system_error>

#include "host/core/system/GuiThread.h"

namespace lumora::host {

namespace {

namespace sm = servicemanagement;

constexpr const char* kDiskLabels[] = {"com.lumora.mirror", "com.lumora.evict"};
constexpr auto kShortWait = std::chrono::milliseconds(1200);
constexpr auto kLongWait = std::chrono::seconds(4);

// Any file-system object counts; its content is never read.
bool exists(const std::filesystem::path& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

Pillar makePillar(const char* id, const char* title, const char* detail, bool on,
                  const char* onStatus) {
  Pillar pillar;
  pillar.id = QString::fromUtf8(id);
  pillar.title = QString::fromUtf8(title);
  pillar.detail = QString::fromUtf8(detail);
  pillar.on = on;
  pillar.status = on ? QString::fromUtf8(onStatus) : QStringLiteral("off");
  return pillar;
}

// The tool's words for a feature other than "disk".
std::vector<std::string> toolWords(const QString& id, bool on) {
  if (id == QLatin1String("memory")) return {"swap", on ? "enable" : "disable"};
  if (id == QLatin1String("compute")) return {"box", on ? "start" : "stop"};
  if (id == QLatin1String("gpu")) return {"gpu", on ? "start" : "stop"};
  return {};
}

}  // namespace

ControlPlaneModel::ControlPlaneModel(QObject* parent)
    : ControlPlaneModel(HostEnvironment{}, parent) {}

ControlPlaneModel::ControlPlaneModel(HostEnvironment environment, QObject* parent)
    : QObject(parent), environment_(std::move(environment)) {}

void ControlPlaneModel::refresh() {
  const std::string home = environment_.runner.home().string();
  const sm::ServiceManagerTable& table = *environment_.serviceManager;
  const std::string jobs = environment_.runner.runShell(table.listCommand);
  const bool disk = jobs.find(kDiskLabels[0]) != std::string::npos &&
                    jobs.find(kDiskLabels[1]) != std::string::npos;
  const bool memory = exists(sm::agentFile(table, home, "com.lumora.swap")) ||
                      exists(sm::agentFile(table, home, "dev.lumora.swap"));
  const bool compute = exists(home + "/.lumora/box/state.json");
  const bool gpu = exists(home + "/.lumora/state/gpu-host");

  pillars_ = {
      makePillar("disk", "Disk expansion", "your disk never fills — cold files move to the cloud",
                 disk, "freeing space"),
      makePillar("memory", "Extra memory", "frees 1–4 GB by pausing apps you're not using", memory,
                 "ready"),
      makePillar("compute", "Compute offload", "heavy work runs in the cloud, not on your machine",
                 compute, "workspace ready"),
      makePillar("gpu", "GPU access", "run AI your laptop can't — billed only while on", gpu,
                 "running (billing)"),
  };
  emit pillarsChanged();
}

std::vector<std::string> ControlPlaneModel::diskCommands(bool on) const {
  const std::string home = environment_.runner.home().string();
  std::vector<std::string> commands;
  for (const char* label : kDiskLabels) {
    commands.push_back(environment_.serviceManager->switchCommand(on, label, home));
  }
  return commands;
}

void ControlPlaneModel::toggle(const QString& id) {
  qsizetype position = -1;
  for (qsizetype i = 0; i < pillars_.size(); ++i) {
    if (pillars_[i].id == id) {
      position = i;
      break;
    }
  }
  if (position < 0 || !pillars_[position].toggleable) return;
  const bool desired = !pillars_[position].on;
  pillars_[position].busy = true;
  emit pillarsChanged();

  const bool longWait = id == QLatin1String("compute") || id == QLatin1String("gpu");
  std::vector<std::string> shellCommands;
  std::vector<std::string> words;
  if (id == QLatin1String("disk")) {
    shellCommands = diskCommands(desired);
  } else {
    words = toolWords(id, desired);
  }
  runDetached([runner = environment_.runner, sleep = environment_.timing.sleep,
               shellCommands = std::move(shellCommands), words = std::move(words), longWait,
               done = onGuiThread(
                   this, [position](ControlPlaneModel* model) { model->finishToggle(position); })] {
    // Outcomes are ignored: the detection afterwards shows what happened.
    for (const auto& command : shellCommands) runner.runShell(command);
    if (!words.empty()) runner.runCLI(words);
    sleep(longWait ? std::chrono::nanoseconds(kLongWait) : std::chrono::nanoseconds(kShortWait));
    done();
  });
}

void ControlPlaneModel::finishToggle(qsizetype position) {
  refresh();
  // refresh builds every record idle; this only matters if it ever did not.
  if (position < pillars_.size() && pillars_[position].busy) {
    pillars_[position].busy = false;
    emit pillarsChanged();
  }
}

}  // namespace lumora::host
