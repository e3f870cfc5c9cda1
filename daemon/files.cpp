// lumora-files: keep files of a mounted domain on this device, free the
// space they take, and see where that stands. It asks the domain's running
// daemon over its control socket; the daemon does the work.

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/fileprovider/linux/base/Log.h"
#include "platform/fileprovider/linux/control/ControlSocket.h"

namespace {

namespace fs = std::filesystem;
using lumora::fuse::controlSocketPath;
using lumora::fuse::inBytes;
using lumora::fuse::sendControlRequest;
using nlohmann::json;

constexpr const char* kUsage =
    "usage: lumora-files [--domain ID] keep PATH...\n"
    "       lumora-files [--domain ID] free PATH...\n"
    "       lumora-files [--domain ID] status [PATH...]\n";
constexpr auto kTimeout = std::chrono::seconds(30);

struct Daemon {
  fs::path socket;
  json report;
  std::string domain() const { return report.value("domain", ""); }
  fs::path mountpoint() const { return report.value("mountpoint", ""); }
  // Where users see it (a link to the mount point): what is printed.
  fs::path shown() const { return report.value("shown", mountpoint().string()); }
};

std::optional<json> ask(const fs::path& socket, const std::string& request, std::string* error) {
  auto answer = sendControlRequest(socket, request, kTimeout);
  if (!answer) {
    if (error) *error = answer.error().description;
    return std::nullopt;
  }
  if (answer->starts_with("error ")) {
    if (error) *error = answer->substr(6);
    return std::nullopt;
  }
  if (!answer->starts_with("ok")) return std::nullopt;
  if (answer->size() <= 3) return json::object();
  auto parsed = json::parse(answer->substr(3), nullptr, false);
  if (parsed.is_discarded()) return std::nullopt;
  return parsed;
}

// Every daemon of this user that answers.
std::vector<Daemon> runningDaemons() {
  std::vector<Daemon> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(controlSocketPath("x").parent_path(), ec)) {
    if (entry.path().extension() != ".sock") continue;
    if (auto report = ask(entry.path(), "report", nullptr)) {
      found.push_back({entry.path(), std::move(*report)});
    }
  }
  return found;
}

bool contains(const fs::path& folder, const fs::path& path) {
  auto relative = path.lexically_relative(folder);
  return !relative.empty() && *relative.begin() != "..";
}

std::string bar(uint64_t present, uint64_t bytes) {
  int filled = bytes == 0 ? 20 : static_cast<int>(20 * static_cast<double>(present) / bytes);
  return "[" + std::string(filled, '#') + std::string(20 - filled, ' ') + "] ";
}

std::string describeKeep(const json& keep, bool terminal) {
  std::string stage = keep.value("stage", "");
  uint64_t bytes = keep.value("bytes", uint64_t{0}), present = keep.value("present", uint64_t{0});
  std::string text = stage;
  if (stage == "kept") {
    text += ", " + inBytes(bytes);
  } else {
    if (terminal && (stage == "downloading" || stage == "queued"))
      text = bar(present, bytes) + text;
    text += ", " + inBytes(present) + " of " + inBytes(bytes) + ", " +
            inBytes(bytes > present ? bytes - present : 0) + " to go";
  }
  std::string problem = keep.value("problem", "");
  if (!problem.empty()) text += " (" + problem + ")";
  return text;
}

