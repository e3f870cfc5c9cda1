#include "platform/fileprovider/linux/base/Log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace lumora::fuse {

namespace {
std::atomic<bool> enabled{true};
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
}

}  // namespace lumora::fuse
