#pragma once
// The daemon's control requests. The framing and the request parser: a
// request is exactly the bytes before the first line break, when that break
// lies within the limit, and parses to the one request its words name. The
// live socket: a request reaches the handler as exactly its first line, the
// handler's answer comes back whole, a request without a line break or
// longer than the limit is never handled, and the server keeps serving
// whatever a client sends.

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <optional>

#include "fuzz/checks/Property.h"
#include "platform/fileprovider/linux/control/ControlSocket.h"

namespace lumora::fuzz {

// The most bytes of a request line (line break included) that the server
// takes; a longer one is refused.
inline constexpr size_t kRequestLimit = 4096;

// Input, as for the live socket below: a mode byte (bits 1-7: 64-byte units
// of padding put in front), then the request.
inline std::string paddedRequest(std::string_view input) {
  unsigned mode = static_cast<unsigned char>(input[0]);
  std::string request(size_t(mode >> 1) * 64, 'x');
  request += input.substr(1);
  return request;
}

inline std::string checkControlRequest(std::string_view input) {
  using fuse::ControlRequest;
  if (input.empty()) return {};
  const std::string received = paddedRequest(input);
  const size_t lineEnd = received.find('\n');
  const auto line = fuse::controlRequestLine(received);
  if (lineEnd == std::string::npos || lineEnd + 1 > kRequestLimit) {
    LUMORA_PROPERTY(!line, "an unterminated or overlong request was taken");
    return {};
  }
  LUMORA_PROPERTY(line && *line == std::string_view(received).substr(0, lineEnd),
                  "the request line is not the bytes before the first break");

  const ControlRequest request = fuse::parseControlRequest(*line);
  const bool signal = line->starts_with("signal ") && line->size() > 7;
  LUMORA_PROPERTY((request.kind == ControlRequest::Kind::status) == (*line == "status"),
                  "status taken wrongly");
  LUMORA_PROPERTY((request.kind == ControlRequest::Kind::remove) == (*line == "remove"),
                  "remove taken wrongly");
  LUMORA_PROPERTY((request.kind == ControlRequest::Kind::signal) == signal, "signal taken wrongly");
  if (signal) {
    LUMORA_PROPERTY(request.container == line->substr(7),
                    "the container is not the rest of the line");
  }
  LUMORA_PROPERTY((request.kind == ControlRequest::Kind::invalid) == !request.problem.empty(),
                  "a refused request says no reason, or a taken one does");
  return {};
}

class ControlSocketHarness {
 public:
  explicit ControlSocketHarness(std::filesystem::path socket) : path_(std::move(socket)) {
    auto started = fuse::ControlServer::start(path_, [this](const std::string& request) {
      std::lock_guard lock(mutex_);
      last_ = request;
      ++handled_;
      return "ok " + std::to_string(request.size());
    });
    if (started) server_ = std::move(*started);
  }
  bool running() const { return server_ != nullptr; }
  const std::filesystem::path& path() const { return path_; }

  // Input: a mode byte (bit 0: a raw client instead of sendControlRequest;
  // bits 1-7: 64-byte units of padding put in front), then the request.
  std::string check(std::string_view input) {
    if (!server_) return "the control server did not start";
    if (input.empty()) return {};
    const bool raw = static_cast<unsigned char>(input[0]) & 1;
    std::string request = paddedRequest(input);
    size_t handledBefore = handledCount();
    return raw ? checkRaw(request, handledBefore) : checkClient(request, handledBefore);
  }

 private:
  size_t handledCount() {
    std::lock_guard lock(mutex_);
    return handled_;
  }
  std::string lastRequest() {
    std::lock_guard lock(mutex_);
    return last_;
  }

  std::string checkClient(const std::string& request, size_t handledBefore) {
    auto answer = fuse::sendControlRequest(path_, request, std::chrono::seconds(5));
    size_t lineEnd = request.find('\n');
    std::string first = request.substr(0, lineEnd);
    size_t lineSize = first.size() + 1;
    if (answer) {
      LUMORA_PROPERTY(lineSize <= kRequestLimit, "a request beyond the limit was handled");
      LUMORA_PROPERTY(handledCount() == handledBefore + 1, "not handled exactly once");
      LUMORA_PROPERTY(lastRequest() == first, "the handler saw " + escaped(lastRequest()));
      LUMORA_PROPERTY(*answer == "ok " + std::to_string(first.size()),
                      "the answer came back as " + escaped(*answer));
    } else {
      LUMORA_PROPERTY(lineSize > kRequestLimit,
                      "a request within the limit failed: " + answer.error().description);
      LUMORA_PROPERTY(handledCount() == handledBefore, "a refused request was handled");
    }
    return {};
  }

  // Sends the bytes as they are, closes the writing side, reads to the end.
  std::string checkRaw(const std::string& bytes, size_t handledBefore) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    LUMORA_PROPERTY(fd >= 0, "socket");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ::close(fd);
      return "cannot connect to the control server";
    }
    size_t sent = 0;
    while (sent < bytes.size()) {
      ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;  // the server gave up on an overlong request
      sent += static_cast<size_t>(n);
    }
    ::shutdown(fd, SHUT_WR);
    std::string answer;
    char buffer[512];
    for (;;) {
      ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      answer.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    size_t lineEnd = bytes.find('\n');
    if (lineEnd == std::string::npos) {
      LUMORA_PROPERTY(answer.empty(), "answered a request without a line break");
      LUMORA_PROPERTY(handledCount() == handledBefore, "handled a request without a line break");
      return {};
    }
    std::string first = bytes.substr(0, lineEnd);
    if (answer.empty()) {
      LUMORA_PROPERTY(lineEnd + 1 > kRequestLimit, "no answer to a request within the limit");
      LUMORA_PROPERTY(handledCount() == handledBefore, "handled but not answered");
      return {};
    }
    LUMORA_PROPERTY(lineEnd + 1 <= kRequestLimit, "a request beyond the limit was answered");
    LUMORA_PROPERTY(lastRequest() == first, "the handler saw " + escaped(lastRequest()));
    LUMORA_PROPERTY(answer == "ok " + std::to_string(first.size()) + "\n",
                    "the raw answer was " + escaped(answer));
    return {};
  }

  const std::filesystem::path path_;
  std::mutex mutex_;
  std::string last_;    // guarded by mutex_: the last request the handler saw
  size_t handled_ = 0;  // guarded by mutex_: how many requests were handled
  std::unique_ptr<fuse::ControlServer> server_;  // last: stops before the fields go
};

}  // namespace lumora::fuzz
