#include "platform/servicemanagement/LoginItem.h"

#include <fstream>
#include <optional>
#include <sstream>
#include <string_view>
#include <system_error>

#include "platform/foundation/Paths.h"
#include "platform/foundation/TextFile.h"

namespace lumora::servicemanagement {
namespace fs = std::filesystem;

namespace {

// The Exec value of a desktop entry holding one program path: quoted as the
// desktop entry format asks (inside double quotes, `"`, backquote, `$` and
// backslash escaped; `%` doubled), then escaped once more as a string value.
std::string execValue(const std::string& program) {
  std::string quoted = "\"";
  for (char c : program) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    if (c == '%') quoted += '%';
    quoted += c;
  }
  quoted += '"';
  std::string value;
  for (char c : quoted) {
    if (c == '\\') value += '\\';
    if (c == '\n') {
      value += "\\n";
      continue;
    }
    value += c;
  }
  return value;
}

// Undoes the string-value escapes of a desktop entry.
std::string unescapeValue(std::string_view raw) {
  std::string out;
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '\\' || i + 1 == raw.size()) {
      out += raw[i];
      continue;
    }
    char next = raw[++i];
    out += next == 's' ? ' ' : next == 'n' ? '\n' : next == 't' ? '\t' : next == 'r' ? '\r' : next;
  }
  return out;
}

// The program word of an Exec command line (the first argument).
std::string programOf(const std::string& exec) {
  std::string program;
  size_t i = 0;
  if (!exec.empty() && exec[0] == '"') {
    for (i = 1; i < exec.size() && exec[i] != '"'; ++i) {
      if (exec[i] == '\\' && i + 1 < exec.size()) ++i;
      program += exec[i];
    }
  } else {
    for (; i < exec.size() && exec[i] != ' ' && exec[i] != '\t'; ++i) program += exec[i];
  }
  std::string unpercent;
  for (size_t k = 0; k < program.size(); ++k) {
    if (program[k] == '%' && k + 1 < program.size() && program[k + 1] == '%') ++k;
    unpercent += program[k];
  }
  return unpercent;
}

struct Entry {
  std::optional<std::string> exec;
  bool hidden = false;
  bool disabled = false;
};

std::optional<Entry> readEntry(const fs::path& file) {
  auto text = readUtf8File(file);
  if (!text) return std::nullopt;
  Entry entry;
  std::istringstream lines(*text);
  std::string line;
  bool inMainGroup = false;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.starts_with('[')) {
      inMainGroup = line == "[Desktop Entry]";
      continue;
    }
    if (!inMainGroup) continue;
    auto equals = line.find('=');
    if (equals == std::string::npos) continue;
    std::string key = line.substr(0, equals);
    while (!key.empty() && key.back() == ' ') key.pop_back();
    std::string_view rawValue = std::string_view(line).substr(equals + 1);
    while (!rawValue.empty() && rawValue.front() == ' ') rawValue.remove_prefix(1);
    std::string value = unescapeValue(rawValue);
    if (key == "Exec") entry.exec = value;
    if (key == "Hidden") entry.hidden = value == "true";
    if (key == "X-GNOME-Autostart-enabled") entry.disabled = value == "false";
  }
  return entry;
}

}  // namespace

XdgAutostartLoginItem::XdgAutostartLoginItem(fs::path entryFile, fs::path executable)
    : entryFile_(std::move(entryFile)), executable_(std::move(executable)) {}

XdgAutostartLoginItem XdgAutostartLoginItem::mainApp() {
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return XdgAutostartLoginItem(paths::configHome() / "autostart" / "com.lumora.desktop.desktop",
                               ec ? fs::path() : self);
}

LoginItemStatus XdgAutostartLoginItem::status() const {
  auto entry = readEntry(entryFile_);
  if (!entry) return LoginItemStatus::notRegistered;
  // The desktop's settings turn an autostart entry off by hiding it: the
  // user's choice, which only the user undoes.
  if (entry->hidden || entry->disabled) return LoginItemStatus::requiresApproval;
  if (!entry->exec) return LoginItemStatus::notRegistered;
  return programOf(*entry->exec) == executable_.string() ? LoginItemStatus::enabled
                                                         : LoginItemStatus::notRegistered;
}

Result<void> XdgAutostartLoginItem::registerItem() {
  if (executable_.empty()) return fail(kPosixErrorDomain, ENOENT, "The executable is unknown.");
  if (status() == LoginItemStatus::requiresApproval) {
    return fail(kPosixErrorDomain, EPERM,
                "The login item was turned off in the desktop's settings.");
  }
  std::error_code ec;
  fs::create_directories(entryFile_.parent_path(), ec);
  if (ec) return std::unexpected(posixError(ec.value(), entryFile_.parent_path().string()));
  std::string contents =
      "[Desktop Entry]\n"
      "Type=Application\n"
      "Name=Lumora\n"
      "Exec=" +
      execValue(executable_.string()) +
      "\n"
      "X-GNOME-Autostart-enabled=true\n";
  return writeFileAtomically(entryFile_, contents, 0644);
}

}  // namespace lumora::servicemanagement
