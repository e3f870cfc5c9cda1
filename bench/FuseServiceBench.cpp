// The stand-in service for bench/fuse-bench and bench/peer-bench: the
// storage API over a synthetic tree of 10,000 files of 1 KiB in 100 folders
// and one 1 GiB file, generated on the fly; with --wide also a folder "wide"
// of 10,000 such files, listed in pages of 1,000. Prints its port, then
// serves until killed. With --large also a second 1 GiB file, big2.bin,
// and a folder "large" of 100 files of 64 MiB. GET /stats answers the
// object bytes sent so far. With --kept also a folder "kept" of 256 files of
// 4 MiB, for bench/keep-bench. --write-tree writes the same tree (wide folder
// included), byte for byte, into DIR, for a plain web server to serve.
// --video FILE also serves FILE's bytes as "clip.mp4" in the root, for a
// thumbnailer to peek at.
//   FuseServiceBench TOKEN [--wide | --large | --kept | --video FILE]
//   FuseServiceBench --write-tree DIR

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

namespace {

constexpr int kFolders = 100;
constexpr int kFilesPerFolder = 100;
constexpr int kWideFiles = 10000;
constexpr int kWidePage = 1000;
constexpr size_t kSmallSize = 1024;
constexpr size_t kBigSize = size_t{1} << 30;
constexpr size_t kChunk = 1 << 20;
// With a parameter the type is not one the server compresses: a stand-in
// should not spend its time on brotli.
constexpr const char* kJson = "application/json; charset=utf-8";

// Contents repeat with an odd period, so that no two blocks at aligned
// offsets read alike; served from one precomputed buffer.
constexpr size_t kPeriod = (size_t{1} << 20) + 13;
char patternByte(size_t offset) {
  offset %= kPeriod;
  return static_cast<char>('a' + (offset * 7 + offset / 4096) % 26);
}
const std::string& patternBuffer() {
  static const std::string buffer = [] {
    std::string b(2 * kPeriod, '\0');
    for (size_t i = 0; i < b.size(); ++i) b[i] = patternByte(i);
    return b;
  }();
  return buffer;
}

std::string folderName(int i) {
  char name[16];
  std::snprintf(name, sizeof name, "d%02d", i);
  return name;
}

std::string fileName(int i) {
  char name[16];
  std::snprintf(name, sizeof name, "f%03d", i);
  return name;
}

std::string fileRecord(const std::string& key, size_t size) {
  return R"({"key":")" + key + R"(","size":)" + std::to_string(size) + R"(,"etag":"e-)" + key +
         R"(","modified":"2024-05-01T10:00:00Z"})";
}

std::string wideName(int i) {
  char name[16];
  std::snprintf(name, sizeof name, "w%05d", i);
  return name;
}

constexpr int kLargeFiles = 100;
constexpr size_t kLargeSize = size_t{64} << 20;

std::string largeName(int i) {
  char name[24];
  std::snprintf(name, sizeof name, "mirror/large/l%03d", i);
  return name;
}

// With --kept, a folder "kept" of 256 files of 4 MiB: 1 GiB to keep.
constexpr int kKeptFiles = 256;
constexpr size_t kKeptSize = size_t{4} << 20;
bool servesKept = false;

std::string keptName(int i) {
  char name[24];
  std::snprintf(name, sizeof name, "mirror/kept/k%03d", i);
  return name;
}

// The size of a file served from the pattern; 0 for any other key.
size_t patternFileSize(const std::string& key, bool large) {
  if (servesKept && key.size() == 16 && key.starts_with("mirror/kept/k")) return kKeptSize;
  if (key == "mirror/big.bin") return kBigSize;
  if (large && key == "mirror/big2.bin") return kBigSize;
  if (large && key.size() == 17 && key.starts_with("mirror/large/l")) return kLargeSize;
  return 0;
}

bool isSmallFile(const std::string& key, bool wide) {
  if (key.size() == 15 && key.starts_with("mirror/d") && key[10] == '/') return true;
  return wide && key.size() == 18 && key.starts_with("mirror/wide/w");
}

