// The daemon's end of the control socket.

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/fileprovider/linux/control/ControlSocket.h"

namespace lumora::fuse {

namespace fs = std::filesystem;
using namespace std::chrono;

namespace {

// Requests answered at once; more wait in the listen queue, where a
// connection is already accepted as far as a client's liveness check goes.
constexpr size_t kMaxConcurrentRequests = 16;

// Waits until `fd` has bytes to read; false on time-out, error, or when the
// server is stopping (`wakeFd` is readable).
bool readable(int fd, int wakeFd, steady_clock::time_point deadline) {
  for (;;) {
    auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
    if (left < 0) return false;
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    int ready = ::poll(fds, 2, static_cast<int>(left));
    if (ready > 0) return fds[1].revents == 0;
    if (ready == 0 || errno != EINTR) return false;
  }
}

}  // namespace

Result<std::unique_ptr<ControlServer>> ControlServer::start(fs::path socketPath, Handler handler) {
  if (auto ready = prepareControlFolder(socketPath); !ready) return std::unexpected(ready.error());
  auto address = controlSocketAddress(socketPath);
  if (!address) return std::unexpected(address.error());
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return std::unexpected(posixError(errno, "socket"));
  auto bindIt = [&] { return ::bind(fd, reinterpret_cast<sockaddr*>(&*address), sizeof *address); };
  if (bindIt() != 0) {
    int code = errno;
    if (code == EADDRINUSE) {
      // A live daemon accepts, busy or not; a dead one's file is only in
      // the way.
      if (controlSocketAccepts(socketPath)) {
        ::close(fd);
        return std::unexpected(Error{kPosixErrorDomain, EALREADY, kAlreadyServed});
      }
      ::unlink(socketPath.c_str());
      code = bindIt() == 0 ? 0 : errno;
    }
    if (code != 0) {
      ::close(fd);
      return std::unexpected(posixError(code, "cannot bind " + socketPath.string()));
    }
  }
  if (::listen(fd, 64) != 0) {
    int code = errno;
    ::close(fd);
    return std::unexpected(posixError(code, "cannot listen on " + socketPath.string()));
  }
  int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) {
    int code = errno;
    ::close(fd);
    return std::unexpected(posixError(code, "eventfd"));
  }
  std::unique_ptr<ControlServer> server(
      new ControlServer(std::move(socketPath), fd, wake, std::move(handler)));
  server->thread_ = std::thread([s = server.get()] { s->serve(); });
  return server;
}

ControlServer::ControlServer(fs::path path, int listenFd, int wakeFd, Handler handler)
    : path_(std::move(path)), listenFd_(listenFd), wakeFd_(wakeFd), handler_(std::move(handler)) {}

ControlServer::~ControlServer() {
  uint64_t one = 1;
  (void)!::write(wakeFd_, &one, sizeof one);
  if (thread_.joinable()) thread_.join();
  std::list<std::thread> workers;
  {
    std::lock_guard lock(mutex_);
    workers = std::move(workers_);
  }
  for (auto& worker : workers) worker.join();
  ::unlink(path_.c_str());
  ::close(listenFd_);
  ::close(wakeFd_);
}

void ControlServer::reapFinished() {
  std::list<std::thread> done;
  {
    std::lock_guard lock(mutex_);
    for (auto id : finished_) {
      auto it = std::find_if(workers_.begin(), workers_.end(),
                             [&](const std::thread& t) { return t.get_id() == id; });
      if (it != workers_.end()) done.splice(done.end(), workers_, it);
    }
    finished_.clear();
  }
  for (auto& worker : done) worker.join();
}

void ControlServer::serve() {
  for (;;) {
    reapFinished();
    bool full = false;
    {
      std::lock_guard lock(mutex_);
      full = workers_.size() >= kMaxConcurrentRequests;
    }
    pollfd fds[2] = {{listenFd_, static_cast<short>(full ? 0 : POLLIN), 0}, {wakeFd_, POLLIN, 0}};
    // While full, look again now and then for workers that ended.
    if (::poll(fds, 2, full ? 20 : -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    if (!(fds[0].revents & POLLIN)) continue;
    int connection = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) continue;
    if (!peerIsThisUser(connection)) {
      ::close(connection);  // another user's process: no answer at all
      continue;
    }
    std::lock_guard lock(mutex_);
    workers_.emplace_back([this, connection] {
      answer(connection);
      ::close(connection);
      std::lock_guard done(mutex_);
      finished_.push_back(std::this_thread::get_id());
    });
  }
}

void ControlServer::answer(int connection) {
  // A client that never finishes its line must not hold a worker for long.
  auto deadline = steady_clock::now() + seconds(2);
  std::string request;
  char buffer[512];
  while (request.find('\n') == std::string::npos && request.size() < kMaxControlRequest) {
    if (!readable(connection, wakeFd_, deadline)) return;
    ssize_t got = ::recv(connection, buffer, sizeof buffer, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    request.append(buffer, static_cast<size_t>(got));
  }
  auto line = controlRequestLine(request);
  if (!line) return;
  std::string reply;
  try {
    reply = handler_(std::string(*line));
  } catch (...) {
    reply = "error internal failure";
  }
  reply.push_back('\n');
  (void)::send(connection, reply.data(), reply.size(), MSG_NOSIGNAL);
}

}  // namespace lumora::fuse
