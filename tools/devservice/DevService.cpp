#include "tools/devservice/DevService.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "tools/devservice/Certificate.h"
#include "tools/devservice/Credentials.h"
#include "tools/devservice/LocalFolderStore.h"
#include "tools/devservice/ObjectConditions.h"
#include "tools/devservice/S3Store.h"

namespace lumora::devservice {
namespace {

using json = nlohmann::json;
constexpr std::size_t kChunk = 1 << 20;

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string percentDecode(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() + 0 && hexValue(text[i + 1]) >= 0 &&
        hexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string errorJson(std::string_view message) {
  return json{{"error", message}}.dump();
}

// Port and address of a socket address, for matching a request's connection.
bool sameEndpoint(const sockaddr_storage& sa, const std::string& addr, int port) {
  char text[INET6_ADDRSTRLEN] = {};
  int actual = -1;
  if (sa.ss_family == AF_INET) {
    const auto& in = reinterpret_cast<const sockaddr_in&>(sa);
    ::inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
    actual = ntohs(in.sin_port);
  } else if (sa.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(sa);
    ::inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
    actual = ntohs(in6.sin6_port);
  } else {
    return false;
  }
  return actual == port && addr == text;
}

// cpp-httplib does not hand the connection to a handler; the connection of
// this request is the one socket of the process with its two endpoints.
void dropConnection(const httplib::Request& req) {
  DIR* fds = ::opendir("/proc/self/fd");
  if (fds == nullptr) return;
  while (dirent* e = ::readdir(fds)) {
    int fd = -1;
    std::from_chars(e->d_name, e->d_name + std::strlen(e->d_name), fd);
    if (fd <= 2 || fd == ::dirfd(fds)) continue;
    sockaddr_storage local{}, peer{};
    socklen_t l1 = sizeof local, l2 = sizeof peer;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &l1) != 0) continue;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &l2) != 0) continue;
    if (sameEndpoint(local, req.local_addr, req.local_port) &&
        sameEndpoint(peer, req.remote_addr, req.remote_port)) {
      ::shutdown(fd, SHUT_RDWR);
    }
  }
  ::closedir(fds);
}

// Sets a body; a truncating fault declares the whole length, sends half and
// closes, as a server that dies mid-answer would.
void setBody(httplib::Response& res, std::string body, const char* type, Fault fault) {
  if (fault == Fault::malformed) body.resize(body.size() / 2);
  if (fault != Fault::truncate) {
    res.set_content(body, type);
    return;
  }
  auto shared = std::make_shared<std::string>(std::move(body));
  std::size_t size = shared->size();
  res.set_content_provider(size, type,
                           [shared](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                             std::size_t half = shared->size() / 2;
                             if (offset < half) sink.write(shared->data() + offset, half - offset);
                             return false;
                           });
}

json recordJson(const StorageRecord& r) {
  json j{{"key", r.key}, {"size", r.size}, {"dir", r.dir}};
  // A bucket's folders (common prefixes) have neither tag nor date.
  if (!r.etag.empty()) j["etag"] = r.etag;
  if (!r.modified.empty()) j["modified"] = r.modified;
  return j;
}

void answerError(httplib::Response& res, const Error& error, Fault fault) {
  int code = error.domain == kDevServiceErrorDomain ? static_cast<int>(error.code) : 500;
  res.status = code;
  setBody(res, errorJson(error.description), "application/json", fault);
}

std::string firstParam(const std::multimap<std::string, std::string>& q, const std::string& name,
                       bool& present) {
  auto it = q.find(name);
  present = it != q.end();
  return present ? it->second : std::string();
}

// cpp-httplib applies a Range as given, without clamping it to the file: a
// range past the end would declare more bytes than exist. Turn every range
// into absolute, clamped offsets; false when none can be satisfied. The
// request object is the server's own mutable one, handed to us as const.
bool normaliseRanges(httplib::Request& req, std::size_t size) {
  if (req.ranges.empty()) return true;
  if (req.ranges.size() > 16) {  // a flood of ranges gets the whole file
    req.ranges.clear();
    return true;
  }
  httplib::Ranges fixed;
  auto length = static_cast<ssize_t>(size);
  for (auto [first, last] : req.ranges) {
    if (first < 0 && last < 0) continue;
    if (first < 0) {  // suffix range: the last `last` bytes
      if (last == 0 || length == 0) continue;
      first = std::max<ssize_t>(0, length - last);
      last = length - 1;
    } else if (last < 0 || last >= length) {
      last = length - 1;
    }
    if (first >= length || first > last) continue;
    fixed.emplace_back(first, last);
  }
  if (fixed.empty()) return false;
  req.ranges = std::move(fixed);
  return true;
}

}  // namespace

