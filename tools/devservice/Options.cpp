#include "tools/devservice/Options.h"

#include <charconv>
#include <cstdlib>

#include "platform/foundation/Paths.h"

namespace lumora::devservice {
namespace {

std::unexpected<Error> usage(std::string message) {
  return fail("usage", 2, std::move(message));
}

template <class T>
bool parseNumber(const std::string& text, T& out) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size();
}

bool parseShare(const std::string& text, double& out) {
  char* end = nullptr;
  out = std::strtod(text.c_str(), &end);
  return !text.empty() && end == text.c_str() + text.size() && out >= 0 && out <= 1;
}

// The sign-in and token options, in a block of their own.
enum class SignInOption { unknown, done, bad };

SignInOption parseSignInOption(const std::vector<std::string>& args, std::size_t& i, Options& o) {
  const std::string& a = args[i];
  if (a != "--users" && a != "--token-lifetime" && a != "--clock-offset") {
    return SignInOption::unknown;
  }
  if (i + 1 >= args.size()) return SignInOption::bad;
  const std::string& v = args[++i];
  if (a == "--users") {
    if (v.empty()) return SignInOption::bad;
    o.usersFile = v;
    return SignInOption::done;
  }
  std::int64_t n = 0;
  if (!parseNumber(v, n)) return SignInOption::bad;
  constexpr std::int64_t kTenYears = 10LL * 366 * 24 * 3600;
  if (a == "--token-lifetime") {
    if (n < 1 || n > kTenYears) return SignInOption::bad;
    o.tokenLifetimeSeconds = n;
  } else {
    if (n < -kTenYears || n > kTenYears) return SignInOption::bad;
    o.clockOffsetSeconds = n;
  }
  return SignInOption::done;
}

}  // namespace

