// What the content cache costs per small file, without the service: 10,000
// downloads of 1 KiB each taken into the cache, read once, and made durable
// with their records (the cache's destructor flushes). The reference, in the
// same run and on the same file system: the same files created in a
// downloads folder, renamed into a store folder, read once and synced, which
// is what keeping any file of its own costs. Each side runs three times,
// alternating, in fresh folders; the best of each is reported.
//   SmallFilesCacheBench [FOLDER]     (default: $TMPDIR or /tmp)
// On ext4, creating files is slower for some minutes after many were
// deleted: a FOLDER on a freshly made file system gives steadier figures.
// Then a cache of 100,000 such files: the memory each takes after a start,
// and taking 10,000 more into it once it is full, against a full cache of
// 10,000.
// Prints ROW lines for scripts/bench.

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/fileprovider/linux/content/ContentCache.h"

namespace fs = std::filesystem;
using lumora::fuse::ContentCache;

namespace {

constexpr int kFiles = 10000;
const std::string kBytes(1024, 'x');

fs::path download(const fs::path& folder, int i) {
  fs::path path = folder / ("dl-" + std::to_string(i));
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0 || ::write(fd, kBytes.data(), kBytes.size()) != ssize_t(kBytes.size())) std::abort();
  ::close(fd);
  return path;
}

void readOnce(int fd) {
  char buffer[1024];
  if (::pread(fd, buffer, sizeof buffer, 0) != ssize_t(sizeof buffer)) std::abort();
}

double seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double reference(const fs::path& root) {
  fs::path downloads = root / "downloads", store = root / "store";
  fs::create_directories(downloads);
  fs::create_directories(store);
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kFiles; ++i) {
    fs::path target = store / std::to_string(i);
    if (::rename(download(downloads, i).c_str(), target.c_str()) != 0) std::abort();
    int fd = ::open(target.c_str(), O_RDONLY | O_CLOEXEC);
    readOnce(fd);
    ::close(fd);
  }
  int folder = ::open(store.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ::syncfs(folder);
  ::fsync(folder);
  ::close(folder);
  return seconds(start);
}

double ours(const fs::path& root) {
  fs::path downloads = root / "downloads";
  fs::create_directories(downloads);
  auto start = std::chrono::steady_clock::now();
  {
    ContentCache cache(root / "cache", 1ULL << 30);
    if (!cache.prepare()) std::abort();
    for (int i = 0; i < kFiles; ++i) {
      auto lease = cache.adopt("mirror/f" + std::to_string(i), "v1", download(downloads, i));
      if (!lease) std::abort();
      readOnce(lease->fd());
    }
  }
  return seconds(start);
}

size_t residentBytes() {
  long pages = 0, resident = 0;
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (!statm || std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) std::abort();
  std::fclose(statm);
  return static_cast<size_t>(resident) * static_cast<size_t>(::sysconf(_SC_PAGESIZE));
}

// A cache that holds many small files: what each costs in memory once the
// daemon starts again, and what taking in more costs once it is full (each
// one evicts another), against a full cache of a tenth as many: the cost of
// an eviction must not grow with what the cache holds.
struct Full {
  double bytesPerFile = 0;
  double recordBytes = 0;  // the journal's bytes per file, for scale
  double intoFull = 0;
  double intoSmall = 0;
};

// Fills a cache with `held` files, starts it again, and times 10,000 more.
double fillAndTakeIn(const fs::path& root, int held, Full* figures) {
  fs::path downloads = root / "downloads";
  fs::create_directories(downloads);
  {
    ContentCache cache(root / "cache", 1ULL << 40);
    if (!cache.prepare()) std::abort();
    for (int i = 0; i < held; ++i) {
      if (!cache.adopt("mirror/held/f" + std::to_string(i), "v1", download(downloads, i))) {
        std::abort();
      }
    }
  }
  // What the first cache freed stays with the process unless handed back.
  ::malloc_trim(0);
  size_t before = residentBytes();
  ContentCache cache(root / "cache", 1ULL << 40);
  if (!cache.prepare() || cache.fileCount() != size_t(held)) std::abort();
  if (figures) {
    ::malloc_trim(0);  // what the start read and let go of
    figures->bytesPerFile = double(residentBytes() - before) / held;
    figures->recordBytes = double(fs::file_size(root / "cache" / "journal")) / held;
  }
  cache.setLimit(cache.bytesUsed());
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kFiles; ++i) {
    auto lease = cache.adopt("mirror/more/f" + std::to_string(i), "v1", download(downloads, i));
    if (!lease) std::abort();
    readOnce(lease->fd());
  }
  double taken = seconds(start);
  if (cache.fileCount() != size_t(held)) std::abort();
  return taken;
}

Full full(const fs::path& root) {
  Full result;
  result.intoSmall = fillAndTakeIn(root / "small", kFiles, nullptr);
  result.intoFull = fillAndTakeIn(root / "large", 10 * kFiles, &result);
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  const char* tmp = std::getenv("TMPDIR");
  fs::path base = argc > 1 ? fs::path(argv[1]) : fs::path(tmp ? tmp : "/tmp");
  fs::path root = base / ("lumora-small-files-" + std::to_string(::getpid()));
  double best = 1e9, bestReference = 1e9;
  for (int round = 0; round < 3; ++round) {
    bestReference = std::min(bestReference, reference(root / ("r" + std::to_string(round))));
    best = std::min(best, ours(root / ("o" + std::to_string(round))));
  }
  Full held = full(root / "full");
  fs::remove_all(root);
  std::printf("%-52s %8.3fs %8.3fs %6.2f\n", "10,000 1-KiB files into the cache (vs own files)",
              best, bestReference, best / bestReference);
  std::printf(
      "ROW\tContent cache: 10,000 1-KiB files taken in, read and made durable (s, vs creating, "
      "renaming, reading and syncing the same files)\t%.3f\t%.3f\t%.2f\t<= 1.5\n",
      best, bestReference, best / bestReference);
  std::printf("%-52s %7.0fB %8.0fB %6.2f\n", "resident per cached file after a start (vs record)",
              held.bytesPerFile, held.recordBytes, held.bytesPerFile / held.recordBytes);
  std::printf("%-52s %8.3fs %8.3fs %6.2f\n",
              "10,000 files into a full cache of 100,000 (vs 10,000)", held.intoFull,
              held.intoSmall, held.intoFull / held.intoSmall);
  std::printf(
      "ROW\tContent cache: resident bytes per cached small file after a start (vs its journal "
      "record)\t%.0f\t%.0f\t%.2f\t<= 4\n",
      held.bytesPerFile, held.recordBytes, held.bytesPerFile / held.recordBytes);
  std::printf(
      "ROW\tContent cache: 10,000 files taken into a full cache of 100,000 (s, vs into a full "
      "cache of 10,000)\t%.3f\t%.3f\t%.2f\t<= 1.3\n",
      held.intoFull, held.intoSmall, held.intoFull / held.intoSmall);
  return 0;
}
