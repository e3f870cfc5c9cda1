// The stand-in service for bench/fuse-memory: the storage API over one
// folder "big" of N files (default 100,000) with dates, listed 1,000 records
// a page. Prints its port, then serves until killed.
//   BigFolderServiceBench TOKEN [N]

#include <httplib.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr size_t kPageSize = 1000;
constexpr const char* kJson = "application/json; charset=utf-8";

std::string fileName(size_t i) {
  char name[32];
  std::snprintf(name, sizeof name, "document-%06zu.txt", i);
  return name;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: BigFolderServiceBench TOKEN [N]\n");
    return 2;
  }
  const std::string bearer = std::string("Bearer ") + argv[1];
  const size_t files = argc == 3 ? std::strtoul(argv[2], nullptr, 10) : 100000;
  httplib::Server server;
  server.set_tcp_nodelay(true);
  server.set_keep_alive_max_count(1000000);
  int port = server.bind_to_any_port("127.0.0.1");

  server.Get("/storage/list", [&](const httplib::Request& req, httplib::Response& res) {
    if (req.get_header_value("Authorization") != bearer) {
      res.status = 401;
      return;
    }
    std::string prefix = req.get_param_value("prefix");
    std::string body = R"({"entries":[)";
    std::string cursor;
    if (prefix == "mirror/") {
      body += R"({"key":"mirror/big/","dir":true})";
    } else if (prefix == "mirror/big/" && req.get_param_value("exact") != "1") {
      if (!req.has_param("cursor"))
        std::fprintf(stderr, "a listing of %s starts\n", prefix.c_str());
      size_t start = std::strtoul(req.get_param_value("cursor").c_str(), nullptr, 10);
      size_t end = std::min(files, start + kPageSize);
      for (size_t i = start; i < end; ++i) {
        if (i != start) body += ",";
        std::string key = "mirror/big/" + fileName(i);
        body += R"({"key":")" + key + R"(","size":)" + std::to_string(1000 + i % 5000) +
                R"(,"etag":"5d41402abc4b2a76b9719d911017c592-)" + std::to_string(i) +
                R"(","modified":"2024-05-01T10:00:00Z"})";
      }
      if (end < files) cursor = std::to_string(end);
    }
    body += "]";
    if (!cursor.empty()) body += R"(,"cursor":")" + cursor + "\"";
    body += "}";
    res.set_content(body, kJson);
  });

  std::printf("%d\n", port);
  std::fflush(stdout);
  server.listen_after_bind();
  return 0;
}
