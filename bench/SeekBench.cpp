// How soon a seek in a file being read ahead gets its block, over a slow
// link: the daemon's content reader and the real extension fetch a 512 MiB
// object from a local server behind bench/DelayProxy (a round trip and a
// bandwidth cap). A reader goes through the file in order at half the
// link's rate, as a player would; just after its read-ahead moves on, it
// jumps elsewhere and reads 4 KiB. That read is timed, eight times over,
// for a jump as that read-ahead is asked for and for one while its bytes
// flow. The reference is the time of one block on the capped link plus one
// round trip; beside it, in the same run and on a proxy of its own, the
// reader with one queue in arrival order and no cancelling. Read-ahead
// goes on connections of its own, so a jump's request finds a kept one
// warm; a jump just as read-ahead is asked for still shares the link with
// those answers for about a round trip, until they are cut.
// Last, 256 MiB read in order on the same round trip without a cap, so that
// the smaller read-ahead parts are seen to cost no throughput.
//   SeekBench [RTT_MS [MBIT_PER_S]]      (default 40 ms, 40 Mbit/s)
// Prints ROW lines for scripts/bench.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "extension/backend/LumoraBackend.h"
#include "extension/provider/FileProviderExtension.h"
#include "platform/fileprovider/linux/content/ContentReader.h"
#include "platform/foundation/HttpSession.h"
#include "platform/foundation/SharedDefaults.h"
#include "shared/Identifiers.h"
#include "tests/fixtures/LocalHttpServer.h"
#include "tests/fixtures/TempHome.h"