const char* usageText() {
  return R"(usage: lumora-devservice --root DIR [options]
       lumora-devservice --s3-endpoint URL --bucket NAME [options]

Serves DIR, or a bucket of an S3-compatible store, as the storage tree
"mirror/" of the Lumora API: /storage/list, /storage/download-url, signed
object URLs, and a browser sign-in page at /signin. When ready it prints its
base URL on one line of standard output.

  --root DIR            folder to serve
  --s3-endpoint URL     serve a bucket of this S3-compatible store instead
  --bucket NAME         the bucket (with --s3-endpoint)
  --region R            the store's region (default us-east-1)
  --key-prefix P        the bucket's keys that "mirror/" stands for (default none)
  --s3-credentials FILE credentials file (ini: aws_access_key_id,
                        aws_secret_access_key, aws_session_token; section
                        $AWS_PROFILE or default); without it the
                        AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY and
                        AWS_SESSION_TOKEN variables
  --s3-ca-file FILE     extra CA bundle for an https store
  --s3-timeout SECS     bound of every request to the store (default 20)
  --secret-file FILE    secret (at least 32 characters) shared by instances
                        that serve the same storage: tokens, download URLs
                        and cursors of one verify on all
  --state DIR           state folder: certificate, tokens, URL secret
                        (default $XDG_STATE_HOME/lumora-devservice)
  --host ADDR           address to listen on (default 127.0.0.1)
  --port N              port; 0 picks a free one (default 0)
  --plain               plain HTTP instead of HTTPS (loopback addresses only)
  --tls-cert FILE       certificate chain (PEM) to serve instead of the state
                        folder's own, so that instances share one
  --tls-key FILE        its private key (PEM), with --tls-cert
  --page-size N         records per listing page (default 1000)
  --url-lifetime SECS   lifetime of download URLs (default 300)
  --threads N           worker threads, one per open connection (default 64)
  --issue-token FILE    mint a token before serving and write it to FILE (0600)
  --log                 log every request to standard error
  --object-rate N       send object bodies at N bytes per second, in pieces
  --ignore-ranges       answer object requests whole with 200, ignoring Range
  --latency-ms N        add N ms before every answer in the fault scope
  --fail-share X        answer this share of requests with 500 (0 to 1)
  --truncate-share X    cut this share of bodies halfway and close
  --drop-share X        close this share of connections without an answer
  --malformed-share X   answer this share of API requests with broken JSON
  --fault-scope S       all, api (/storage/*) or objects (default all)
  --fault-seed N        seed of the fault generator (default 1)
  --users FILE          who may sign in: lines of NAME:ARGON2ID-HASH, made with
                        "lumora-devservice adduser"; re-read when it changes.
                        Required to listen on a non-loopback address
  --token-lifetime SECS lifetime of signed-in tokens (default 2592000, 30 days)
  --clock-offset SECS   shift the clock that tokens and sign-ins are checked
                        against (for tests; may be negative)
  --help                show this text

The certificate is made on first start as STATE/cert.pem; it is its own CA,
so clients trust that file (curl --cacert, -DLUMORA_API_CA_FILE).

       lumora-devservice adduser FILE NAME
Adds NAME to the users file FILE (made 0600 if missing), or sets a new
password: the first line of standard input, hashed with Argon2id.

       lumora-devservice revoke TOKEN-ID|TOKEN|--user NAME [--secret-file F|--state DIR]
Refuses one token from now on, or every token NAME holds now, on every
instance that shares the secret: the revocations live beside it, in F.revoked
(without --secret-file, in DIR/revoked-tokens).
)";
}

bool isLoopbackHost(const std::string& host) {
  return host == "localhost" || host == "::1" || host.starts_with("127.");
}

Result<Options> parseOptions(const std::vector<std::string>& args) {
  Options o;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= args.size()) return std::nullopt;
      return args[++i];
    };
    auto needs = [&](const char* what) { return usage(a + " needs " + what); };
    if (a == "--help" || a == "-h") {
      o.help = true;
    } else if (a == "--plain") {
      o.tls = false;
    } else if (a == "--log") {
      o.log = true;
    } else if (a == "--ignore-ranges") {
      o.ignoreRanges = true;
    } else if (a == "--object-rate") {
      auto v = value();
      if (!v || !parseNumber(*v, o.objectRate) || o.objectRate == 0) {
        return needs("a number of bytes per second, at least 1");
      }
    } else if (a == "--s3-endpoint" || a == "--bucket" || a == "--region" || a == "--key-prefix" ||
               a == "--s3-credentials" || a == "--s3-ca-file" || a == "--s3-timeout") {
      auto v = value();
      if (!v || (v->empty() && a != "--key-prefix")) return needs("a value");
      BucketOptions& b = o.bucket ? *o.bucket : o.bucket.emplace();
      if (a == "--s3-endpoint") b.endpoint = *v;
      if (a == "--bucket") b.bucket = *v;
      if (a == "--region") b.region = *v;
      if (a == "--key-prefix") b.keyPrefix = *v;
      if (a == "--s3-credentials") b.credentialsFile = *v;
      if (a == "--s3-ca-file") b.caFile = *v;
      if (a == "--s3-timeout") {
        long n = 0;
        if (!parseNumber(*v, n) || n < 1 || n > 600) return usage("--s3-timeout is 1 to 600");
        b.timeoutSeconds = static_cast<int>(n);
      }
    } else if (a == "--root" || a == "--state" || a == "--issue-token" || a == "--host" ||
               a == "--fault-scope" || a == "--secret-file" || a == "--tls-cert" ||
               a == "--tls-key") {
      auto v = value();
      if (!v || v->empty()) return needs("a value");
      if (a == "--secret-file") o.secretFile = *v;
      if (a == "--tls-cert") o.tlsCert = *v;
      if (a == "--tls-key") o.tlsKey = *v;
      if (a == "--root") o.root = *v;
      if (a == "--state") o.state = *v;
      if (a == "--issue-token") o.issueTokenFile = *v;
      if (a == "--host") o.host = *v;
      if (a == "--fault-scope") {
        if (*v == "all")
          o.faults.scope = FaultScope::all;
        else if (*v == "api")
          o.faults.scope = FaultScope::api;
        else if (*v == "objects")
          o.faults.scope = FaultScope::objects;
        else
          return usage("--fault-scope is all, api or objects");
      }
    } else if (a == "--port" || a == "--page-size" || a == "--url-lifetime" || a == "--threads" ||
               a == "--latency-ms") {
      // Each value is checked as parsed, before it is narrowed to its field.
      struct Range {
        long low, high;
      };
      Range range = a == "--port"           ? Range{0, 65535}
                    : a == "--page-size"    ? Range{1, 100000}
                    : a == "--url-lifetime" ? Range{1, 31536000}
                    : a == "--threads"      ? Range{1, 4096}
                                            : Range{0, 600000};
      auto v = value();
      long n = 0;
      if (!v || !parseNumber(*v, n) || n < range.low || n > range.high) {
        return usage(a + " is " + std::to_string(range.low) + " to " + std::to_string(range.high));
      }
      if (a == "--port") o.port = static_cast<int>(n);
      if (a == "--page-size") o.pageSize = static_cast<std::size_t>(n);
      if (a == "--url-lifetime") o.urlLifetimeSeconds = static_cast<int>(n);
      if (a == "--threads") o.threads = static_cast<int>(n);
      if (a == "--latency-ms") o.faults.latency = std::chrono::milliseconds(n);
    } else if (a == "--fail-share" || a == "--truncate-share" || a == "--drop-share" ||
               a == "--malformed-share") {
      auto v = value();
      double x = 0;
      if (!v || !parseShare(*v, x)) return needs("a share from 0 to 1");
      if (a == "--fail-share") o.faults.error500 = x;
      if (a == "--truncate-share") o.faults.truncate = x;
      if (a == "--drop-share") o.faults.drop = x;
      if (a == "--malformed-share") o.faults.malformed = x;
    } else if (a == "--fault-seed") {
      auto v = value();
      if (!v || !parseNumber(*v, o.faults.seed)) return needs("a number");
    } else if (auto known = parseSignInOption(args, i, o); known != SignInOption::unknown) {
      if (known == SignInOption::bad) return usage(a + " needs a valid value (see --help)");
    } else {
      return usage("unknown option " + a);
    }
  }
  if (o.help) return o;
  if (o.bucket) {
    if (!o.root.empty()) return usage("--root and --s3-endpoint exclude each other");
    if (o.bucket->endpoint.empty() || o.bucket->bucket.empty()) {
      return usage("a bucket needs --s3-endpoint and --bucket");
    }
    const std::string& p = o.bucket->keyPrefix;
    if (!p.empty() && p.back() != '/') return usage("--key-prefix ends in \"/\"");
    // A store's presigned URLs live from one second to seven days.
    if (o.urlLifetimeSeconds < 1 || o.urlLifetimeSeconds > 604800) {
      return usage("with a bucket, --url-lifetime is 1 to 604800 seconds");
    }
  } else if (o.root.empty()) {
    return usage("--root or --s3-endpoint is required");
  }
  const auto& f = o.faults;
  if (f.drop + f.error500 + f.truncate + f.malformed > 1.0 + 1e-9) {
    return usage("the fault shares add up to more than 1");
  }
  if (!o.tls && !isLoopbackHost(o.host)) return usage("--plain is only allowed on loopback");
  // Only this machine may reach a service where nobody can prove who signs in.
  if (!o.usersFile && !isLoopbackHost(o.host)) {
    return usage("listening on " + o.host +
                 " needs --users: without a users file nobody can prove who signs in");
  }
  if (o.tlsCert.has_value() != o.tlsKey.has_value()) {
    return usage("--tls-cert and --tls-key go together");
  }
  if (o.tlsCert && !o.tls) return usage("--tls-cert and --plain exclude each other");
  if (o.state.empty()) {
    const char* xdg = std::getenv("XDG_STATE_HOME");
    std::filesystem::path base =
        xdg && xdg[0] == '/' ? std::filesystem::path(xdg) : paths::homeDirectory() / ".local/state";
    o.state = base / "lumora-devservice";
  }
  return o;
}

}  // namespace lumora::devservice
