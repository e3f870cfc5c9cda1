#pragma once
// The daemon's control socket: one request line in, one answer line out.
// Requests: "signal <container identifier>", "remove", "status". Answers
// start with "ok" or "error".

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "platform/foundation/Error.h"

namespace lumora::fuse {

// The most bytes a request line may take, its line break included.
inline constexpr size_t kMaxControlRequest = 4096;

// The request line in what a client sent: the bytes before the first line
// break, when that break lies within kMaxControlRequest bytes; none for an
// unterminated or overlong request.
std::optional<std::string_view> controlRequestLine(std::string_view received);

struct ControlRequest {
  enum class Kind { status, remove, signal, invalid };
  Kind kind = Kind::invalid;
  std::string container;  // signal: the container identifier, never empty
  std::string problem;    // invalid: what is wrong with the request
};
// Reads one request line (without its line break).
ControlRequest parseControlRequest(std::string_view line);

// $XDG_RUNTIME_DIR/lumora/<domain>.sock, or a 0700 folder of the user's
// under /tmp when XDG_RUNTIME_DIR is unset. The folder is not created here.
std::filesystem::path controlSocketPath(const std::string& domainIdentifier);
// Creates the socket's folder with mode 0700 and checks that it is the
// user's own (never someone else's folder or a symlink).
Result<void> prepareControlFolder(const std::filesystem::path& socketPath);

// Sends one request and returns the answer line (without its line break).
Result<std::string> sendControlRequest(const std::filesystem::path& socketPath,
                                       const std::string& request,
                                       std::chrono::milliseconds timeout);

class ControlServer {
 public:
  using Handler = std::function<std::string(const std::string& request)>;
  // Binds the socket (replacing a dead daemon's leftover) and serves
  // requests on its own thread, one after another.
  static Result<std::unique_ptr<ControlServer>> start(std::filesystem::path socketPath,
                                                      Handler handler);
  ~ControlServer();  // stops the thread and removes the socket file
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

 private:
  ControlServer(std::filesystem::path path, int listenFd, int wakeFd, Handler handler);
  void serve();
  void answer(int connection);

  const std::filesystem::path path_;
  const int listenFd_;
  const int wakeFd_;  // an eventfd: written once to stop the thread
  const Handler handler_;
  std::thread thread_;
};

}  // namespace lumora::fuse