namespace {

using lumora::testing::LocalHttpServer;
using namespace lumora::fuse;
using Steady = std::chrono::steady_clock;

constexpr uint64_t kObjectSize = uint64_t{512} << 20;
constexpr int kSeeks = 8;
// Read in order before each jump: enough for a window of several MiB.
constexpr uint64_t kReadInOrder = uint64_t{4} << 20;
// Where each jump goes (MiB): far apart, forwards and back, none into what
// was read or read ahead before.
constexpr uint64_t kJumps[kSeeks] = {200, 40, 330, 120, 450, 260, 80, 390};
constexpr uint64_t kReadSize = 128 << 10;
constexpr uint64_t kThroughputRead = uint64_t{256} << 20;

double seconds(Steady::duration d) {
  return std::chrono::duration<double>(d).count();
}

// bench/DelayProxy, started beside this program, in front of `port`.
struct Proxy {
  pid_t pid = -1;
  int port = 0;
  Proxy(int target, double oneWayMs, double mbit) {
    auto path = std::filesystem::read_symlink("/proc/self/exe").parent_path() / "DelayProxy";
    int out[2];
    if (::pipe(out) != 0) return;
    pid = ::fork();
    if (pid == 0) {
      ::dup2(out[1], 1);
      ::close(out[0]);
      std::string t = std::to_string(target), d = std::to_string(oneWayMs),
                  m = std::to_string(mbit);
      ::execl(path.c_str(), "DelayProxy", t.c_str(), d.c_str(), m.c_str(), nullptr);
      ::_exit(127);
    }
    ::close(out[1]);
    FILE* in = ::fdopen(out[0], "r");
    if (in == nullptr || std::fscanf(in, "%d", &port) != 1) port = 0;
    if (in != nullptr) std::fclose(in);
  }
  ~Proxy() {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
  }
};

struct Figures {
  std::vector<double> seeks;  // seconds each
  double median() {
    std::sort(seeks.begin(), seeks.end());
    return seeks.empty() ? -1 : seeks[seeks.size() / 2];
  }
  double most() const { return seeks.empty() ? -1 : *std::max_element(seeks.begin(), seeks.end()); }
};

// One reader's scrubbing through the object, on a proxy of its own so that
// transfers another run left under way take none of this one's link.
// `readsAfter` < 0: instead, kThroughputRead read in order as fast as it
// comes, timed.
bool run(LocalHttpServer& server, const std::filesystem::path& work, double rttMs, double mbit,
         bool readersFirst, int readsAfter, Figures& figures) {
  Proxy proxy(server.port(), rttMs / 2, mbit);
  if (proxy.port == 0) return std::fprintf(stderr, "no proxy\n"), false;
  std::string base = "http://127.0.0.1:" + std::to_string(proxy.port);
  // Leaked: transfers under way at the end may still call into them.
  auto* backend = new std::shared_ptr<lumora::backend::LumoraBackend>(
      std::make_shared<lumora::backend::LumoraBackend>(
          lumora::fileprovider::Domain{"bench", "Bench"}, base, std::nullopt,
          work / "defaults.json", std::make_shared<lumora::HttpSession>()));
  auto* extension = new lumora::provider::FileProviderExtension({"bench", "Bench"}, *backend);
  auto* driver = new ExtensionDriver(*extension);
  ContentCache cache(work / ("cache" + std::to_string(readsAfter) + (readersFirst ? "f" : "q")),
                     uint64_t{2} << 30);
  if (!cache.prepare()) return std::fprintf(stderr, "no cache\n"), false;
  ContentReader reader(*driver, kMaxTransfers, kReadTimeout, readersFirst);

  ContentSource source{"mirror/big.bin", {"e1", {}}};
  auto first = reader.fetchFirstBlock(source);
  if (!first)
    return std::fprintf(stderr, "first block: %s\n", first.error().description.c_str()), false;
  auto lease = cache.create(source.identifier, "e1", first->contents.fileSize);
  if (!lease) return std::fprintf(stderr, "no entry\n"), false;
  ContentReader::store(lease->share(), 0, first->bytes);

  ReadAhead ahead;
  if (readsAfter < 0) {
    auto start = Steady::now();
    for (uint64_t done = 0; done < kThroughputRead; done += kReadSize) {
      if (!reader.ensure(source, lease->share(), ahead, done, kReadSize)) {
        return std::fprintf(stderr, "read in order failed\n"), false;
      }
    }
    figures.seeks.push_back(seconds(Steady::now() - start));
    reader.stop();
    return true;
  }
  // A player: it reads in order at half the link's rate, then jumps.
  const auto perRead = std::chrono::duration_cast<Steady::duration>(
      std::chrono::duration<double>(kReadSize * 8 / (mbit * 1e6) * 2));
  uint64_t at = 0;
  for (int i = 0; i < kSeeks; ++i) {
    auto due = Steady::now();
    // At least kReadInOrder, then on to the read that moves the read-ahead
    // on, and `readsAfter` more: the jump comes as that read-ahead is asked
    // for (0), or once its bytes flow.
    uint64_t fetchedBefore = 0;
    int countdown = -1;
    for (uint64_t done = 0; countdown != 0; done += kReadSize) {
      std::this_thread::sleep_until(due);
      due += perRead;
      if (!reader.ensure(source, lease->share(), ahead, at + done, kReadSize)) {
        return std::fprintf(stderr, "read in order failed\n"), false;
      }
      std::lock_guard lock(ahead.mutex);
      if (countdown > 0) {
        --countdown;
      } else if (done >= kReadInOrder && ahead.fetchedUntil >= fetchedBefore + (1 << 20)) {
        countdown = readsAfter;
      }
      fetchedBefore = ahead.fetchedUntil;
    }
    at = kJumps[i] << 20;
    auto start = Steady::now();
    if (!reader.ensure(source, lease->share(), ahead, at, 4096)) {
      return std::fprintf(stderr, "seek failed\n"), false;
    }
    figures.seeks.push_back(seconds(Steady::now() - start));
  }
  reader.stop();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  double rttMs = argc > 1 ? std::atof(argv[1]) : 40;
  double mbit = argc > 2 ? std::atof(argv[2]) : 40;
  lumora::testing::TempDir work;
  lumora::SharedDefaults(work.path() / "defaults.json")
      .setString(lumora::shared::kAccessTokenDefaultsKey, "bench");

  LocalHttpServer server;
  server.get("/storage/list", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content(R"({"entries":[{"key":")" + req.get_param_value("prefix") + R"(","size":)" +
                        std::to_string(kObjectSize) + R"(,"etag":"e1"}]})",
                    "application/json");
  });
  // The download URL goes through the proxy the request came by.
  server.get("/storage/download-url", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content(R"({"url":"http://)" + req.get_header_value("Host") + "/objects/" +
                        req.get_param_value("key") + R"(","expires":4102444800})",
                    "application/json");
  });
  server.get("/objects/(.*)", [](const httplib::Request&, httplib::Response& res) {
    res.set_header("ETag", "\"e1\"");
    LocalHttpServer::streamPattern(res, kObjectSize);  // httplib answers the Range
  });

  double reference = 256.0 * 1024 * 8 / (mbit * 1e6) + rttMs / 1e3;
  std::printf("%-60s %9s %9s %7s\n", "figure (vs one block + one round trip)", "ours", "reference",
              "ratio");
  for (int readsAfter : {0, 2}) {
    Figures first, fifo;
    for (bool readersFirst : {true, false}) {
      if (!run(server, work.path(), rttMs, mbit, readersFirst, readsAfter,
               readersFirst ? first : fifo)) {
        return 1;
      }
    }
    const char* when = readsAfter == 0 ? "as read-ahead is asked for" : "while read-ahead flows";
    struct Line {
      std::string name;
      double value;
    };
    for (const Line& line : {Line{std::string("seek ") + when + ", median", first.median()},
                             Line{std::string("seek ") + when + ", slowest", first.most()},
                             Line{"  one queue in arrival order, median", fifo.median()},
                             Line{"  one queue in arrival order, slowest", fifo.most()}}) {
      std::printf("%-60s %8.0fms %8.0fms %7.2f\n", line.name.c_str(), line.value * 1e3,
                  reference * 1e3, line.value / reference);
    }
    std::printf(
        "ROW\tseek %s, %.0f ms RTT, %.0f Mbit/s (ms, median, vs one block + RTT)\t%.0f\t%.0f\t"
        "%.2f\t<= 1\n",
        when, rttMs, mbit, first.median() * 1e3, reference * 1e3, first.median() / reference);
    std::printf(
        "ROW\tthe same, one queue in arrival order (ms, median, vs one block + RTT)\t%.0f\t%.0f\t"
        "%.2f\t-\n",
        fifo.median() * 1e3, reference * 1e3, fifo.median() / reference);
  }
  // Reading in order, on the same round trip without a cap: read-ahead in
  // parts of at most kMaxStream, of which kSlotsForReads fewer at once,
  // beside the wider parts of the one queue.
  Figures first, fifo;
  for (bool readersFirst : {true, false}) {
    if (!run(server, work.path(), rttMs, 0, readersFirst, -1, readersFirst ? first : fifo)) {
      return 1;
    }
  }
  double mb = static_cast<double>(kThroughputRead) / 1e6;
  std::printf("%-60s %7.0fMB/s %7.0fMB/s %7.2f\n", "256 MiB in order, no cap (vs one queue)",
              mb / first.median(), mb / fifo.median(), fifo.median() / first.median());
  std::printf(
      "ROW\t256 MiB read in order, %.0f ms RTT, no cap (MB/s, vs one queue in arrival "
      "order)\t%.0f\t%.0f\t%.2f\t>= 0.9\n",
      rttMs, mb / first.median(), mb / fifo.median(), fifo.median() / first.median());
  return 0;
}
