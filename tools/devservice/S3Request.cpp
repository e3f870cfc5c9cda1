#include "tools/devservice/S3Request.h"

#include <curl/curl.h>

#include <algorithm>
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

Result<std::string> signedStoreGet(const StoreRequest& r, const AwsCredentials& credentials) {
  CURL* curl = threadHandle();
  if (!curl) return storeError(500, "no HTTP client for the store");
  std::unique_ptr<curl_slist, ListDeleter> headers(curl_slist_append(nullptr, kEmptyPayload));
  std::string tokenHeader;
  if (!credentials.sessionToken.empty()) {
    tokenHeader = "x-amz-security-token: " + credentials.sessionToken;
    headers.reset(curl_slist_append(headers.release(), tokenHeader.c_str()));
  }
  const std::string sigv4 = "aws:amz:" + r.region + ":s3";
  std::string body;
  const long timeoutMs = std::max(1, r.timeoutSeconds) * 1000L;
  curl_easy_setopt(curl, CURLOPT_URL, r.url.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(curl, CURLOPT_AWS_SIGV4, sigv4.c_str());
  curl_easy_setopt(curl, CURLOPT_USERNAME, credentials.accessKeyId.c_str());
  curl_easy_setopt(curl, CURLOPT_PASSWORD, credentials.secretAccessKey.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, std::min(timeoutMs, 5000L));
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeoutMs);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  if (!r.caFile.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, r.caFile.c_str());
  CURLcode code = curl_easy_perform(curl);
  if (code == CURLE_OPERATION_TIMEDOUT) return storeError(504, "the store did not answer in time");
  if (code != CURLE_OK) {
    return storeError(502,
                      std::string("the store could not be reached: ") + curl_easy_strerror(code));
  }
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  if (status != 200) {
    std::string reason = s3ErrorCode(body);
    return storeError(502, "the store answered " + std::to_string(status) +
                               (reason.empty() ? std::string() : " (" + reason + ")"));
  }
  return body;
}

}  // namespace lumora::devservice
