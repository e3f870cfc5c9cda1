#pragma once
// The daemon's control socket: one request line in, one answer line out.
// Requests: "signal <container identifier>", "remove", "status", "keep
// <path>", "free <path>", "report [<path>]" (answered with JSON). Answers
// start with "ok" or "error". Only the user's own processes are answered,
// and only the user's own daemon is asked (SO_PEERCRED on both ends).

#include <sys/un.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "platform/foundation/Error.h"

namespace lumora::fuse {

// The exit status of a daemon that found another serving its domain, and
// its reason: the domain manager takes it for success.
inline constexpr int kExitAlreadyServed = 3;
inline constexpr const char* kAlreadyServed = "Another daemon already serves this domain";

// The most bytes a request line may take, its line break included.
inline constexpr size_t kMaxControlRequest = 4096;

// The request line in what a client sent: the bytes before the first line
// break, when that break lies within kMaxControlRequest bytes; none for an
// unterminated or overlong request.
std::optional<std::string_view> controlRequestLine(std::string_view received);

struct ControlRequest {
  enum class Kind { status, remove, signal, keep, free, report, invalid };
  Kind kind = Kind::invalid;
  std::string container;  // signal: the container identifier, never empty
  std::string path;       // keep, free: never empty; report: may be
  std::string problem;    // invalid: what is wrong with the request
};
// Reads one request line (without its line break).
ControlRequest parseControlRequest(std::string_view line);

// $XDG_RUNTIME_DIR/lumora/<domain>.sock, or a 0700 folder of the user's
// under /tmp when XDG_RUNTIME_DIR is unset. The folder is not created here.
std::filesystem::path controlSocketPath(const std::string& domainIdentifier);
// Beside the socket: left by a daemon whose mount the user unmounted, so
// that nothing mounts the domain again until the user connects or logs in
// again (the runtime folder goes at logout). A daemon that mounts removes it.
std::filesystem::path unmountedMarkerPath(const std::string& domainIdentifier);
Result<sockaddr_un> controlSocketAddress(const std::filesystem::path& socketPath);
// Creates the socket's folder with mode 0700 and checks it.
Result<void> prepareControlFolder(const std::filesystem::path& socketPath);
// The socket's folder is the user's own, with mode 0700, and not a symlink:
// under /tmp another user could otherwise make it first and answer there.
Result<void> checkControlFolder(const std::filesystem::path& socketPath);
// The process at the other end of a Unix socket runs as this user.
bool peerIsThisUser(int fd);

// Sends one request and returns the answer line (without its line break);
// connecting, too, is within `timeout`.
Result<std::string> sendControlRequest(const std::filesystem::path& socketPath,
                                       const std::string& request,
                                       std::chrono::milliseconds timeout);
// A daemon of this user listens on the socket: it accepts connections,
// however busy it is with earlier requests. Nothing is sent. A daemon whose
// queue of connections stays full for `timeout` counts as not listening.
bool controlSocketAccepts(const std::filesystem::path& socketPath,
                          std::chrono::milliseconds timeout = std::chrono::seconds(2));

class ControlServer {
 public:
  using Handler = std::function<std::string(const std::string& request)>;
  // Binds the socket (replacing a dead daemon's leftover) and serves
  // requests, each on a thread of its own, so that a slow one (a signal
  // waiting for the service) holds up no other.
  static Result<std::unique_ptr<ControlServer>> start(std::filesystem::path socketPath,
                                                      Handler handler);
  ~ControlServer();  // stops the thread and removes the socket file
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

 private:
  ControlServer(std::filesystem::path path, int listenFd, int wakeFd, Handler handler);
  void serve();
  void answer(int connection);
  void reapFinished();

  const std::filesystem::path path_;
  const int listenFd_;
  const int wakeFd_;  // an eventfd: written once to stop every thread
  const Handler handler_;
  std::mutex mutex_;
  std::list<std::thread> workers_;       // protected by mutex_
  std::list<std::thread::id> finished_;  // protected by mutex_: to be joined
  std::thread thread_;                   // last: it uses everything above
};

}  // namespace lumora::fuse
