#include "platform/foundation/HttpSession.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>

#include "platform/foundation/CurlErrors.h"

namespace lumora {
namespace {

constexpr long kMaxRedirects = 16;
// Large reads keep a local download at disk speed without growing memory.
constexpr long kDownloadBufferBytes = 256 * 1024;
constexpr size_t kMaxIdleHandles = 64;

void globalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::optional<std::string> readWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return text.str();
}

// The system bundle followed by the extra one: curl takes one bundle, and
// the extra CA must add to the system store, not replace it.
std::string caBundleWith(const std::optional<std::filesystem::path>& extra) {
  if (!extra) return {};
  std::optional<std::string> extraText = readWholeFile(*extra);
  if (!extraText) return {};
  const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
  const char* systemPath =
      info && info->cainfo ? info->cainfo : "/etc/ssl/certs/ca-certificates.crt";
  std::string bundle = readWholeFile(systemPath).value_or("");
  bundle += "\n";
  bundle += *extraText;
  return bundle;
}

struct SlistFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using Slist = std::unique_ptr<curl_slist, SlistFree>;

Slist headerList(const HttpHeaders& headers) {
  curl_slist* list = nullptr;
  for (const auto& [name, value] : headers) {
    std::string line = name;
    line.append(": ").append(value);
    curl_slist* grown = curl_slist_append(list, line.c_str());
    if (grown == nullptr) break;
    list = grown;
  }
  return Slist(list);
}

struct BodySink {
  std::string* body = nullptr;
  size_t limit = 0;
  bool overflowed = false;
};

size_t writeToString(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<BodySink*>(user);
  size_t bytes = size * count;
  if (sink->body->size() + bytes > sink->limit) {
    sink->overflowed = true;
    return 0;
  }
  sink->body->append(data, bytes);
  return bytes;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                           text.back() == '\n')) {
    text.remove_suffix(1);
  }
  return text;
}

}  // namespace

// Addresses that a public host has no business sending a client to:
// loopback, link-local, private and shared ranges, and the unspecified one.
bool isInternalAddress(std::string_view address) {
  std::string ip(address);
  unsigned char v4[4];
  if (inet_pton(AF_INET, ip.c_str(), v4) != 1) {
    unsigned char v6[16];
    if (inet_pton(AF_INET6, ip.c_str(), v6) != 1) return false;
    static constexpr unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (std::memcmp(v6, kMapped, 12) != 0) {
      bool zeros = std::all_of(v6, v6 + 15, [](unsigned char b) { return b == 0; });
      if (zeros && (v6[15] == 0 || v6[15] == 1)) return true;    // :: and ::1
      if (v6[0] == 0xfe && (v6[1] & 0xc0) == 0x80) return true;  // fe80::/10
      return (v6[0] & 0xfe) == 0xfc;                             // fc00::/7
    }
    std::memcpy(v4, v6 + 12, 4);  // an IPv4 address in IPv6 clothes
  }
  return v4[0] == 0 || v4[0] == 10 || v4[0] == 127 || (v4[0] == 169 && v4[1] == 254) ||
         (v4[0] == 172 && (v4[1] & 0xf0) == 16) || (v4[0] == 192 && v4[1] == 168) ||
         (v4[0] == 100 && (v4[1] & 0xc0) == 64);
}

namespace {

// What one request's callbacks watch: whether an answer comes in time, and
// where each hop of a redirect chain goes.
struct RequestWatch {
  // When the request of the current hop went out (or the transfer began).
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  std::chrono::milliseconds answerTimeout{0};
  bool answered = false;  // the current hop's status line came
  const std::function<bool(std::string_view)>* isInternal = nullptr;
  bool answerTimedOut = false;
  int hops = 0;
  bool beganInternal = false;  // the first hop went to an internal address
  bool refusedHop = false;
};

int watchProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* watch = static_cast<RequestWatch*>(user);
  if (watch->answered || std::chrono::steady_clock::now() - watch->start < watch->answerTimeout) {
    return 0;
  }
  watch->answerTimedOut = true;
  return 1;
}

