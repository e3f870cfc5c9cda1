#include "platform/foundation/HttpSession.h"

#include <curl/curl.h>
#include <errno.h>
#include <unistd.h>

#include <array>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>

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

struct FdSink {
  int fd = -1;
  int error = 0;  // errno of a failed write, 0 while all is well
};

size_t writeToFd(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<FdSink*>(user);
  size_t bytes = size * count;
  size_t done = 0;
  while (done < bytes) {
    ssize_t n = ::write(sink->fd, data + done, bytes - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      sink->error = errno;
      return 0;
    }
    done += static_cast<size_t>(n);
  }
  return bytes;
}

Error transferError(CURLcode code, const char* detail) {
  std::string message = detail && *detail ? detail : curl_easy_strerror(code);
  return Error{kTransferErrorDomain, static_cast<long>(code), std::move(message)};
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
  void prepare(CURL* easy, const std::string& url, curl_slist* headers, char* errorBuffer) const {
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer);
    if (share_) curl_easy_setopt(easy, CURLOPT_SHARE, share_);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
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

std::shared_ptr<HttpSession> HttpSession::shared() {
  static const std::shared_ptr<HttpSession> session = [] {
    Options options;
#ifdef LUMORA_API_CA_FILE
    if (*LUMORA_API_CA_FILE) options.extraCaFile = std::filesystem::path(LUMORA_API_CA_FILE);
#endif
    return std::make_shared<HttpSession>(std::move(options));
  }();
  return session;
}

Result<HttpResponse> HttpSession::get(const std::string& url, const HttpHeaders& headers,
                                      std::chrono::milliseconds timeout) const {
  Impl::Easy easy = impl_->acquire();
  if (!easy) return std::unexpected(transferError(CURLE_FAILED_INIT, nullptr));
  curl_easy_reset(easy.get());
  Slist list = headerList(headers);
  char errorBuffer[CURL_ERROR_SIZE] = {};
  impl_->prepare(easy.get(), url, list.get(), errorBuffer);

  HttpResponse response;
  BodySink sink{&response.body, impl_->options().maxBodyBytes};
  curl_easy_setopt(easy.get(), CURLOPT_ACCEPT_ENCODING, "");
  curl_easy_setopt(easy.get(), CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
  curl_easy_setopt(easy.get(), CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout.count()));
  curl_easy_setopt(easy.get(), CURLOPT_WRITEFUNCTION, &writeToString);
  curl_easy_setopt(easy.get(), CURLOPT_WRITEDATA, &sink);

  CURLcode code = curl_easy_perform(easy.get());
  curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &response.status);
  curl_easy_setopt(easy.get(), CURLOPT_ERRORBUFFER, nullptr);
  impl_->release(std::move(easy));
  if (sink.overflowed) {
    return std::unexpected(
        transferError(CURLE_FILESIZE_EXCEEDED, "The response body is larger than allowed."));
  }
  if (code != CURLE_OK) return std::unexpected(transferError(code, errorBuffer));
  return response;
}

Result<long> HttpSession::download(const std::string& url, const HttpHeaders& headers,
                                   int fd) const {
  Impl::Easy easy = impl_->acquire();
  if (!easy) return std::unexpected(transferError(CURLE_FAILED_INIT, nullptr));
  curl_easy_reset(easy.get());
  Slist list = headerList(headers);
  char errorBuffer[CURL_ERROR_SIZE] = {};
  impl_->prepare(easy.get(), url, list.get(), errorBuffer);

  FdSink sink{fd};
  long idle = static_cast<long>(impl_->options().downloadIdleTimeout.count());
  curl_easy_setopt(easy.get(), CURLOPT_CONNECTTIMEOUT, idle);
  curl_easy_setopt(easy.get(), CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(easy.get(), CURLOPT_LOW_SPEED_TIME, idle);
  curl_easy_setopt(easy.get(), CURLOPT_BUFFERSIZE, kDownloadBufferBytes);
  curl_easy_setopt(easy.get(), CURLOPT_WRITEFUNCTION, &writeToFd);
  curl_easy_setopt(easy.get(), CURLOPT_WRITEDATA, &sink);

  CURLcode code = curl_easy_perform(easy.get());
  long status = 0;
  curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &status);
  curl_easy_setopt(easy.get(), CURLOPT_ERRORBUFFER, nullptr);
  impl_->release(std::move(easy));
  if (sink.error != 0) return std::unexpected(posixError(sink.error, "writing the download"));
  if (code != CURLE_OK) return std::unexpected(transferError(code, errorBuffer));
  return status;
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