// The whole picture: true while something is still coming in.
bool printOverview(const std::vector<Daemon>& daemons, bool terminal) {
  bool busy = false;
  for (const auto& daemon : daemons) {
    const json& r = daemon.report;
    std::printf("%s at %s: %s; cache %s used of %s, %s kept\n", daemon.domain().c_str(),
                daemon.shown().c_str(), r.value("online", false) ? "online" : "offline",
                inBytes(r.value("used", uint64_t{0})).c_str(),
                inBytes(r.value("limit", uint64_t{0})).c_str(),
                inBytes(r.value("kept", uint64_t{0})).c_str());
    for (const auto& keep : r.value("keeps", json::array())) {
      fs::path where = daemon.shown() / keep.value("path", "");
      std::printf("  %s: %s\n", where.c_str(), describeKeep(keep, terminal).c_str());
      std::string stage = keep.value("stage", "");
      busy = busy || stage == "downloading" || stage == "queued";
    }
  }
  return busy;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::optional<std::string> onlyDomain;
  if (args.size() >= 2 && args[0] == "--domain") {
    onlyDomain = args[1];
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.empty() || (args[0] != "keep" && args[0] != "free" && args[0] != "status") ||
      (args[0] != "status" && args.size() < 2)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::string command = args[0];
  std::vector<std::string> paths(args.begin() + 1, args.end());
  auto daemons = runningDaemons();
  if (onlyDomain) {
    std::erase_if(daemons, [&](const Daemon& d) { return d.domain() != *onlyDomain; });
    if (daemons.empty()) {
      std::fprintf(stderr, "lumora-files: the domain %s is not mounted\n", onlyDomain->c_str());
      return 1;
    }
  }
  bool terminal = ::isatty(STDOUT_FILENO);
  if (command == "status" && paths.empty()) {
    if (daemons.empty()) {
      std::fputs("lumora-files: no Lumora domain is mounted\n", stderr);
      return 1;
    }
    // On a terminal, followed until nothing is coming in any more.
    while (printOverview(daemons, terminal) && terminal) {
      std::this_thread::sleep_for(std::chrono::seconds(1));
      auto again = runningDaemons();
      if (onlyDomain) {
        std::erase_if(again, [&](const Daemon& d) { return d.domain() != *onlyDomain; });
      }
      daemons = std::move(again);
      std::printf("\n");
    }
    return 0;
  }
  int status = 0;
  for (const auto& given : paths) {
    std::error_code ec;
    fs::path path = fs::absolute(given, ec).lexically_normal();
    auto fail = [&](const std::string& why) {
      std::fprintf(stderr, "lumora-files: %s: %s\n", given.c_str(), why.c_str());
      status = 1;
    };
    const Daemon* target = nullptr;
    for (const auto& daemon : daemons) {
      if (contains(daemon.mountpoint(), path) || contains(daemon.shown(), path)) target = &daemon;
    }
    if (!target) {
      // Reached through a link: compared once links are resolved, and sent
      // as the daemon names its own folder.
      fs::path real = fs::weakly_canonical(path, ec);
      for (const auto& daemon : daemons) {
        fs::path mount = fs::weakly_canonical(daemon.mountpoint(), ec);
        if (!real.empty() && contains(mount, real)) {
          target = &daemon;
          path = daemon.mountpoint() / real.lexically_relative(mount);
        }
      }
    }
    if (!target && onlyDomain) {
      // Said plainly when it lies in a domain other than the one asked for.
      for (const auto& other : runningDaemons()) {
        if (contains(other.mountpoint(), path) || contains(other.shown(), path)) {
          fail("it is in the domain " + other.domain() + ", not " + *onlyDomain);
          break;
        }
      }
      if (status != 0) continue;
    }
    if (!target) {
      fail(daemons.empty()
               ? "no Lumora domain is mounted"
               : "it is not in a Lumora folder (" + daemons.front().shown().string() + ")");
      continue;
    }
    std::string request = (command == "status" ? "report" : command) + " " + path.string();
    std::string error;
    auto answer = ask(target->socket, request, &error);
    if (!answer) {
      fail(error.empty() ? "the daemon gave no answer" : error);
      continue;
    }
    if (command == "keep") {
      std::printf("%s: kept; downloading in the background\n", given.c_str());
    } else if (command == "free") {
      std::printf("%s: freed\n", given.c_str());
    } else {
      const json item = answer->value("item", json::object());
      std::string text = item.value("folder", false) ? "folder" : item.value("state", "cloud");
      if (!item.value("folder", false)) text += ", " + inBytes(item.value("bytes", uint64_t{0}));
      if (item.contains("keep")) {
        const json& keep = item["keep"];
        std::string root = keep.value("path", "");
        text += "; kept" + (root == item.value("path", "") ? std::string() : " with " + root) +
                ": " + describeKeep(keep, terminal);
      } else {
        text += "; not kept";
      }
      std::printf("%s: %s\n", given.c_str(), text.c_str());
    }
  }
  return status;
}