// Called before each request of a chain, once its connection is there. A
// service on a private network may send its client on within it; a public
// one may not send it to the machine itself or its network.
int watchHop(void* user, char* ip, char*, int, int) {
  auto* watch = static_cast<RequestWatch*>(user);
  watch->start = std::chrono::steady_clock::now();
  watch->answered = false;
  bool internal =
      ip != nullptr && (*watch->isInternal ? (*watch->isInternal)(ip) : isInternalAddress(ip));
  if (watch->hops++ == 0) {
    watch->beganInternal = internal;
  } else if (internal && !watch->beganInternal) {
    watch->refusedHop = true;
    return CURL_PREREQFUNC_ABORT;
  }
  return CURL_PREREQFUNC_OK;
}

// The error of a failed transfer, told apart by what the watch saw.
Error failureOf(CURL* easy, CURLcode code, const RequestWatch& watch, const char* detail) {
  if (watch.answerTimedOut) {
    return transferError(TransferError::timedOut, "The host did not answer in time.");
  }
  if (watch.refusedHop) {
    return transferError(TransferError::unsupportedUrl,
                         "A redirect to an internal address was refused.");
  }
  // Timed out once the answer had begun: a body that stalled or trickled,
  // which a second request (for the rest) may well get.
  if (code == CURLE_OPERATION_TIMEDOUT && watch.answered) {
    return transferError(TransferError::connectionLost, "The answer came too slowly and was cut.");
  }
  long osErrno = 0;
  curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &osErrno);
  return transferErrorFromCurl(code, detail, static_cast<int>(osErrno));
}

// Header lines of a request whose headers nobody keeps: only the status
// lines count, as answers.
size_t noteStatusLine(char* data, size_t size, size_t count, void* user) {
  if (std::string_view(data, size * count).starts_with("HTTP/")) {
    static_cast<RequestWatch*>(user)->answered = true;
  }
  return size * count;
}

// One streamed transfer: the head being gathered and the receiver's answers.
struct StreamState {
  CURL* easy = nullptr;
  RequestWatch* watch = nullptr;
  const HttpStreamReceiver* receiver = nullptr;
  HttpResponseHead head;
  bool headDelivered = false;
  bool stopped = false;

  // Hands the head over once; false when the transfer is to stop.
  bool deliverHead() {
    if (headDelivered) return !stopped;
    headDelivered = true;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &head.status);
    curl_off_t length = -1;
    if (curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK &&
        length >= 0) {
      head.contentLength = static_cast<uint64_t>(length);
    }
    if (receiver->onHead && !receiver->onHead(head)) stopped = true;
    return !stopped;
  }
};

size_t collectHeader(char* data, size_t size, size_t count, void* user) {
  auto* state = static_cast<StreamState*>(user);
  size_t bytes = size * count;
  std::string_view line(data, bytes);
  // Every response of a redirect chain (and any interim 1xx) starts with its
  // status line: only the last response's headers count.
  if (line.starts_with("HTTP/")) {
    state->watch->answered = true;
    state->head.headers.clear();
    return bytes;
  }
  size_t colon = line.find(':');
  if (colon != std::string_view::npos && colon > 0) {
    state->head.headers.emplace_back(std::string(trimmed(line.substr(0, colon))),
                                     std::string(trimmed(line.substr(colon + 1))));
  }
  return bytes;
}

size_t passBody(char* data, size_t size, size_t count, void* user) {
  auto* state = static_cast<StreamState*>(user);
  size_t bytes = size * count;
  if (!state->deliverHead()) return 0;  // libcurl ends the transfer
  if (bytes > 0 && state->receiver->onBody && !state->receiver->onBody(data, bytes)) {
    state->stopped = true;
    return 0;
  }
  return bytes;
}

}  // namespace

