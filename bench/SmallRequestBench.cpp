// Sequential small GETs over one keep-alive connection: through HttpSession
// (get and download) beside a bare libcurl handle reused the way the curl
// tool reuses one, against the same in-process server in the same run.
// Prints ROW lines for scripts/bench.

#include <curl/curl.h>
#include <fcntl.h>
#include <httplib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "platform/foundation/HttpSession.h"

namespace {

constexpr int kRequests = 3000;

size_t discard(char*, size_t size, size_t count, void*) {
  return size * count;
}

// The best of three rounds: the machine is shared, so the least disturbed
// round tells the cost.
template <class Request>
double seconds(Request request) {
  double best = 1e9;
  for (int round = 0; round < 3; ++round) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kRequests; ++i) {
      if (!request(i)) std::abort();
    }
    best = std::min(
        best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

}  // namespace

int main() {
  httplib::Server server;
  server.set_tcp_nodelay(true);
  server.set_keep_alive_max_count(1000000);
  const std::string body(1024, 'x');
  server.Get("/objects/(.*)", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content(body, "application/octet-stream");
  });
  int port = server.bind_to_any_port("127.0.0.1");
  std::thread listener([&] { server.listen_after_bind(); });
  while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const std::string base = "http://127.0.0.1:" + std::to_string(port) + "/objects/";

  curl_global_init(CURL_GLOBAL_DEFAULT);
  CURL* easy = curl_easy_init();
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &discard);
  double reference = seconds([&](int i) {
    std::string url = base + std::to_string(i);
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    long status = 0;
    return curl_easy_perform(easy) == CURLE_OK &&
           curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status == 200;
  });
  curl_easy_cleanup(easy);

  lumora::HttpSession session;
  const lumora::HttpHeaders headers{{"Authorization", "Bearer bench"}};
  double viaGet = seconds([&](int i) {
    auto response = session.get(base + std::to_string(i), headers, std::chrono::seconds(10));
    return response && response->status == 200 && response->body.size() == body.size();
  });
  int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  double viaDownload = seconds([&](int i) {
    auto status = session.download(base + std::to_string(i), {}, devNull);
    return status && *status == 200;
  });
  // A session trusting an extra CA carries a large bundle on every handle,
  // which must cost plain-HTTP requests nothing.
  lumora::HttpSession::Options withCa;
  withCa.extraCaFile = "/etc/ssl/certs/ca-certificates.crt";
  lumora::HttpSession caSession(withCa);
  double viaCaSession = seconds([&](int i) {
    auto status = caSession.download(base + std::to_string(i), {}, devNull);
    return status && *status == 200;
  });
  ::close(devNull);

  server.stop();
  listener.join();
  auto perRequest = [](double s) { return s / kRequests * 1e6; };
  std::printf(
      "ROW\tsmall GET through the session (us/request, vs a reused curl "
      "handle)\t%.0f\t%.0f\t%.2f\t%s\n",
      perRequest(viaGet), perRequest(reference), viaGet / reference, "<= 1.50");
  std::printf(
      "ROW\tsmall download through the session (us/request, vs a reused curl "
      "handle)\t%.0f\t%.0f\t%.2f\t%s\n",
      perRequest(viaDownload), perRequest(reference), viaDownload / reference, "<= 1.50");
  std::printf(
      "ROW\tsmall download, session with an extra CA (us/request, vs a reused curl "
      "handle)\t%.0f\t%.0f\t%.2f\t%s\n",
      perRequest(viaCaSession), perRequest(reference), viaCaSession / reference, "<= 1.50");
  return 0;
}