// A small file's bytes depend on its key's length only, so every copy of
// the tree agrees without storing it.
std::string smallContent(const std::string& key) {
  std::string body(kSmallSize, 'x');
  for (size_t i = 0; i < body.size(); ++i) body[i] = patternByte(i + key.size());
  return body;
}

bool writeFile(const std::filesystem::path& path, std::string_view bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

int writeTree(const std::filesystem::path& root) {
  std::error_code ec;
  std::filesystem::create_directories(root / "wide", ec);
  bool ok = !ec;
  for (int d = 0; ok && d < kFolders; ++d) {
    std::filesystem::create_directories(root / folderName(d), ec);
    for (int f = 0; !ec && ok && f < kFilesPerFolder; ++f) {
      std::string rel = folderName(d) + "/" + fileName(f);
      ok = writeFile(root / rel, smallContent("mirror/" + rel));
    }
    ok = ok && !ec;
  }
  for (int w = 0; ok && w < kWideFiles; ++w) {
    std::string rel = "wide/" + wideName(w);
    ok = writeFile(root / rel, smallContent("mirror/" + rel));
  }
  std::FILE* big = ok ? std::fopen((root / "big.bin").c_str(), "wb") : nullptr;
  for (size_t offset = 0; big && offset < kBigSize; offset += kChunk) {
    ok = ok && std::fwrite(patternBuffer().data() + offset % kPeriod, 1, kChunk, big) == kChunk;
  }
  ok = big && std::fclose(big) == 0 && ok;
  if (!ok) std::fprintf(stderr, "FuseServiceBench: cannot write the tree into %s\n", root.c_str());
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string_view(argv[1]) == "--write-tree") return writeTree(argv[2]);
  const bool wide = argc == 3 && std::string_view(argv[2]) == "--wide";
  const bool large = argc == 3 && std::string_view(argv[2]) == "--large";
  const bool withVideo = argc == 4 && std::string_view(argv[2]) == "--video";
  servesKept = argc == 3 && std::string_view(argv[2]) == "--kept";
  if (argc != 2 && !wide && !large && !servesKept && !withVideo) {
    std::fprintf(stderr,
                 "usage: FuseServiceBench TOKEN [--wide | --large | --kept | --video FILE] | "
                 "--write-tree DIR\n");
    return 2;
  }
  static std::string video;
  if (withVideo) {
    std::ifstream in(argv[3], std::ios::binary);
    video.assign(std::istreambuf_iterator<char>(in), {});
    if (video.empty()) return 2;
  }
  const std::string videoKey = "mirror/clip.mp4";
  const std::string bearer = std::string("Bearer ") + argv[1];
  httplib::Server server;
  // A worker per open connection: the daemon keeps more than 16 open when
  // it lists and fetches ahead at once.
  server.new_task_queue = [] { return new httplib::ThreadPool(64); };
  // Headers and body go out in separate writes: without this, each answer
  // waits for the client's delayed ACK.
  server.set_tcp_nodelay(true);
  // One connection serves the whole run, as a real service's would.
  server.set_keep_alive_max_count(1000000);
  int port = server.bind_to_any_port("127.0.0.1");
  const std::string base = "http://127.0.0.1:" + std::to_string(port);

  server.Get("/storage/list", [&](const httplib::Request& req, httplib::Response& res) {
    if (req.get_header_value("Authorization") != bearer) {
      res.status = 401;
      return;
    }
    std::string prefix = req.get_param_value("prefix");
    std::string body = R"({"entries":[)";
    if (req.get_param_value("exact") == "1") {
      if (withVideo && prefix == videoKey) body += fileRecord(prefix, video.size());
      if (size_t size = patternFileSize(prefix, large)) body += fileRecord(prefix, size);
      if (isSmallFile(prefix, wide)) body += fileRecord(prefix, kSmallSize);
    } else if (prefix == "mirror/") {
      for (int i = 0; i < kFolders; ++i) {
        body += R"({"key":"mirror/)" + folderName(i) + R"(/","dir":true},)";
      }
      if (wide) body += R"({"key":"mirror/wide/","dir":true},)";
      if (servesKept) body += R"({"key":"mirror/kept/","dir":true},)";
      if (large)
        body += R"({"key":"mirror/large/","dir":true},)" + fileRecord("mirror/big2.bin", kBigSize) +
                ",";
      if (withVideo) body += fileRecord(videoKey, video.size()) + ",";
      body += fileRecord("mirror/big.bin", kBigSize);
    } else if (servesKept && prefix == "mirror/kept/") {
      for (int i = 0; i < kKeptFiles; ++i) {
        if (i) body += ",";
        body += fileRecord(keptName(i), kKeptSize);
      }
    } else if (large && prefix == "mirror/large/") {
      for (int i = 0; i < kLargeFiles; ++i) {
        if (i) body += ",";
        body += fileRecord(largeName(i), kLargeSize);
      }
    } else if (wide && prefix == "mirror/wide/") {
      // Pages as the real service's: a folder this large takes several requests.
      int first = std::max(std::atoi(req.get_param_value("cursor").c_str()), 0);
      int end = std::min(first + kWidePage, kWideFiles);
      for (int i = first; i < end; ++i) {
        if (i > first) body += ",";
        body += fileRecord(prefix + wideName(i), kSmallSize);
      }
      body += R"(],"cursor":")" + (end < kWideFiles ? std::to_string(end) : std::string()) + "\"}";
      res.set_content(body, kJson);
      return;
    } else if (prefix.size() == 11 && prefix.starts_with("mirror/d")) {
      for (int i = 0; i < kFilesPerFolder; ++i) {
        if (i) body += ",";
        body += fileRecord(prefix + fileName(i), kSmallSize);
      }
    }
    body += "]}";
    res.set_content(body, kJson);
  });

  server.Get("/storage/download-url", [&](const httplib::Request& req, httplib::Response& res) {
    if (req.get_header_value("Authorization") != bearer) {
      res.status = 401;
      return;
    }
    // Through the address the client reached, so that a delaying proxy in
    // front of this service also carries the object requests.
    std::string host = req.get_header_value("Host");
    std::string origin = host.empty() ? base : "http://" + host;
    res.set_content(
        R"({"url":")" + origin + "/objects/" + req.get_param_value("key") + R"(","expires":1e12})",
        kJson);
  });

  static std::atomic<uint64_t> objectBytes{0};
  server.Get("/stats", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(std::to_string(objectBytes.load()) + "\n", "text/plain");
  });

  server.Get("/objects/(.*)", [wide, large, videoKey](const httplib::Request& req,
                                                      httplib::Response& res) {
    std::string key = req.matches[1];
    if (key == videoKey && !video.empty()) {
      res.set_header("ETag", "\"e-" + key + "\"");
      res.set_content_provider(video.size(), "application/octet-stream",
                               [](size_t offset, size_t length, httplib::DataSink& sink) {
                                 size_t n = std::min(length, kChunk);
                                 objectBytes += n;
                                 return sink.write(video.data() + offset, n);
                               });
      return;
    }
    if (isSmallFile(key, wide)) {
      objectBytes += kSmallSize;
      // As every object store does: without it, a client cannot trust the
      // tags its listing gave and looks each file up first.
      res.set_header("ETag", "\"e-" + key + "\"");
      res.set_content(smallContent(key), "application/octet-stream");
      return;
    }
    size_t size = patternFileSize(key, large);
    if (size == 0) {
      res.status = 404;
      return;
    }
    res.set_header("ETag", "\"e-" + key + "\"");
    res.set_content_provider(size, "application/octet-stream",
                             [](size_t offset, size_t length, httplib::DataSink& sink) {
                               size_t n = std::min(length, kChunk);
                               objectBytes += n;
                               return sink.write(patternBuffer().data() + offset % kPeriod, n);
                             });
  });

  patternBuffer();
  std::printf("%d\n", port);
  std::fflush(stdout);
  server.listen_after_bind();
  return 0;
}
