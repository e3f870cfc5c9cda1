#include "tools/devservice/S3Store.h"

#include <curl/curl.h>
#include <libxml/parser.h>

#include <algorithm>
#include <charconv>
#include <iterator>

#include "platform/foundation/TextFile.h"
#include "tools/devservice/Credentials.h"
#include "tools/devservice/S3Listing.h"
#include "tools/devservice/S3Request.h"

namespace lumora::devservice {
namespace {

// S3 answers at most this many keys per page and refuses longer keys.
constexpr std::size_t kMaxKeysPerPage = 1000;
constexpr std::size_t kMaxKeyBytes = 1024;

std::unexpected<Error> status(long code, std::string description) {
  return fail(kDevServiceErrorDomain, code, std::move(description));
}

// A key path beneath "mirror/" that the mount can show: UTF-8, no NUL, no
// empty, "." or ".." component. A trailing "/" (a folder) is allowed.
bool validRelativePath(std::string_view rel) {
  if (!isValidUtf8(rel) || rel.find('\0') != std::string_view::npos) return false;
  if (!rel.empty() && rel.back() == '/') rel.remove_suffix(1);
  if (rel.empty()) return true;
  std::size_t start = 0;
  while (true) {
    std::size_t end = rel.find('/', start);
    std::string_view part = rel.substr(start, end == std::string_view::npos ? end : end - start);
    if (part.empty() || part == "." || part == "..") return false;
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

std::string listQuery(std::string_view storePrefix, bool delimited, const std::string& token,
                      std::size_t maxKeys) {
  // Names in byte order, values AWS-encoded: already the canonical query.
  std::string q;
  if (!token.empty()) q += "continuation-token=" + awsUriEncode(token, false) + "&";
  if (delimited) q += "delimiter=%2F&";
  // Keys come back URL-encoded: raw, a control character would make the page
  // a document no XML parser takes.
  q += "encoding-type=url&";
  q += "list-type=2&max-keys=" + std::to_string(maxKeys);
  q += "&prefix=" + awsUriEncode(storePrefix, false);
  return q;
}

// What a cursor carries: the store's token and the last key of the page it
// follows. Some stores repeat a common prefix on the page after the one that
// first named it; records not past that key are dropped.
std::string cursorPayload(std::string_view lastKey, std::string_view token) {
  return std::to_string(lastKey.size()) + ":" + std::string(lastKey) + std::string(token);
}

bool splitPayload(std::string_view payload, std::string& lastKey, std::string& token) {
  std::size_t colon = payload.find(':');
  std::size_t length = 0;
  if (colon == std::string_view::npos) return false;
  auto [end, ec] = std::from_chars(payload.data(), payload.data() + colon, length);
  if (ec != std::errc() || end != payload.data() + colon || length > payload.size() - colon - 1)
    return false;
  lastKey = payload.substr(colon + 1, length);
  token = payload.substr(colon + 1 + length);
  return !token.empty();
}

}  // namespace

Result<std::unique_ptr<S3Store>> S3Store::create(const BucketOptions& options,
                                                 AwsCredentials credentials,
                                                 std::string_view secret, int urlLifetimeSeconds) {
  // Once, before the worker threads use either library.
  curl_global_init(CURL_GLOBAL_DEFAULT);
  xmlInitParser();
  std::unique_ptr<S3Store> store(
      new S3Store(options, std::move(credentials), secret, urlLifetimeSeconds));
  std::string_view url = options.endpoint;
  std::size_t schemeEnd = url.find("://");
  if (schemeEnd == std::string_view::npos) return status(2, "--s3-endpoint needs http(s)://HOST");
  store->scheme_ = std::string(url.substr(0, schemeEnd));
  if (store->scheme_ != "http" && store->scheme_ != "https") {
    return status(2, "--s3-endpoint must be an http or https URL");
  }
  std::string_view rest = url.substr(schemeEnd + 3);
  std::size_t slash = rest.find('/');
  std::string host(rest.substr(0, slash));
  if (host.empty() || host.find_first_of("@?#") != std::string::npos) {
    return status(2, "--s3-endpoint needs a plain host (and port)");
  }
  // libcurl leaves a default port out of the Host header; so must the presigner.
  std::string defaultPort = store->scheme_ == "http" ? ":80" : ":443";
  if (host.ends_with(defaultPort)) host.resize(host.size() - defaultPort.size());
  store->host_ = host;
  store->basePath_ = slash == std::string_view::npos ? "" : std::string(rest.substr(slash));
  while (!store->basePath_.empty() && store->basePath_.back() == '/') store->basePath_.pop_back();
  if (options.bucket.empty() || options.bucket.find('/') != std::string::npos) {
    return status(2, "--bucket needs a bucket name");
  }
  return store;
}

S3Store::S3Store(const BucketOptions& options, AwsCredentials credentials, std::string_view secret,
                 int urlLifetimeSeconds)
    : options_(options),
      seal_(secret),
      lifetime_(urlLifetimeSeconds),
      credentials_(std::make_shared<const AwsCredentials>(std::move(credentials))) {}

std::shared_ptr<const AwsCredentials> S3Store::credentials() const {
  std::lock_guard lock(credentialsMutex_);
  return credentials_;
}

bool S3Store::refreshCredentials(const std::shared_ptr<const AwsCredentials>& used) const {
  auto loaded = loadCredentials(options_.credentialsFile);
  std::lock_guard lock(credentialsMutex_);
  if (credentials_ != used) return true;  // another request refreshed them already
  if (!loaded) return false;
  if (loaded->accessKeyId == used->accessKeyId &&
      loaded->secretAccessKey == used->secretAccessKey &&
      loaded->sessionToken == used->sessionToken) {
    return false;
  }
  credentials_ = std::make_shared<const AwsCredentials>(std::move(*loaded));
  return true;
}

template <class Request>
auto S3Store::withCredentials(Request request) const -> decltype(request(AwsCredentials{})) {
  auto used = credentials();
  auto result = request(*used);
  if (!result && sessionExpired(result.error()) && refreshCredentials(used)) {
    result = request(*credentials());
  }
  return result;
}

Result<std::string> S3Store::getBucket(const std::string& query) const {
  StoreRequest request{scheme_ + "://" + host_ + basePath_ + "/" +
                           awsUriEncode(options_.bucket, false) + "?" + query,
                       options_.region, options_.timeoutSeconds, options_.caFile};
  return withCredentials(
      [&](const AwsCredentials& credentials) { return signedStoreGet(request, credentials); });
}

std::string S3Store::objectPath(std::string_view storeKey) const {
  return basePath_ + "/" + awsUriEncode(options_.bucket, false) + "/" +
         awsUriEncode(storeKey, true);
}

std::string S3Store::objectUrl(std::string_view storeKey) const {
  return scheme_ + "://" + host_ + objectPath(storeKey);
}

std::optional<std::string> S3Store::clientKey(std::string_view storeKey) const {
  if (!storeKey.starts_with(options_.keyPrefix)) return std::nullopt;
  std::string_view rel = storeKey.substr(options_.keyPrefix.size());
  if (rel.empty() || !validRelativePath(rel)) return std::nullopt;
  return std::string(kMirrorPrefix) + std::string(rel);
}

Result<std::string> S3Store::storeKeyOf(std::string_view key) const {
  std::string_view rel = key.substr(kMirrorPrefix.size());
  if (!validRelativePath(rel) || options_.keyPrefix.size() + rel.size() > kMaxKeyBytes) {
    return status(400, "the key is not a storage key of this service");
  }
  return options_.keyPrefix + std::string(rel);
}

std::string S3Store::binding(std::string_view prefix, bool delimited) const {
  // The store's identity too: instances that share a secret but serve other
  // stores or prefixes refuse each other's cursors.
  // The endpoint as requests use it, so that spellings of one store agree.
  const std::string endpoint = scheme_ + "://" + host_ + basePath_;
  std::string b;
  for (std::string_view part : {std::string_view(endpoint), std::string_view(options_.bucket),
                                std::string_view(options_.keyPrefix), prefix}) {
    b += part;
    b += '\0';
  }
  b += delimited ? "/" : "";
  return b;
}

Result<ListPage> S3Store::list(std::string_view prefix, bool delimited, std::string_view cursor,
                               std::size_t pageSize) const {
  std::string token, after;
  if (!cursor.empty()) {
    auto opened = seal_.open(cursor, binding(prefix, delimited));
    if (!opened || !splitPayload(*opened, after, token)) {
      return status(400, "the cursor is not one this service issued");
    }
  }
  std::string_view effective = prefix;
  if (!prefix.starts_with(kMirrorPrefix)) {
    // A prefix of "mirror/" itself ("", "mi") reaches the whole tree.
    if (!kMirrorPrefix.starts_with(prefix)) return ListPage{};
    if (delimited)
      return ListPage{{StorageRecord{std::string(kMirrorPrefix), 0, {}, {}, true}}, {}};
    effective = kMirrorPrefix;
  }
  std::string_view rel = effective.substr(kMirrorPrefix.size());
  std::size_t slash = rel.rfind('/');
  std::string_view folder = slash == std::string_view::npos ? "" : rel.substr(0, slash + 1);
  if (!validRelativePath(folder) || !isValidUtf8(rel) || rel.find('\0') != std::string_view::npos ||
      options_.keyPrefix.size() + rel.size() > kMaxKeyBytes) {
    return status(400, "the prefix is not a key beneath the served folder");
  }
  std::string storePrefix = options_.keyPrefix + std::string(rel);
  auto body = getBucket(listQuery(storePrefix, delimited, token,
                                  std::clamp<std::size_t>(pageSize, 1, kMaxKeysPerPage)));
  if (!body) return std::unexpected(body.error());
  auto listed = parseListObjectsV2(*body);
  if (!listed) return std::unexpected(listed.error());

  std::vector<StorageRecord> files, folders;
  for (auto& object : listed->contents) {
    // Keys ending in "/" are folder markers that consoles leave, not files.
    if (object.key.ends_with('/')) continue;
    auto key = clientKey(object.key);
    if (!key || *key <= after) continue;
    files.push_back(StorageRecord{std::move(*key), object.size, std::move(object.etag),
                                  wholeSecondsUtc(object.lastModified), false});
  }
  for (const auto& common : listed->commonPrefixes) {
    auto key = clientKey(common);
    if (!key || !key->ends_with('/') || *key <= after) continue;
    folders.push_back(StorageRecord{std::move(*key), 0, {}, {}, true});
  }
  // The store lists objects and common prefixes apart, each in key order.
  ListPage page;
  std::merge(std::make_move_iterator(files.begin()), std::make_move_iterator(files.end()),
             std::make_move_iterator(folders.begin()), std::make_move_iterator(folders.end()),
             std::back_inserter(page.records),
             [](const StorageRecord& a, const StorageRecord& b) { return a.key < b.key; });
  if (listed->nextContinuationToken) {
    std::string last = page.records.empty() ? after : page.records.back().key;
    page.cursor =
        seal_.seal(cursorPayload(last, *listed->nextContinuationToken), binding(prefix, delimited));
  }
  return page;
}

Result<std::optional<StorageRecord>> S3Store::exact(std::string_view key) const {
  if (!key.starts_with(kMirrorPrefix) || key.size() == kMirrorPrefix.size() || key.ends_with('/')) {
    return std::optional<StorageRecord>();
  }
  auto storeKey = storeKeyOf(key);
  if (!storeKey) return std::unexpected(storeKey.error());
  // A HEAD answers for this key alone, whatever order the store lists in.
  StoreRequest request{objectUrl(*storeKey), options_.region, options_.timeoutSeconds,
                       options_.caFile};
  auto headers = withCredentials(
      [&](const AwsCredentials& credentials) { return signedStoreHead(request, credentials); });
  if (!headers) return std::unexpected(headers.error());
  if (!*headers) return std::optional<StorageRecord>();
  StorageRecord record{std::string(key), 0, {}, {}, false};
  const StoreHeaders& h = **headers;
  if (auto it = h.find("content-length"); it != h.end()) {
    auto [end, ec] =
        std::from_chars(it->second.data(), it->second.data() + it->second.size(), record.size);
    if (ec != std::errc() || end != it->second.data() + it->second.size() || record.size < 0) {
      return status(502, "the store's object size is not a number");
    }
  }
  if (auto it = h.find("etag"); it != h.end()) {
    record.etag = it->second;
    if (record.etag.size() >= 2 && record.etag.front() == '"' && record.etag.back() == '"') {
      record.etag = record.etag.substr(1, record.etag.size() - 2);
    }
  }
  if (auto it = h.find("last-modified"); it != h.end()) record.modified = httpDateUtc(it->second);
  return std::optional<StorageRecord>(std::move(record));
}

Result<DownloadUrl> S3Store::downloadUrl(std::string_view key, std::string_view,
                                         std::int64_t now) const {
  auto found = exact(key);
  if (!found) return std::unexpected(found.error());
  if (!*found) return status(404, "no such object");
  std::string storeKey = *storeKeyOf(key);
  PresignRequest request{
      scheme_,
      host_,
      basePath_ + "/" + awsUriEncode(options_.bucket, false) + "/" + awsUriEncode(storeKey, true),
      options_.region,
      now,
      lifetime_};
  return DownloadUrl{presignGet(request, *credentials()), now + lifetime_};
}

}  // namespace lumora::devservice
