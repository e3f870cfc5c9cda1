// A TCP proxy that makes loopback look like a link with latency, for the
// benchmarks: every chunk read from one side is written to the other a fixed
// one-way delay later, optionally paced by a bandwidth cap per direction
// shared by all connections, as one access link would be. The link sends
// when it is free, in turns of kTurn bytes taken from each connection with
// bytes to send, so connections share it evenly and a connection cut stops
// taking turns at once. A new connection also waits one round trip before
// its first bytes go out, as a TCP handshake would. A client that ends its
// side is taken to be gone (HTTP clients do not half-close): what the
// server still sends it is dropped. Prints its port, then serves until
// SIGTERM or SIGINT.
//   DelayProxy TARGET_PORT DELAY_MS [MBIT_PER_S] [--window BYTES]
// Only loopback: it listens on 127.0.0.1 and forwards to 127.0.0.1.
//
// One thread, non-blocking sockets and one timer: each chunk carries its
// release time, so a slow or busy connection never holds up another.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <queue>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Nanos = std::chrono::nanoseconds;

struct Chunk {
  Clock::time_point release;
  std::vector<char> bytes;
  size_t sent = 0;
};

// The bytes a capped link sends in one turn of one connection.
constexpr size_t kTurn = 16 * 1024;

// One direction of a proxied connection: bytes read from `from`, waiting
// for the link (capped), then held until their release time, then written
// to `to`.
struct Flow {
  int from = -1;
  int to = -1;
  std::deque<Chunk> queued;  // not sent on the link yet; `sent` counts what was
  std::deque<Chunk> held;
  size_t heldBytes = 0;    // queued and held
  bool readEnded = false;  // `from` reached end of stream
  bool writeShut = false;  // `to` was told so
};

struct Link {
  uint64_t id = 0;
  int client = -1;
  int server = -1;
  Clock::time_point open;  // when the handshake round trip is over
  bool gone = false;       // the client went: nothing more is carried
  Flow up;                 // client to server
  Flow down;               // server to client
  Link() = default;
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;
  ~Link() {
    if (client >= 0) ::close(client);
    if (server >= 0) ::close(server);
  }
};

struct Wake {
  Clock::time_point at;
  uint64_t link;
  bool operator>(const Wake& o) const { return at > o.at; }
};

struct Options {
  int targetPort = 0;
  Nanos delay{0};
  double bytesPerSecond = 0;  // 0: no cap
  size_t window = 4u << 20;
};

// One direction of the shared link: when it is free again, and whose turn
// is next.
struct Pacer {
  Clock::time_point freeAt{};
  uint64_t lastTurn = 0;  // the link id that sent last
  bool down = false;
};

class Proxy {
 public:
  explicit Proxy(const Options& options) : options_(options) {}

  int run();

 private:
  void accept();
  void onReadable(Link& link, Flow& flow);
  void send(Pacer& pacer);
  void flush(Link& link, Flow& flow);
  void updateInterest(Link& link);
  void armTimer();
  void drop(uint64_t id);
  bool finished(const Link& link) const;

  Options options_;
  int epoll_ = -1;
  int listener_ = -1;
  int timer_ = -1;
  int signals_ = -1;
  uint64_t nextId_ = 1;
  std::unordered_map<uint64_t, std::unique_ptr<Link>> links_;
  // Descriptor to link, for epoll events.
  std::unordered_map<int, uint64_t> byFd_;
  std::priority_queue<Wake, std::vector<Wake>, std::greater<Wake>> wakes_;
  Pacer upPacer_, downPacer_{{}, 0, true};
  std::vector<char> buffer_ = std::vector<char>(256 * 1024);
};

void setNoDelay(int fd) {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool finishedFlow(const Flow& f) {
  return f.readEnded && f.queued.empty() && f.held.empty();
}

bool Proxy::finished(const Link& link) const {
  return link.gone || (finishedFlow(link.up) && finishedFlow(link.down));
}

void Proxy::accept() {
  for (;;) {
    int client = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (client < 0) return;
    int server = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(options_.targetPort));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (server < 0 || (::connect(server, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0 &&
                       errno != EINPROGRESS)) {
      ::close(client);
      if (server >= 0) ::close(server);
      continue;
    }
    setNoDelay(client);
    setNoDelay(server);
    auto link = std::make_unique<Link>();
    link->id = nextId_++;
    link->client = client;
    link->server = server;
    link->open = Clock::now() + 2 * options_.delay;
    link->up.from = client;
    link->up.to = server;
    link->down.from = server;
    link->down.to = client;
    byFd_[client] = link->id;
    byFd_[server] = link->id;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP;
    ev.data.fd = client;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, client, &ev);
    ev.data.fd = server;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, server, &ev);
    links_[link->id] = std::move(link);
  }
}