std::multimap<std::string, std::string> parseQuery(std::string_view target) {
  std::multimap<std::string, std::string> out;
  std::size_t mark = target.find('?');
  if (mark == std::string_view::npos) return out;
  std::string_view query = target.substr(mark + 1);
  if (std::size_t hash = query.find('#'); hash != std::string_view::npos)
    query = query.substr(0, hash);
  while (!query.empty()) {
    std::size_t amp = query.find('&');
    std::string_view item = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (item.empty()) continue;
    std::size_t eq = item.find('=');
    std::string name = percentDecode(item.substr(0, eq));
    std::string value =
        eq == std::string_view::npos ? std::string() : percentDecode(item.substr(eq + 1));
    out.emplace(std::move(name), std::move(value));
  }
  return out;
}

std::string encodeQueryValue(std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : value) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xf];
    }
  }
  return out;
}

std::string redactTarget(std::string_view target) {
  static constexpr std::string_view kSecret[] = {
      "sig",      "session",         "verifier",         "token",
      "password", "x-amz-signature", "x-amz-credential", "x-amz-security-token"};
  std::size_t mark = target.find('?');
  if (mark == std::string_view::npos) return std::string(target);
  std::string out(target.substr(0, mark + 1));
  std::string_view query = target.substr(mark + 1);
  for (bool first = true;; first = false) {
    std::size_t amp = query.find('&');
    std::string_view item = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (!first) out += '&';
    std::size_t eq = item.find('=');
    std::string name = percentDecode(item.substr(0, eq));
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    bool secret = std::find(std::begin(kSecret), std::end(kSecret), name) != std::end(kSecret);
    if (secret && eq != std::string_view::npos) {
      out += item.substr(0, eq + 1);
      out += "REDACTED";
    } else {
      out += item;
    }
    if (amp == std::string_view::npos) break;
  }
  return out;
}

Result<std::unique_ptr<DevService>> DevService::create(const Options& options) {
  std::optional<std::string> sharedSecret;
  if (options.secretFile) {
    auto secret = readSharedSecret(*options.secretFile);
    if (!secret) return std::unexpected(secret.error());
    sharedSecret = std::move(*secret);
  }
  // A misspelt users file would lock everybody out without a word.
  if (options.usersFile && ::access(options.usersFile->c_str(), R_OK) != 0) {
    return fail("usage", 2, "cannot read the users file " + options.usersFile->string());
  }
  auto state = StateStore::open(options.state, std::move(sharedSecret));
  if (!state) return std::unexpected(state.error());
  if (options.tls && !options.tlsCert) {
    if (auto made = ensureCertificate((*state)->certFile(), (*state)->keyFile()); !made) {
      return std::unexpected(made.error());
    }
  }
  std::unique_ptr<DevService> service(new DevService(options, std::move(*state)));
  if (options.bucket) {
    auto credentials = loadCredentials(options.bucket->credentialsFile);
    if (!credentials) return std::unexpected(credentials.error());
    auto store = S3Store::create(*options.bucket, std::move(*credentials),
                                 service->state_->urlSecret(), options.urlLifetimeSeconds);
    if (!store) return std::unexpected(store.error());
    service->store_ = std::move(*store);
  } else {
    auto tree = StorageTree::open(options.root);
    if (!tree) return std::unexpected(tree.error());
    auto local = std::make_unique<LocalFolderStore>(std::move(*tree), service->signer_,
                                                    options.urlLifetimeSeconds);
    service->tree_ = &local->tree();
    service->store_ = std::move(local);
  }
  if (!service->server_->is_valid()) return fail("OpenSSL", 0, "could not load the certificate");
  service->installRoutes();
  return service;
}

DevService::DevService(const Options& options, std::unique_ptr<StateStore> state)
    : options_(options),
      state_(std::move(state)),
      signer_(state_->urlSecret()),
      tokens_(state_->urlSecret(), storeIdentity(options), revocationFile(options)),
      signIn_(tokens_, options.usersFile, signInFolder(options), options.tokenLifetimeSeconds),
      faults_(options.faults) {
  if (options.tls) {
    server_ = std::make_unique<httplib::SSLServer>(
        certFile().c_str(), options.tlsKey.value_or(state_->keyFile()).c_str());
  } else {
    server_ = std::make_unique<httplib::Server>();
  }
  int threads = options.threads;
  server_->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  server_->set_keep_alive_max_count(1000);
  server_->set_keep_alive_timeout(10);
  // Headers and body go out as separate writes: without this each answer on
  // a kept connection waits for the client's delayed ACK (40 ms).
  server_->set_tcp_nodelay(true);
  if (options.log) {
    server_->set_logger([](const httplib::Request& req, const httplib::Response& res) {
      std::fprintf(stderr, "lumora-devservice: %s %s -> %d\n", req.method.c_str(),
                   redactTarget(req.target).c_str(), res.status);
    });
  }
}

