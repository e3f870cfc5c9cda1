#pragma once
// The URL session: HTTP(S) GETs over libcurl. One session keeps its
// connections, DNS answers and TLS sessions for reuse by later requests on
// any thread. Redirects are followed, but never from https to http, nor to
// a loopback, link-local or private address unless the request began on
// one; a header named "Authorization" never goes to a host other than the
// one first asked. Transfer failures are
// `Error{kTransferErrorDomain, TransferError, message}`.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/TransferError.h"

namespace lumora {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpResponse {
  long status = 0;
  std::string body;
};

// The status line and headers of the final response (after redirects).
struct HttpResponseHead {
  long status = 0;
  HttpHeaders headers;                    // names and values as sent, trimmed
  std::optional<uint64_t> contentLength;  // none: not declared (chunked, or no body)

  // The first value of a header, its name compared without case.
  std::optional<std::string> header(std::string_view name) const;
};

// Takes a response as it arrives. `onHead` runs once, before the first body
// byte (at the end for a response without a body); `onBody` takes the body
// in order. Either returning false stops the transfer at once.
struct HttpStreamReceiver {
  std::function<bool(const HttpResponseHead&)> onHead;
  std::function<bool(const char* data, size_t size)> onBody;
};

struct HttpStreamResult {
  HttpResponseHead head;
  bool stopped = false;  // a receiver stopped the transfer; not a failure
};

// Loopback, link-local, private and shared addresses (IPv4 or IPv6 text).
bool isInternalAddress(std::string_view address);

class HttpSession {
 public:
  struct Options {
    // An extra CA bundle trusted beside the system store.
    std::optional<std::filesystem::path> extraCaFile;
    // A request fails as timed out when no answer (status line) has come
    // this long after it began, connecting included: a host that takes the
    // connection and then says nothing is found out in seconds, not minutes.
    std::chrono::milliseconds answerTimeout{7000};
    // An answer whose body stays slower than lowSpeedBytes a second for
    // lowSpeedTime is cut (TransferError::connectionLost, as any cut).
    long lowSpeedBytes = 1024;
    std::chrono::seconds lowSpeedTime{30};
    // Which addresses a redirect may lead to only from a request that began
    // on one (a service on such an address); tests on one machine, where
    // every address is internal, name their own.
    std::function<bool(std::string_view address)> isInternal = isInternalAddress;
    // A response body held in memory larger than this fails the request.
    size_t maxBodyBytes = size_t{256} << 20;
  };

  HttpSession();
  explicit HttpSession(Options options);
  ~HttpSession();
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;

  // As given at construction: a second session with the same options has
  // connections of its own.
  const Options& options() const;

  // A GET whose whole body is kept in memory. `timeout` bounds the whole
  // exchange. Any HTTP status is a success here; the caller judges it.
  Result<HttpResponse> get(const std::string& url, const HttpHeaders& headers,
                           std::chrono::milliseconds timeout) const;

  // A GET whose body is written to `fd` as it arrives (constant memory).
  // Yields the final HTTP status; the body of any status is written.
  Result<long> download(const std::string& url, const HttpHeaders& headers, int fd) const;

  // A GET whose response goes to `receiver` as it arrives, bounded by the
  // answer timeout and the low-speed cut only. Any HTTP status is a success here.
  Result<HttpStreamResult> stream(const std::string& url, const HttpHeaders& headers,
                                  const HttpStreamReceiver& receiver) const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

// True when `url` is an absolute http or https URL with a host.
bool isFetchableUrl(std::string_view url);

}  // namespace lumora