void Proxy::onReadable(Link& link, Flow& flow) {
  // Read only what the window allows: a full window is what stops a sender
  // on a real link.
  while (!flow.readEnded && flow.heldBytes < options_.window) {
    size_t want = std::min(buffer_.size(), options_.window - flow.heldBytes);
    ssize_t n = ::read(flow.from, buffer_.data(), want);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) break;
    Clock::time_point now = Clock::now();
    if (n <= 0 && &flow == &link.up) {
      link.gone = true;
      return;
    }
    if (n <= 0) {
      // The end of the stream travels as late as the bytes before it would.
      flow.readEnded = true;
      Chunk end{std::max(now, link.open) + options_.delay, {}};
      if (options_.bytesPerSecond > 0) {
        flow.queued.push_back(std::move(end));
      } else {
        wakes_.push({end.release, link.id});
        flow.held.push_back(std::move(end));
      }
      break;
    }
    Chunk chunk{std::max(now, link.open) + options_.delay,
                std::vector<char>(buffer_.data(), buffer_.data() + n)};
    flow.heldBytes += static_cast<size_t>(n);
    if (options_.bytesPerSecond > 0) {
      flow.queued.push_back(std::move(chunk));
    } else {
      wakes_.push({chunk.release, link.id});
      flow.held.push_back(std::move(chunk));
    }
  }
}

void Proxy::send(Pacer& pacer) {
  if (options_.bytesPerSecond <= 0) return;
  Clock::time_point now = Clock::now();
  // Turns are given a little ahead, so that the timer need not wake for each.
  const Clock::time_point horizon = now + std::chrono::milliseconds(1);
  for (;;) {
    if (pacer.freeAt > horizon) break;
    // The next connection after the last one served with bytes to send, and
    // whose handshake is over.
    Link* next = nullptr;
    Link* first = nullptr;
    for (auto& [id, link] : links_) {
      Flow& flow = pacer.down ? link->down : link->up;
      if (flow.queued.empty() || link->open > now || link->gone) continue;
      if (id > pacer.lastTurn && (!next || id < next->id)) next = link.get();
      if (!first || id < first->id) first = link.get();
    }
    if (!next) next = first;
    if (!next) break;
    Flow& flow = pacer.down ? next->down : next->up;
    Chunk& from = flow.queued.front();
    Clock::time_point start = std::max(pacer.freeAt, now);
    Chunk part{start + options_.delay, {}};
    if (!from.bytes.empty()) {
      size_t size = std::min(kTurn, from.bytes.size() - from.sent);
      part.bytes.assign(from.bytes.data() + from.sent, from.bytes.data() + from.sent + size);
      from.sent += size;
      pacer.freeAt = start + std::chrono::duration_cast<Nanos>(std::chrono::duration<double>(
                                 static_cast<double>(size) / options_.bytesPerSecond));
      part.release = pacer.freeAt + options_.delay;
    }
    if (from.sent >= from.bytes.size()) flow.queued.pop_front();
    pacer.lastTurn = next->id;
    wakes_.push({part.release, next->id});
    flow.held.push_back(std::move(part));
  }
  // The link wakes itself (no connection: id 0) when it can send again.
  std::optional<Clock::time_point> wake;
  for (auto& [id, link] : links_) {
    Flow& flow = pacer.down ? link->down : link->up;
    if (flow.queued.empty() || link->gone) continue;
    Clock::time_point at = std::max(pacer.freeAt, link->open);
    if (!wake || at < *wake) wake = at;
  }
  if (wake) wakes_.push({*wake, 0});
}

void Proxy::flush(Link& link, Flow& flow) {
  Clock::time_point now = Clock::now();
  while (!flow.held.empty() && flow.held.front().release <= now) {
    Chunk& c = flow.held.front();
    if (c.bytes.empty()) {
      flow.held.pop_front();
      continue;
    }
    ssize_t n = ::send(flow.to, c.bytes.data() + c.sent, c.bytes.size() - c.sent, MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n < 0) {
      // The receiver is gone: nothing more can be delivered either way.
      for (Flow* f : {&link.up, &link.down}) {
        f->queued.clear();
        f->held.clear();
        f->heldBytes = 0;
        f->readEnded = true;
      }
      return;
    }
    c.sent += static_cast<size_t>(n);
    if (c.sent < c.bytes.size()) return;
    flow.heldBytes -= c.bytes.size();
    flow.held.pop_front();
  }
  if (finishedFlow(flow) && !flow.writeShut) {
    ::shutdown(flow.to, SHUT_WR);
    flow.writeShut = true;
  }
}

void Proxy::updateInterest(Link& link) {
  auto events = [&](int fd) {
    uint32_t e = 0;
    Flow& reading = fd == link.client ? link.up : link.down;
    Flow& writing = fd == link.client ? link.down : link.up;
    // A hang-up is noticed by reading; asking for it with a full window
    // would only spin.
    if (!reading.readEnded && reading.heldBytes < options_.window) e |= EPOLLIN | EPOLLRDHUP;
    // Wait for room only when a released chunk is stuck.
    if (!writing.held.empty() && writing.held.front().release <= Clock::now()) e |= EPOLLOUT;
    return e;
  };
  for (int fd : {link.client, link.server}) {
    epoll_event ev{};
    ev.events = events(fd);
    ev.data.fd = fd;
    ::epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &ev);
  }
}