DevService::~DevService() = default;

Result<int> DevService::bind() {
  int port = options_.port == 0
                 ? server_->bind_to_any_port(options_.host)
                 : (server_->bind_to_port(options_.host, options_.port) ? options_.port : -1);
  if (port <= 0) {
    return fail(kPosixErrorDomain, EADDRINUSE,
                "could not listen on " + options_.host + ":" + std::to_string(options_.port));
  }
  port_ = port;
  return port;
}

std::string DevService::baseUrl() const {
  std::string host =
      options_.host.find(':') != std::string::npos ? "[" + options_.host + "]" : options_.host;
  return std::string(options_.tls ? "https://" : "http://") + host + ":" + std::to_string(port_);
}

void DevService::run() {
  server_->listen_after_bind();
}
void DevService::stop() {
  server_->stop();
}

std::string DevService::publicOrigin(const httplib::Request& req) const {
  // Download URLs name the host the client used, so that its certificate
  // check and its resolver agree; anything odd falls back to the bind address.
  std::string host = req.get_header_value("Host");
  bool plain = !host.empty() && std::all_of(host.begin(), host.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '.' || c == '-' || c == ':' || c == '[' || c == ']';
  });
  if (!plain) return baseUrl();
  return std::string(options_.tls ? "https://" : "http://") + host;
}

std::int64_t DevService::now() const {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
             .count() +
         options_.clockOffsetSeconds;
}

Result<std::string> DevService::issueToken(std::string_view user) {
  return tokens_.mint(user, now(), options_.tokenLifetimeSeconds);
}

bool DevService::authorized(const httplib::Request& req, httplib::Response& res) {
  std::string header = req.get_header_value("Authorization");
  constexpr std::string_view kBearer = "Bearer ";
  if (header.starts_with(kBearer) &&
      tokens_.verify(std::string_view(header).substr(kBearer.size()), now())) {
    return true;
  }
  res.status = 401;
  res.set_header("WWW-Authenticate", "Bearer");
  res.set_content(errorJson("a token issued by this service is required"), "application/json");
  return false;
}

bool DevService::injectFault(bool api, const httplib::Request& req, httplib::Response& res,
                             Fault& fault) {
  if (auto wait = faults_.latency(api); wait.count() > 0) std::this_thread::sleep_for(wait);
  fault = faults_.draw(api);
  if (fault == Fault::drop) {
    dropConnection(req);
    res.status = 500;
    return true;
  }
  if (fault == Fault::error500) {
    res.status = 500;
    res.set_content(errorJson("injected failure"), "application/json");
    return true;
  }
  return false;
}

