#include "platform/fileprovider/linux/control/ControlSocket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/foundation/Paths.h"

namespace lumora::fuse {

namespace fs = std::filesystem;
using namespace std::chrono;

namespace {

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

fs::path unmountedMarkerPath(const std::string& domainIdentifier) {
  return controlSocketPath(domainIdentifier).replace_extension(".unmounted");
}

Result<sockaddr_un> controlSocketAddress(const fs::path& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.string().size() >= sizeof address.sun_path) {
    return std::unexpected(posixError(ENAMETOOLONG, "control socket path " + path.string()));
  }
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  return address;
}

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
  } else if (line == "report") {
    request.kind = ControlRequest::Kind::report;
  } else if (line.starts_with("report ") && line.size() > 7) {
    request.kind = ControlRequest::Kind::report;
    request.path = line.substr(7);
  } else if (line.starts_with("keep ") && line.size() > 5) {
    request.kind = ControlRequest::Kind::keep;
    request.path = line.substr(5);
  } else if (line.starts_with("free ") && line.size() > 5) {
    request.kind = ControlRequest::Kind::free;
    request.path = line.substr(5);
  } else if (line == "keep" || line == "free" || line == "keep " || line == "free ") {
    request.problem = std::string(line.substr(0, 4)) + " needs a path";
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
  if (::mkdir(folder.c_str(), 0700) == 0) {
    // Made just now by us: the umask may have taken bits off, never added.
    (void)::chmod(folder.c_str(), 0700);
  } else if (errno != EEXIST) {
    return std::unexpected(posixError(errno, "cannot create " + folder.string()));
  }
  return checkControlFolder(socketPath);
}

Result<void> checkControlFolder(const fs::path& socketPath) {
  fs::path folder = socketPath.parent_path();
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0) return std::unexpected(posixError(errno, folder.string()));
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & 0777) != 0700) {
    return std::unexpected(
        posixError(EPERM, folder.string() + " is not the user's own private folder (0700)"));
  }
  return {};
}

bool peerIsThisUser(int fd) {
  ucred peer{};
  socklen_t size = sizeof peer;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return false;
  return peer.uid == ::getuid();
}

namespace {

// A connection to the user's own daemon at `socketPath`, or why there is none.
Result<int> connectToDaemon(const fs::path& socketPath, milliseconds timeout) {
  if (auto folder = checkControlFolder(socketPath); !folder) {
    return std::unexpected(folder.error());
  }
  auto address = controlSocketAddress(socketPath);
  if (!address) return std::unexpected(address.error());
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::unexpected(posixError(errno, "socket"));
  // A connect waits while the daemon's queue of connections is full (it is
  // stopped, or stuck); the send time-out bounds that wait, so that no
  // caller (the window, on quit) hangs on it. Zero would mean no bound.
  auto bound = std::max(timeout, milliseconds(1));
  timeval limit{static_cast<time_t>(bound.count() / 1000),
                static_cast<suseconds_t>(bound.count() % 1000 * 1000)};
  (void)::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&*address), sizeof *address) != 0) {
    int code = errno;
    ::close(fd);
    return std::unexpected(posixError(code, "no daemon answers at " + socketPath.string()));
  }
  if (!peerIsThisUser(fd)) {
    ::close(fd);
    return std::unexpected(
        posixError(EPERM, "the control socket " + socketPath.string() + " is another user's"));
  }
  return fd;
}

}  // namespace

bool controlSocketAccepts(const fs::path& socketPath, milliseconds timeout) {
  auto fd = connectToDaemon(socketPath, timeout);
  if (!fd) return false;
  ::close(*fd);
  return true;
}

Result<std::string> sendControlRequest(const fs::path& socketPath, const std::string& request,
                                       milliseconds timeout) {
  auto deadline = steady_clock::now() + timeout;
  auto connected = connectToDaemon(socketPath, timeout);
  if (!connected) return std::unexpected(connected.error());
  int fd = *connected;
  auto closeFd = [fd] { ::close(fd); };
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

}  // namespace lumora::fuse