void Proxy::drop(uint64_t id) {
  auto it = links_.find(id);
  if (it == links_.end()) return;
  byFd_.erase(it->second->client);
  byFd_.erase(it->second->server);
  links_.erase(it);  // closes both sockets, which leaves the epoll set
}

void Proxy::armTimer() {
  // Wakes of links already gone, or of chunks already sent, cost one spare tick.
  while (!wakes_.empty() && wakes_.top().link != 0 && !links_.contains(wakes_.top().link)) {
    wakes_.pop();
  }
  itimerspec spec{};
  if (!wakes_.empty()) {
    auto ns = std::chrono::duration_cast<Nanos>(wakes_.top().at.time_since_epoch()).count();
    spec.it_value.tv_sec = std::max<int64_t>(ns / 1'000'000'000, 0);
    spec.it_value.tv_nsec = std::max<int64_t>(ns % 1'000'000'000, 1);
  }
  ::timerfd_settime(timer_, TFD_TIMER_ABSTIME, &spec, nullptr);
}

int Proxy::run() {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 ||
      ::listen(listener_, 512) < 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) < 0) {
    std::perror("DelayProxy: listen");
    return 1;
  }
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGINT);
  sigprocmask(SIG_BLOCK, &mask, nullptr);
  signals_ = ::signalfd(-1, &mask, SFD_CLOEXEC);
  // steady_clock is CLOCK_MONOTONIC on Linux, so release times arm it directly.
  timer_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
  for (int fd : {listener_, signals_, timer_}) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev);
  }
  std::printf("%d\n", ntohs(addr.sin_port));
  std::fflush(stdout);

  std::vector<epoll_event> events(256);
  for (;;) {
    int n = ::epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), -1);
    if (n < 0 && errno != EINTR) return 1;
    std::vector<uint64_t> touched;
    for (int i = 0; i < n; ++i) {
      int fd = events[i].data.fd;
      if (fd == signals_) return 0;
      if (fd == listener_) {
        accept();
        continue;
      }
      if (fd == timer_) {
        uint64_t ticks;
        [[maybe_unused]] ssize_t r = ::read(timer_, &ticks, sizeof ticks);
        Clock::time_point now = Clock::now();
        while (!wakes_.empty() && wakes_.top().at <= now) {
          touched.push_back(wakes_.top().link);
          wakes_.pop();
        }
        continue;
      }
      auto it = byFd_.find(fd);
      if (it == byFd_.end()) continue;
      Link& link = *links_.at(it->second);
      if (events[i].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
        if (fd == link.client) onReadable(link, link.up);
        if (fd == link.server) onReadable(link, link.down);
      }
      touched.push_back(link.id);
    }
    std::sort(touched.begin(), touched.end());
    touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
    for (uint64_t id : touched) {
      auto it = links_.find(id);
      if (it == links_.end()) continue;
      Link& link = *it->second;
      flush(link, link.up);
      flush(link, link.down);
      // Room freed by sending lets the reader go on.
      if (!link.up.readEnded && link.up.heldBytes < options_.window) onReadable(link, link.up);
      if (!link.down.readEnded && link.down.heldBytes < options_.window)
        onReadable(link, link.down);
      if (finished(link)) {
        drop(id);
      } else {
        updateInterest(link);
      }
    }
    // What was read waits for its turn on the link; the turns given make
    // the wakes of their connections.
    send(upPacer_);
    send(downPacer_);
    armTimer();
  }
}

bool parseNumber(const char* text, double& out) {
  char* end = nullptr;
  out = std::strtod(text, &end);
  return end != text && *end == '\0' && out >= 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::vector<const char*> positional;
  bool valid = true;
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--window" && i + 1 < argc) {
      double w = 0;
      valid = valid && parseNumber(argv[++i], w) && w >= 1;
      options.window = static_cast<size_t>(w);
    } else {
      positional.push_back(argv[i]);
    }
  }
  double port = 0, delayMs = 0, mbit = 0;
  if (!valid || positional.size() < 2 || positional.size() > 3 ||
      !parseNumber(positional[0], port) || port < 1 || port > 65535 ||
      !parseNumber(positional[1], delayMs) ||
      (positional.size() == 3 && !parseNumber(positional[2], mbit))) {
    std::fprintf(stderr, "usage: DelayProxy TARGET_PORT DELAY_MS [MBIT_PER_S] [--window BYTES]\n");
    return 2;
  }
  options.targetPort = static_cast<int>(port);
  options.delay =
      std::chrono::duration_cast<Nanos>(std::chrono::duration<double, std::milli>(delayMs));
  options.bytesPerSecond = mbit * 1e6 / 8;
  ::signal(SIGPIPE, SIG_IGN);
  return Proxy(options).run();
}
