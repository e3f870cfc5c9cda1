#include "platform/fileprovider/linux/ControlSocket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/foundation/Paths.h"

namespace lumora::fuse {

namespace fs = std::filesystem;
using namespace std::chrono;

namespace {

Result<sockaddr_un> addressFor(const fs::path& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.string().size() >= sizeof address.sun_path) {
    return std::unexpected(posixError(ENAMETOOLONG, "control socket path " + path.string()));
  }
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  return address;
}

// Waits for `events` on `fd` until `deadline`; false on time-out or error.
bool waitFor(int fd, short events, steady_clock::time_point deadline) {
  for (;;) {
    auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
    if (left < 0) return false;
    pollfd p{fd, events, 0};
    int ready = ::poll(&p, 1, static_cast<int>(left));
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR) return false;
  }
}

}  // namespace

std::optional<std::string_view> controlRequestLine(std::string_view received) {
  auto end = received.substr(0, kMaxControlRequest).find('\n');
  if (end == std::string_view::npos) return std::nullopt;
  return received.substr(0, end);
}

ControlRequest parseControlRequest(std::string_view line) {
  ControlRequest request;
  if (line == "status") {
    request.kind = ControlRequest::Kind::status;
  } else if (line == "remove") {
    request.kind = ControlRequest::Kind::remove;
  } else if (line.starts_with("signal ") && line.size() > 7) {
    request.kind = ControlRequest::Kind::signal;
    request.container = line.substr(7);
  } else if (line == "signal" || line == "signal ") {
    request.problem = "signal needs a container identifier";
  } else {
    request.problem = "unknown request";
  }
  return request;
}

fs::path controlSocketPath(const std::string& domainIdentifier) {
  fs::path folder;
  if (auto runtime = paths::runtimeDir()) {
    folder = *runtime / "lumora";
  } else {
    folder = fs::path("/tmp") / ("lumora-" + std::to_string(::getuid()));
  }
  return folder / (domainIdentifier + ".sock");
}

Result<void> prepareControlFolder(const fs::path& socketPath) {
  fs::path folder = socketPath.parent_path();
  std::error_code ec;
  fs::create_directories(folder.parent_path(), ec);
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    return std::unexpected(posixError(errno, "cannot create " + folder.string()));
  }
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0) return std::unexpected(posixError(errno, folder.string()));
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) {
    return std::unexpected(posixError(EPERM, folder.string() + " is not the user's own folder"));
  }
  if ((st.st_mode & 0777) != 0700 && ::chmod(folder.c_str(), 0700) != 0) {
    return std::unexpected(posixError(errno, folder.string()));
  }
  return {};
}

Result<std::string> sendControlRequest(const fs::path& socketPath, const std::string& request,
                                       milliseconds timeout) {
  auto deadline = steady_clock::now() + timeout;
  auto address = addressFor(socketPath);
  if (!address) return std::unexpected(address.error());
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::unexpected(posixError(errno, "socket"));
  auto closeFd = [fd] { ::close(fd); };
  if (::connect(fd, reinterpret_cast<sockaddr*>(&*address), sizeof *address) != 0) {
    int code = errno;
    closeFd();
    return std::unexpected(posixError(code, "no daemon answers at " + socketPath.string()));
  }
  std::string line = request + "\n";
  if (line.size() > kMaxControlRequest) {
    closeFd();
    return std::unexpected(posixError(EMSGSIZE, "the request is too long for the daemon"));
  }
  if (::send(fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
    int code = errno;
    closeFd();
    return std::unexpected(posixError(code, "cannot send to the daemon"));
  }
  std::string answer;
  char buffer[512];
  while (answer.find('\n') == std::string::npos && answer.size() < kMaxControlRequest) {
    if (!waitFor(fd, POLLIN, deadline)) {
      closeFd();
      return std::unexpected(posixError(ETIMEDOUT, "the daemon did not answer"));
    }
    ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    answer.append(buffer, static_cast<size_t>(got));
  }
  closeFd();
  auto end = answer.find('\n');
  if (end == std::string::npos) {
    return std::unexpected(posixError(ECONNRESET, "the daemon closed the connection"));
  }
  return answer.substr(0, end);
}

Result<std::unique_ptr<ControlServer>> ControlServer::start(fs::path socketPath, Handler handler) {
  if (auto ready = prepareControlFolder(socketPath); !ready) return std::unexpected(ready.error());
  auto address = addressFor(socketPath);
  if (!address) return std::unexpected(address.error());
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return std::unexpected(posixError(errno, "socket"));
  auto bindIt = [&] { return ::bind(fd, reinterpret_cast<sockaddr*>(&*address), sizeof *address); };
  if (bindIt() != 0) {
    int code = errno;
    if (code == EADDRINUSE) {
      // A live daemon answers; a dead one's file is only in the way.
      if (sendControlRequest(socketPath, "status", milliseconds(500))) {
        ::close(fd);
        return std::unexpected(posixError(EADDRINUSE, "Another daemon already serves this domain"));
      }
      ::unlink(socketPath.c_str());
      code = bindIt() == 0 ? 0 : errno;
    }
    if (code != 0) {
      ::close(fd);
      return std::unexpected(posixError(code, "cannot bind " + socketPath.string()));
    }
  }
  if (::listen(fd, 16) != 0) {
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
  ::unlink(path_.c_str());
  ::close(listenFd_);
  ::close(wakeFd_);
}

void ControlServer::serve() {
  for (;;) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    if (!(fds[0].revents & POLLIN)) continue;
    int connection = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) continue;
    answer(connection);
    ::close(connection);
  }
}

void ControlServer::answer(int connection) {
  // A client that never finishes its line must not hold the daemon's socket.
  auto deadline = steady_clock::now() + seconds(2);
  std::string request;
  char buffer[512];
  while (request.find('\n') == std::string::npos && request.size() < kMaxControlRequest) {
    if (!waitFor(connection, POLLIN, deadline)) return;
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
