#include "tools/devservice/S3Request.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <memory>

#include "tools/devservice/S3Listing.h"
#include "tools/devservice/StorageTree.h"

namespace lumora::devservice {
namespace {

// A listing of 1000 keys is well under this; anything larger is not one.
constexpr std::size_t kMaxBody = 32u << 20;
// SHA-256 of an empty body: the store wants the payload hash as a header.
constexpr const char* kEmptyPayload =
    "x-amz-content-sha256: e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

struct CurlDeleter {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct ListDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

std::size_t collect(char* data, std::size_t size, std::size_t count, void* out) {
  auto* body = static_cast<std::string*>(out);
  if (body->size() + size * count > kMaxBody) return 0;  // aborts the transfer
  body->append(data, size * count);
  return size * count;
}

std::size_t collectHeader(char* data, std::size_t size, std::size_t count, void* out) {
  auto* headers = static_cast<StoreHeaders*>(out);
  std::string line(data, size * count);
  std::size_t colon = line.find(':');
  if (colon != std::string::npos && headers->size() < 100) {
    std::string name = line.substr(0, colon);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::size_t first = line.find_first_not_of(" \t", colon + 1);
    std::size_t last = line.find_last_not_of(" \t\r\n");
    (*headers)[name] = first == std::string::npos || last < first
                           ? std::string()
                           : line.substr(first, last - first + 1);
  }
  return size * count;
}

// One handle per worker thread keeps its connection to the store open.
CURL* threadHandle() {
  thread_local std::unique_ptr<CURL, CurlDeleter> handle(curl_easy_init());
  if (handle) curl_easy_reset(handle.get());
  return handle.get();
}

std::unexpected<Error> storeError(long status, std::string description) {
  return fail(kDevServiceErrorDomain, status, std::move(description));
}

}  // namespace

namespace {

struct Answer {
  long status = 0;
  std::string body;
  StoreHeaders headers;
};

Result<Answer> perform(const StoreRequest& r, const AwsCredentials& credentials, bool head) {
  CURL* curl = threadHandle();
  if (!curl) return storeError(500, "no HTTP client for the store");
  std::unique_ptr<curl_slist, ListDeleter> headers(curl_slist_append(nullptr, kEmptyPayload));
  std::string tokenHeader;
  if (!credentials.sessionToken.empty()) {
    tokenHeader = "x-amz-security-token: " + credentials.sessionToken;
    headers.reset(curl_slist_append(headers.release(), tokenHeader.c_str()));
  }
  const std::string sigv4 = "aws:amz:" + r.region + ":s3";
  Answer answer;
  const long timeoutMs = std::max(1, r.timeoutSeconds) * 1000L;
  curl_easy_setopt(curl, CURLOPT_URL, r.url.c_str());
  if (head) {
    curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  } else {
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  }
  curl_easy_setopt(curl, CURLOPT_AWS_SIGV4, sigv4.c_str());
  curl_easy_setopt(curl, CURLOPT_USERNAME, credentials.accessKeyId.c_str());
  curl_easy_setopt(curl, CURLOPT_PASSWORD, credentials.secretAccessKey.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, std::min(timeoutMs, 5000L));
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeoutMs);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer.body);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &collectHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &answer.headers);
  if (!r.caFile.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, r.caFile.c_str());
  CURLcode code = curl_easy_perform(curl);
  if (code == CURLE_OPERATION_TIMEDOUT) return storeError(504, "the store did not answer in time");
  if (code != CURLE_OK) {
    return storeError(502,
                      std::string("the store could not be reached: ") + curl_easy_strerror(code));
  }
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
  return answer;
}

constexpr std::string_view kExpired = "ExpiredToken";

std::unexpected<Error> answeredWith(const Answer& answer, bool sessionHead = false) {
  std::string reason = s3ErrorCode(answer.body);
  // A HEAD answer has no body to name its error: a 400 to a request with a
  // session token is taken as one that expired.
  if (sessionHead && answer.status == 400) reason = kExpired;
  return storeError(502, "the store answered " + std::to_string(answer.status) +
                             (reason.empty() ? std::string() : " (" + reason + ")"));
}

}  // namespace

bool sessionExpired(const Error& error) {
  return error.description.ends_with("(" + std::string(kExpired) + ")");
}

Result<std::string> signedStoreGet(const StoreRequest& r, const AwsCredentials& credentials) {
  auto answer = perform(r, credentials, false);
  if (!answer) return std::unexpected(answer.error());
  if (answer->status != 200) return answeredWith(*answer);
  return std::move(answer->body);
}

Result<std::optional<StoreHeaders>> signedStoreHead(const StoreRequest& r,
                                                    const AwsCredentials& credentials) {
  auto answer = perform(r, credentials, true);
  if (!answer) return std::unexpected(answer.error());
  if (answer->status == 404) return std::optional<StoreHeaders>();
  if (answer->status != 200) return answeredWith(*answer, !credentials.sessionToken.empty());
  return std::optional<StoreHeaders>(std::move(answer->headers));
}

}  // namespace lumora::devservice
