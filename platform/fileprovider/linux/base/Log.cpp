#include "platform/fileprovider/linux/base/Log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace lumora::fuse {

namespace {
std::atomic<bool> enabled{true};

struct LogFile {
  std::mutex mutex;
  std::filesystem::path path;  // protected by mutex; empty: no rotation
  std::uint64_t limit = 0;     // protected by mutex
};
LogFile& logFile() {
  static LogFile file;
  return file;
}

bool openOntoStandardError(const std::filesystem::path& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  ::dup2(fd, STDERR_FILENO);
  ::close(fd);
  return true;
}

// Lines others write to standard error (libraries) count too: the size is
// the file's own.
void rotateIfFull() {
  LogFile& file = logFile();
  std::lock_guard lock(file.mutex);
  struct stat st {};
  if (file.path.empty() || ::fstat(STDERR_FILENO, &st) != 0) return;
  if (static_cast<std::uint64_t>(st.st_size) < file.limit) return;
  std::filesystem::path older = file.path;
  older += ".1";
  if (::rename(file.path.c_str(), older.c_str()) != 0) return;
  (void)openOntoStandardError(file.path);
}
}  // namespace

bool logToFile(const std::filesystem::path& path, std::uint64_t limit) {
  LogFile& file = logFile();
  std::lock_guard lock(file.mutex);
  if (!openOntoStandardError(path)) return false;
  file.path = path;
  file.limit = limit;
  return true;
}

void setLogEnabled(bool value) {
  enabled.store(value, std::memory_order_relaxed);
}

void log(const char* format, ...) {
  if (!enabled.load(std::memory_order_relaxed)) return;
  char line[1024];
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  size_t used = std::strftime(line, sizeof line, "%Y-%m-%d %H:%M:%S lumora-fileprovider: ", &local);
  va_list args;
  va_start(args, format);
  std::vsnprintf(line + used, sizeof line - used, format, args);
  va_end(args);
  // One write per line keeps lines of concurrent threads whole.
  std::fprintf(stderr, "%s\n", line);
  rotateIfFull();
}

std::string inBytes(std::uint64_t bytes) {
  const char* units[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes);
  size_t unit = 0;
  while (value >= 1024 && unit + 1 < std::size(units)) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
  return text;
}

}  // namespace lumora::fuse