class HttpSession::Impl {
 public:
  explicit Impl(Options options) : options_(std::move(options)) {
    globalInit();
    caBundle_ = caBundleWith(options_.extraCaFile);
    share_ = curl_share_init();
    if (share_ == nullptr) return;  // requests then go without the shared caches
    curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, &Impl::lock);
    curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &Impl::unlock);
    curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
    // Connections are not shared through the share handle (libcurl does not
    // support that across threads); each pooled handle keeps its own.
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_PSL);
  }

  ~Impl() {
    idle_.clear();  // every handle leaves the share before it goes
    if (share_) curl_share_cleanup(share_);
  }

  const Options& options() const { return options_; }

  struct EasyFree {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
  };
  using Easy = std::unique_ptr<CURL, EasyFree>;

  // The most recently used handle first, so that sequential requests land
  // on the connection the last one left open.
  Easy acquire() {
    {
      std::lock_guard guard(poolMutex_);
      if (!idle_.empty()) {
        Easy easy = std::move(idle_.back());
        idle_.pop_back();
        return easy;
      }
    }
    return Easy(curl_easy_init());
  }

  void release(Easy easy) {
    std::lock_guard guard(poolMutex_);
    if (idle_.size() < kMaxIdleHandles) idle_.push_back(std::move(easy));
  }

  // Options common to every request; the handle was reset before.
  void prepare(CURL* easy, const std::string& url, curl_slist* headers, char* errorBuffer,
               RequestWatch& watch) const {
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer);
    if (share_) curl_easy_setopt(easy, CURLOPT_SHARE, share_);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    // An https request is never sent on over plain http.
    bool secure =
        url.size() >= 6 && std::equal(url.begin(), url.begin() + 6, "https:", [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) == b;
        });
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    watch.answerTimeout = options_.answerTimeout;
    watch.isInternal = &options_.isInternal;
    curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &watchHop);
    curl_easy_setopt(easy, CURLOPT_PREREQDATA, &watch);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &watchProgress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &watch);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(options_.answerTimeout.count()));
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, options_.lowSpeedBytes);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME,
                     static_cast<long>(options_.lowSpeedTime.count()));
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects);
    // libcurl keeps a custom Authorization header to the first host (and
    // port and scheme) of a redirect chain unless told otherwise.
    curl_easy_setopt(easy, CURLOPT_UNRESTRICTED_AUTH, 0L);
    curl_easy_setopt(easy, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    if (!caBundle_.empty()) {
      curl_blob blob{const_cast<char*>(caBundle_.data()), caBundle_.size(), CURL_BLOB_NOCOPY};
      curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob);
    }
  }

 private:
  static void lock(CURL*, curl_lock_data data, curl_lock_access, void* user) {
    static_cast<Impl*>(user)->locks_.at(static_cast<size_t>(data)).lock();
  }
  static void unlock(CURL*, curl_lock_data data, void* user) {
    static_cast<Impl*>(user)->locks_.at(static_cast<size_t>(data)).unlock();
  }

  const Options options_;
  std::string caBundle_;  // set in the constructor, read-only afterwards
  CURLSH* share_ = nullptr;
  std::array<std::mutex, CURL_LOCK_DATA_LAST> locks_;  // one per kind of shared data
  std::mutex poolMutex_;
  std::vector<Easy> idle_;  // guarded by poolMutex_; declared last so it goes first
};

HttpSession::HttpSession() : HttpSession(Options{}) {}
HttpSession::HttpSession(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}
HttpSession::~HttpSession() = default;

const HttpSession::Options& HttpSession::options() const {
  return impl_->options();
}

Result<HttpResponse> HttpSession::get(const std::string& url, const HttpHeaders& headers,
                                      std::chrono::milliseconds timeout) const {
  Impl::Easy easy = impl_->acquire();
  if (!easy) return std::unexpected(transferErrorFromCurl(CURLE_FAILED_INIT, nullptr, 0));
  curl_easy_reset(easy.get());
  Slist list = headerList(headers);
  char errorBuffer[CURL_ERROR_SIZE] = {};
  RequestWatch watch;
  impl_->prepare(easy.get(), url, list.get(), errorBuffer, watch);

  HttpResponse response;
  BodySink sink{&response.body, impl_->options().maxBodyBytes};
  curl_easy_setopt(easy.get(), CURLOPT_ACCEPT_ENCODING, "");
  curl_easy_setopt(easy.get(), CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
  curl_easy_setopt(easy.get(), CURLOPT_HEADERFUNCTION, &noteStatusLine);
  curl_easy_setopt(easy.get(), CURLOPT_HEADERDATA, &watch);
  curl_easy_setopt(easy.get(), CURLOPT_WRITEFUNCTION, &writeToString);
  curl_easy_setopt(easy.get(), CURLOPT_WRITEDATA, &sink);

  CURLcode code = curl_easy_perform(easy.get());
  curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &response.status);
  std::optional<Error> failure;
  if (sink.overflowed) {
    failure = transferErrorFromCurl(CURLE_FILESIZE_EXCEEDED,
                                    "The response body is larger than allowed.", 0);
  } else if (code != CURLE_OK) {
    failure = failureOf(easy.get(), code, watch, errorBuffer);
  }
  curl_easy_setopt(easy.get(), CURLOPT_ERRORBUFFER, nullptr);
  impl_->release(std::move(easy));
  if (failure) return std::unexpected(std::move(*failure));
  return response;
}

