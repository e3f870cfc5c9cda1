// The stand-in service for bench/fuse-bench and bench/read-bench: the
// storage API over a synthetic tree of 10,000 files of 1 KiB in 100 folders,
// two 1 GiB files and, under "large/", 100 files of 64 MiB, generated on the
// fly. GET /stats answers the object bytes sent so far. Prints its port,
// then serves until killed.
//   FuseServiceBench TOKEN

#include <httplib.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

namespace {

constexpr int kFolders = 100;
constexpr int kFilesPerFolder = 100;
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

constexpr int kLargeFiles = 100;
constexpr size_t kLargeSize = size_t{64} << 20;

std::string largeName(int i) {
  char name[24];
  std::snprintf(name, sizeof name, "mirror/large/l%03d", i);
  return name;
}

// The size of a file served from the pattern; 0 for any other key.
size_t patternFileSize(const std::string& key) {
  if (key == "mirror/big.bin" || key == "mirror/big2.bin") return kBigSize;
  if (key.size() == 17 && key.starts_with("mirror/large/l")) return kLargeSize;
  return 0;
}

bool isSmallFile(const std::string& key) {
  return key.size() == 15 && key.starts_with("mirror/d") && key[10] == '/';
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: FuseServiceBench TOKEN\n");
    return 2;
  }
  const std::string bearer = std::string("Bearer ") + argv[1];
  httplib::Server server;
  server.new_task_queue = [] { return new httplib::ThreadPool(16); };
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
      if (size_t size = patternFileSize(prefix)) body += fileRecord(prefix, size);
      if (isSmallFile(prefix)) body += fileRecord(prefix, kSmallSize);
    } else if (prefix == "mirror/") {
      for (int i = 0; i < kFolders; ++i) {
        body += R"({"key":"mirror/)" + folderName(i) + R"(/","dir":true},)";
      }
      body += R"({"key":"mirror/large/","dir":true},)";
      body += fileRecord("mirror/big.bin", kBigSize) + ",";
      body += fileRecord("mirror/big2.bin", kBigSize);
    } else if (prefix == "mirror/large/") {
      for (int i = 0; i < kLargeFiles; ++i) {
        if (i) body += ",";
        body += fileRecord(largeName(i), kLargeSize);
      }
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
    res.set_content(
        R"({"url":")" + base + "/objects/" + req.get_param_value("key") + R"(","expires":1e12})",
        kJson);
  });

  static std::atomic<uint64_t> objectBytes{0};
  server.Get("/stats", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(std::to_string(objectBytes.load()) + "\n", "text/plain");
  });

  server.Get("/objects/(.*)", [](const httplib::Request& req, httplib::Response& res) {
    std::string key = req.matches[1];
    if (isSmallFile(key)) {
      std::string body(kSmallSize, 'x');
      for (size_t i = 0; i < body.size(); ++i) body[i] = patternByte(i + key.size());
      objectBytes += body.size();
      res.set_content(body, "application/octet-stream");
      return;
    }
    size_t size = patternFileSize(key);
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
