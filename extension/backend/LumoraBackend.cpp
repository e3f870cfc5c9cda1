#include "extension/backend/LumoraBackend.h"

#include <chrono>

#include "extension/backend/Entries.h"
#include "extension/backend/ObjectSources.h"
#include "extension/backend/StorageRecords.h"
#include "platform/foundation/HttpSession.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/SharedDefaults.h"
#include "platform/foundation/TextFile.h"
#include "platform/foundation/UrlQuery.h"
#include "shared/Identifiers.h"

namespace lumora::backend {
namespace {

constexpr std::chrono::seconds kRequestTimeout{60};

HttpSession::Options configuredOptions() {
  HttpSession::Options options;
#ifdef LUMORA_API_CA_FILE
  options.extraCaFile = std::filesystem::path(LUMORA_API_CA_FILE);
#endif
  return options;
}

// The session of every backend built with the build-time configuration,
// and the one of their speculative ranged GETs.
std::shared_ptr<HttpSession> configuredSession(bool speculative = false) {
  static const std::shared_ptr<HttpSession> sessions[2] = {
      std::make_shared<HttpSession>(configuredOptions()),
      std::make_shared<HttpSession>(configuredOptions())};
  return sessions[speculative ? 1 : 0];
}

// A token goes into a header line: one holding a line break or a NUL would
// let whoever wrote it add headers of their own, so it is not usable.
bool usableToken(std::string_view token) {
  return !token.empty() && token.find_first_of(std::string_view("\r\n\0", 3)) == token.npos;
}

}  // namespace

Error statusError(long status) {
  Error error = fileprovider::fileProviderError(fileprovider::kErrorServerUnreachable);
  error.cause.httpStatus = status;
  return error;
}

LumoraBackend::LumoraBackend(fileprovider::Domain domain, std::filesystem::path downloadsFolder)
    : apiBase_(LUMORA_API_BASE),
      appGroup_(shared::kAppGroup),
      session_(configuredSession()),
      speculativeSession_(configuredSession(true)),
      domain_(std::move(domain)),
      useRealContainer_(true),
      defaultsFile_(paths::sharedDefaultsFile(shared::kAppGroup)),
      downloadsFolder_(std::move(downloadsFolder)),
      sources_(std::make_unique<ObjectSources>()) {}

LumoraBackend::LumoraBackend(fileprovider::Domain domain, std::string apiBase,
                             std::optional<std::filesystem::path> containerDirectory,
                             std::filesystem::path defaultsFile,
                             std::shared_ptr<HttpSession> session,
                             std::filesystem::path downloadsFolder)
    : apiBase_(std::move(apiBase)),
      appGroup_(shared::kAppGroup),
      session_(session ? std::move(session) : configuredSession()),
      speculativeSession_(session_ == configuredSession()
                              ? configuredSession(true)
                              : std::make_shared<HttpSession>(session_->options())),
      domain_(std::move(domain)),
      useRealContainer_(false),
      containerDirectory_(std::move(containerDirectory)),
      defaultsFile_(std::move(defaultsFile)),
      downloadsFolder_(std::move(downloadsFolder)),
      sources_(std::make_unique<ObjectSources>()) {}

LumoraBackend::~LumoraBackend() = default;

void LumoraBackend::noteRoundTrip(std::chrono::steady_clock::duration took) const {
  int64_t sample = std::chrono::duration_cast<std::chrono::microseconds>(took).count();
  int64_t known = roundTrip_.load(std::memory_order_relaxed);
  // Racing notes may lose one another: either is a fair figure.
  int64_t next = known < 0 || sample < known ? sample : known + (sample - known) / 64;
  roundTrip_.store(next, std::memory_order_relaxed);
}

Result<std::string> LumoraBackend::readToken() const {
  std::optional<std::filesystem::path> container =
      useRealContainer_ ? paths::appGroupContainer(appGroup_) : containerDirectory_;
  if (container) {
    // Any failure to read the file only moves the look-up on to the defaults.
    if (Result<std::string> text = readUtf8File(*container / shared::kTokenFileName)) {
      std::string token = trimUnicodeWhitespace(*text);
      if (usableToken(token)) return token;
    }
  }
  std::optional<std::string> stored =
      SharedDefaults(defaultsFile_).stringForKey(shared::kAccessTokenDefaultsKey);
  if (stored && usableToken(*stored)) return *stored;  // exactly as stored, untrimmed
  return std::unexpected(fileprovider::fileProviderError(fileprovider::kErrorNotAuthenticated));
}

Result<std::string> LumoraBackend::authorizedGet(std::string_view path,
                                                 const QueryItems& query) const {
  std::string url = buildUrl(apiBase_, path, query);
  Result<std::string> token = readToken();
  if (!token) return std::unexpected(token.error());
  HttpHeaders headers{{"Authorization", "Bearer " + *token}};
  auto sent = std::chrono::steady_clock::now();
  Result<HttpResponse> response = session_->get(url, headers, kRequestTimeout);
  if (response) noteRoundTrip(std::chrono::steady_clock::now() - sent);
  if (!response) return std::unexpected(response.error());
  if (response->status < 200 || response->status > 299) {
    return std::unexpected(statusError(response->status));
  }
  return std::move(response->body);
}

Result<ListPage> LumoraBackend::list(const fileprovider::ItemIdentifier& container,
                                     const fileprovider::Page& page) const {
  std::string prefix = container == fileprovider::kRootContainerItemIdentifier
                           ? std::string(kRootPrefix)
                           : container;
  QueryItems query{{"prefix", prefix}, {"delimiter", "/"}};
  // The initial pages, an empty page and one that is not UTF-8 all ask for
  // the first page.
  if (!page.empty() && page != fileprovider::kInitialPageSortedByName &&
      page != fileprovider::kInitialPageSortedByDate && isValidUtf8(page)) {
    query.emplace_back("cursor", page);
  }
  Result<std::string> body = authorizedGet("/storage/list", query);
  if (!body) return std::unexpected(body.error());

  ListPage result;
  Result<std::optional<std::string>> cursor = decodeStorageList(
      *body,
      [&](const StorageEntry& record) { result.entries.push_back(makeEntry(record, container)); });
  if (!cursor) return std::unexpected(cursor.error());
  for (const Entry& entry : result.entries) sources_->rememberListed(entry);
  if (*cursor && !(*cursor)->empty()) result.nextPage = fileprovider::Page(std::move(**cursor));
  return result;
}

Result<Entry> LumoraBackend::lookupEntry(const fileprovider::ItemIdentifier& identifier) const {
  if (identifier == fileprovider::kRootContainerItemIdentifier) return rootEntry();
  if (identifier.ends_with('/')) return folderEntry(identifier);

  Result<std::string> body =
      authorizedGet("/storage/list", {{"prefix", identifier}, {"exact", "1"}});
  if (!body) return std::unexpected(body.error());
  // Only a record of this very key will do: a service that puts a longer key
  // with the same prefix first must not hand this item another file's data.
  std::optional<Entry> found;
  Result<std::optional<std::string>> decoded =
      decodeStorageList(*body, [&](const StorageEntry& record) {
        if (!found && record.key == identifier) found = makeEntry(record, parentKey(identifier));
      });
  if (!decoded) return std::unexpected(decoded.error());
  if (!found)
    return std::unexpected(fileprovider::fileProviderError(fileprovider::kErrorNoSuchItem));
  return std::move(*found);
}

}  // namespace lumora::backend