void DevService::installRoutes() {
  server_->Get("/storage/list", [this](const httplib::Request& req, httplib::Response& res) {
    handleList(req, res);
  });
  server_->Get(
      "/storage/download-url",
      [this](const httplib::Request& req, httplib::Response& res) { handleDownloadUrl(req, res); });
  server_->Get("/storage/.*", [this](const httplib::Request& req, httplib::Response& res) {
    if (!authorized(req, res)) return;
    res.status = 404;
    res.set_content(errorJson("no such endpoint"), "application/json");
  });
  if (tree_ != nullptr) {  // a bucket's objects are fetched from the store itself
    server_->Get("/objects", [this](const httplib::Request& req, httplib::Response& res) {
      handleObject(req, res);
    });
  }
  server_->Get(
      "/", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/signin"); });
  server_->Get("/signin", [this](const httplib::Request& req, httplib::Response& res) {
    bool present = false;
    std::string session = firstParam(parseQuery(req.target), "session", present);
    if (!SignInDesk::validSession(session)) {
      res.status = 400;
      res.set_content("Start signing in with \"lumora login\".\n", "text/plain; charset=utf-8");
      return;
    }
    // The form is honoured only from the browser that loaded this page.
    std::string cookie = std::string(SignInDesk::kCookie) + "=" +
                         signIn_.browserMark(session, now()) +
                         "; Path=/signin; HttpOnly; SameSite=Strict; Max-Age=" +
                         std::to_string(SignInDesk::kPageSeconds);
    if (options_.tls) cookie += "; Secure";
    res.set_header("Set-Cookie", cookie);
    res.set_header("Cache-Control", "no-store");
    res.set_content(signIn_.pageHtml(session), "text/html; charset=utf-8");
  });
  server_->Post("/signin/confirm", [this](const httplib::Request& req, httplib::Response& res) {
    handleSignInConfirm(req, res);
  });
  server_->Get("/signin/token", [this](const httplib::Request& req, httplib::Response& res) {
    handleSignInCollect(req, res);
  });
}

void DevService::handleSignInConfirm(const httplib::Request& req, httplib::Response& res) {
  std::string session = req.get_param_value("session");
  if (!SignInDesk::validSession(session)) {
    res.status = 400;
    res.set_content("This sign-in link is not valid.\n", "text/plain; charset=utf-8");
    return;
  }
  std::string mark;
  std::string cookies = req.get_header_value("Cookie");
  std::string name = std::string(SignInDesk::kCookie) + "=";
  for (std::size_t at = 0; at < cookies.size();) {
    std::size_t end = std::min(cookies.find(';', at), cookies.size());
    std::string_view item = std::string_view(cookies).substr(at, end - at);
    while (item.starts_with(' ')) item.remove_prefix(1);
    if (item.starts_with(name)) mark = std::string(item.substr(name.size()));
    at = end + 1;
  }
  auto done = signIn_.confirm(session, mark, req.get_param_value("user"),
                              req.get_param_value("password"), req.remote_addr, now());
  res.set_header("Cache-Control", "no-store");
  if (!done) {
    res.status =
        done.error().domain == kDevServiceErrorDomain ? static_cast<int>(done.error().code) : 500;
    // A wrong password gets the form again; anything else only says why.
    if (res.status == 401 || res.status == 429) {
      res.set_content(signIn_.pageHtml(session, done.error().description),
                      "text/html; charset=utf-8");
    } else {
      res.set_content(done.error().description + "\n", "text/plain; charset=utf-8");
    }
    return;
  }
  res.set_content(SignInDesk::confirmedHtml(), "text/html; charset=utf-8");
}

void DevService::handleSignInCollect(const httplib::Request& req, httplib::Response& res) {
  bool present = false;
  std::string verifier = firstParam(parseQuery(req.target), "verifier", present);
  res.set_header("Cache-Control", "no-store");
  if (!SignInDesk::validSession(verifier)) {
    res.status = 400;
    res.set_content("bad verifier\n", "text/plain");
    return;
  }
  auto token = signIn_.collect(verifier, now());
  if (!token) {
    res.status =
        token.error().domain == kDevServiceErrorDomain ? static_cast<int>(token.error().code) : 500;
    res.set_content(token.error().description + "\n", "text/plain");
  } else if (*token) {
    res.set_content(**token + "\n", "text/plain");
  } else {
    res.status = 202;
    res.set_content("waiting\n", "text/plain");
  }
}

void DevService::handleList(const httplib::Request& req, httplib::Response& res) {
  if (!authorized(req, res)) return;
  Fault fault = Fault::none;
  if (injectFault(true, req, res, fault)) return;
  auto q = parseQuery(req.target);
  bool hasPrefix = false, hasDelimiter = false, hasExact = false, hasCursor = false;
  std::string prefix = firstParam(q, "prefix", hasPrefix);
  std::string delimiter = firstParam(q, "delimiter", hasDelimiter);
  std::string exact = firstParam(q, "exact", hasExact);
  std::string cursor = firstParam(q, "cursor", hasCursor);
  if (hasDelimiter && delimiter != "/") {
    answerError(res, Error{kDevServiceErrorDomain, 400, "the only delimiter is \"/\""}, fault);
    return;
  }
  json body;
  body["entries"] = json::array();
  if (hasExact && exact == "1") {
    auto found = store_->exact(prefix);
    if (!found) return answerError(res, found.error(), fault);
    if (*found) body["entries"].push_back(recordJson(**found));
  } else {
    auto page = store_->list(prefix, hasDelimiter, cursor, options_.pageSize);
    if (!page) return answerError(res, page.error(), fault);
    for (const auto& r : page->records) body["entries"].push_back(recordJson(r));
    if (page->cursor) body["cursor"] = *page->cursor;
  }
  setBody(res, body.dump(), "application/json", fault);
}

void DevService::handleDownloadUrl(const httplib::Request& req, httplib::Response& res) {
  if (!authorized(req, res)) return;
  Fault fault = Fault::none;
  if (injectFault(true, req, res, fault)) return;
  bool hasKey = false;
  std::string key = firstParam(parseQuery(req.target), "key", hasKey);
  if (!hasKey)
    return answerError(res, Error{kDevServiceErrorDomain, 400, "\"key\" is required"}, fault);
  auto now = std::chrono::duration_cast<std::chrono::seconds>(
                 std::chrono::system_clock::now().time_since_epoch())
                 .count();
  auto made = store_->downloadUrl(key, publicOrigin(req), now);
  if (!made) return answerError(res, made.error(), fault);
  json body{{"url", made->url}, {"expires", static_cast<double>(made->expires)}};
  setBody(res, body.dump(), "application/json", fault);
}

void DevService::handleObject(const httplib::Request& req, httplib::Response& res) {
  Fault fault = Fault::none;
  if (injectFault(false, req, res, fault)) return;
  auto q = parseQuery(req.target);
  bool hasKey = false, hasExpires = false, hasSig = false;
  std::string key = firstParam(q, "key", hasKey);
  std::string expiresText = firstParam(q, "expires", hasExpires);
  std::string sig = firstParam(q, "sig", hasSig);
  std::int64_t expires = 0;
  auto [end, ec] =
      std::from_chars(expiresText.data(), expiresText.data() + expiresText.size(), expires);
  auto now = std::chrono::duration_cast<std::chrono::seconds>(
                 std::chrono::system_clock::now().time_since_epoch())
                 .count();
  // The request object is the server's own mutable one, handed to us as
  // const: clearing its ranges is how an answer goes out whole (error pages
  // included, which are no part of the object).
  auto& ranges = const_cast<httplib::Request&>(req).ranges;
  if (!hasKey || !hasSig || ec != std::errc() || end != expiresText.data() + expiresText.size() ||
      !signer_.verify(key, expires, sig, now)) {
    ranges.clear();
    res.status = 403;
    res.set_content(errorJson("the download link is not valid or has expired"), "application/json");
    return;
  }
  auto opened = tree_->openObject(key);
  if (!opened) {
    ranges.clear();
    return answerError(res, opened.error(), Fault::none);
  }
  auto object = std::make_shared<OpenObject>(std::move(*opened));
  std::size_t size = static_cast<std::size_t>(object->record.size);
  std::string etag = "\"" + object->record.etag + "\"";
  struct stat info {};
  std::string lastModified = ::fstat(object->fd.get(), &info) == 0 ? httpDate(info.st_mtime) : "";
  res.set_header("ETag", etag);
  if (!lastModified.empty()) res.set_header("Last-Modified", lastModified);
  if (!ifMatchAccepts(req.get_header_value("If-Match"), etag)) {
    ranges.clear();
    res.status = 412;
    res.set_content(errorJson("the object is no longer the version asked for"), "application/json");
    return;
  }
  // A range asked under another version, or a host that does not do
  // ranges: the whole object, with 200.
  if (options_.ignoreRanges ||
      !ifRangeStands(req.get_header_value("If-Range"), etag, lastModified)) {
    ranges.clear();
  }
  if (!normaliseRanges(const_cast<httplib::Request&>(req), size)) {
    res.status = 416;
    res.set_header("Content-Range", "bytes */" + std::to_string(size));
    return;
  }
  res.set_header("Accept-Ranges", options_.ignoreRanges ? "none" : "bytes");
  std::size_t limit = fault == Fault::truncate ? size / 2 : size;
  // In the slow mode each answer is paced on its own; a piece goes out as
  // soon as it is due, so a client sees the first bytes at once.
  std::shared_ptr<Pacer> pacer =
      options_.objectRate > 0 ? std::make_shared<Pacer>(options_.objectRate) : nullptr;
  res.set_content_provider(size, "application/octet-stream",
                           [object, limit, pacer, buffer = std::make_shared<std::vector<char>>()](
                               std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                             // A truncating fault stops at half the file, whatever range was asked.
                             if (offset >= limit) return false;
                             std::size_t want = std::min({length, kChunk, limit - offset});
                             if (pacer) {
                               want = pacer->pieceSize(want);
                               pacer->awaitTurn(want);
                             }
                             buffer->resize(kChunk);
                             ssize_t got = ::pread(object->fd.get(), buffer->data(), want,
                                                   static_cast<off_t>(offset));
                             if (got <= 0)
                               return false;  // the file shrank or failed: close the connection
                             return sink.write(buffer->data(), static_cast<std::size_t>(got));
                           });
}

}  // namespace lumora::devservice