Result<long> HttpSession::download(const std::string& url, const HttpHeaders& headers,
                                   int fd) const {
  int writeError = 0;  // errno of a failed write, 0 while all is well
  HttpStreamReceiver receiver{{}, [&](const char* data, size_t size) {
                                size_t done = 0;
                                while (done < size) {
                                  ssize_t n = ::write(fd, data + done, size - done);
                                  if (n < 0) {
                                    if (errno == EINTR) continue;
                                    writeError = errno;
                                    return false;
                                  }
                                  done += static_cast<size_t>(n);
                                }
                                return true;
                              }};
  Result<HttpStreamResult> result = stream(url, headers, receiver);
  if (writeError != 0) return std::unexpected(posixError(writeError, "writing the download"));
  if (!result) return std::unexpected(result.error());
  return result->head.status;
}

Result<HttpStreamResult> HttpSession::stream(const std::string& url, const HttpHeaders& headers,
                                             const HttpStreamReceiver& receiver) const {
  Impl::Easy easy = impl_->acquire();
  if (!easy) return std::unexpected(transferErrorFromCurl(CURLE_FAILED_INIT, nullptr, 0));
  curl_easy_reset(easy.get());
  Slist list = headerList(headers);
  char errorBuffer[CURL_ERROR_SIZE] = {};
  RequestWatch watch;
  impl_->prepare(easy.get(), url, list.get(), errorBuffer, watch);

  StreamState state;
  state.easy = easy.get();
  state.watch = &watch;
  state.receiver = &receiver;
  curl_easy_setopt(easy.get(), CURLOPT_BUFFERSIZE, kDownloadBufferBytes);
  curl_easy_setopt(easy.get(), CURLOPT_HEADERFUNCTION, &collectHeader);
  curl_easy_setopt(easy.get(), CURLOPT_HEADERDATA, &state);
  curl_easy_setopt(easy.get(), CURLOPT_WRITEFUNCTION, &passBody);
  curl_easy_setopt(easy.get(), CURLOPT_WRITEDATA, &state);

  CURLcode code = curl_easy_perform(easy.get());
  // A response without a body never reached passBody.
  if (code == CURLE_OK) state.deliverHead();
  std::optional<Error> failure;
  if (code != CURLE_OK && !(state.stopped && code == CURLE_WRITE_ERROR)) {
    failure = failureOf(easy.get(), code, watch, errorBuffer);
  }
  curl_easy_setopt(easy.get(), CURLOPT_ERRORBUFFER, nullptr);
  impl_->release(std::move(easy));
  if (failure) return std::unexpected(std::move(*failure));
  return HttpStreamResult{std::move(state.head), state.stopped};
}

std::optional<std::string> HttpResponseHead::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (key.size() == name.size() &&
        std::equal(key.begin(), key.end(), name.begin(), [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) ==
                 std::tolower(static_cast<unsigned char>(b));
        })) {
      return value;
    }
  }
  return std::nullopt;
}

bool isFetchableUrl(std::string_view url) {
  globalInit();
  CURLU* handle = curl_url();
  if (handle == nullptr) return false;
  bool ok = false;
  std::string text(url);
  if (text.find('\0') == std::string::npos &&
      curl_url_set(handle, CURLUPART_URL, text.c_str(), 0) == CURLUE_OK) {
    char* scheme = nullptr;
    char* host = nullptr;
    if (curl_url_get(handle, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
        curl_url_get(handle, CURLUPART_HOST, &host, 0) == CURLUE_OK) {
      std::string_view s(scheme);
      ok = (s == "http" || s == "https") && *host != '\0';
    }
    curl_free(scheme);
    curl_free(host);
  }
  curl_url_cleanup(handle);
  return ok;
}

}  // namespace lumora
