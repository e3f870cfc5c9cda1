// The shared defaults file: arbitrary file contents, then a store and reads.
#include <unistd.h>

#include "fuzz/checks/SharedDefaultsCheck.h"

namespace {

// A private folder on a memory file system when there is one: every input
// writes the file, and the atomic replace flushes it to disk.
std::filesystem::path testFile() {
  static const std::filesystem::path file = [] {
    std::filesystem::path base = std::filesystem::is_directory("/dev/shm")
                                     ? std::filesystem::path("/dev/shm")
                                     : std::filesystem::temp_directory_path();
    std::string folder = (base / "lumora-fuzz-defaults-XXXXXX").string();
    if (!::mkdtemp(folder.data())) std::abort();
    return std::filesystem::path(folder) / "defaults.json";
  }();
  return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return lumora::fuzz::abortOnBroken(
      lumora::fuzz::checkSharedDefaults(lumora::fuzz::asText(data, size), testFile()));
}
