#include "tools/devservice/S3Listing.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <time.h>

#include <cctype>
#include <charconv>
#include <memory>
#include <optional>

#include "tools/devservice/StorageTree.h"

namespace lumora::devservice {
namespace {

using Document = std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)>;

// A document type could declare entities that expand without bound; no
// store's answer has one, so one is refused before any parsing.
bool declaresType(std::string_view xml) {
  return xml.find("<!DOCTYPE") != std::string_view::npos ||
         xml.find("<!ENTITY") != std::string_view::npos;
}

Document parse(std::string_view xml) {
  // No network, no entities, no DTD: the body comes from outside.
  if (declaresType(xml)) return Document(nullptr, &xmlFreeDoc);
  return Document(xmlReadMemory(xml.data(), static_cast<int>(xml.size()), "store.xml", nullptr,
                                XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING),
                  &xmlFreeDoc);
}

bool named(const xmlNode* node, const char* name) {
  return node->type == XML_ELEMENT_NODE && xmlStrcmp(node->name, BAD_CAST name) == 0;
}

std::string text(const xmlNode* node) {
  xmlChar* content = xmlNodeGetContent(node);
  std::string out = content ? reinterpret_cast<const char*>(content) : "";
  xmlFree(content);
  return out;
}

const xmlNode* child(const xmlNode* node, const char* name) {
  for (const xmlNode* c = node->children; c; c = c->next) {
    if (named(c, name)) return c;
  }
  return nullptr;
}

std::unexpected<Error> badAnswer(std::string what) {
  return fail(kDevServiceErrorDomain, 502, "the store's listing is not usable: " + what);
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A name of a listing asked with encoding-type=url: percent escapes, and a
// space as "+" (the store encodes as a form does).
std::optional<std::string> urlDecoded(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] != '%') {
      out += text[i];
    } else {
      int high = i + 2 < text.size() ? hexValue(text[i + 1]) : -1;
      int low = high >= 0 ? hexValue(text[i + 2]) : -1;
      if (low < 0) return std::nullopt;
      out += static_cast<char>(high * 16 + low);
      i += 2;
    }
  }
  return out;
}

}  // namespace

Result<S3ListResult> parseListObjectsV2(std::string_view xml) {
  if (declaresType(xml)) return badAnswer("a document type declaration");
  Document doc = parse(xml);
  const xmlNode* root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
  if (!root || !named(root, "ListBucketResult")) return badAnswer("no ListBucketResult");
  // A store that honours encoding-type=url says so; one that ignores it
  // sends names as they are.
  const xmlNode* encoding = child(root, "EncodingType");
  const bool encoded = encoding && text(encoding) == "url";
  if (encoding && !encoded) return badAnswer("names in an unknown encoding");
  auto name = [&](const xmlNode* node) {
    return encoded ? urlDecoded(text(node)) : std::optional<std::string>(text(node));
  };
  S3ListResult out;
  bool truncated = false;
  for (const xmlNode* n = root->children; n; n = n->next) {
    if (named(n, "Contents")) {
      const xmlNode* key = child(n, "Key");
      if (!key) return badAnswer("an object without a key");
      S3Object object;
      auto keyName = name(key);
      if (!keyName) return badAnswer("a key that is not URL-encoded");
      object.key = std::move(*keyName);
      if (const xmlNode* etag = child(n, "ETag")) {
        object.etag = text(etag);
        if (object.etag.size() >= 2 && object.etag.front() == '"' && object.etag.back() == '"') {
          object.etag = object.etag.substr(1, object.etag.size() - 2);
        }
      }
      if (const xmlNode* modified = child(n, "LastModified")) object.lastModified = text(modified);
      if (const xmlNode* size = child(n, "Size")) {
        std::string digits = text(size);
        auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), object.size);
        if (ec != std::errc() || end != digits.data() + digits.size() || object.size < 0) {
          return badAnswer("an object size that is not a number");
        }
      }
      out.contents.push_back(std::move(object));
    } else if (named(n, "CommonPrefixes")) {
      const xmlNode* prefix = child(n, "Prefix");
      if (!prefix) return badAnswer("a common prefix without its prefix");
      auto prefixName = name(prefix);
      if (!prefixName) return badAnswer("a common prefix that is not URL-encoded");
      out.commonPrefixes.push_back(std::move(*prefixName));
    } else if (named(n, "IsTruncated")) {
      truncated = text(n) == "true";
    } else if (named(n, "NextContinuationToken")) {
      out.nextContinuationToken = text(n);
    }
  }
  if (!truncated) {
    out.nextContinuationToken.reset();
  } else if (!out.nextContinuationToken || out.nextContinuationToken->empty()) {
    return badAnswer("a truncated listing without a continuation token");
  }
  return out;
}

std::string s3ErrorCode(std::string_view xml) {
  Document doc = parse(xml);
  const xmlNode* root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
  if (!root || !named(root, "Error")) return {};
  const xmlNode* code = child(root, "Code");
  return code ? text(code) : std::string();
}

std::string wholeSecondsUtc(std::string_view t) {
  // YYYY-MM-DDTHH:MM:SS, then optional fraction, then Z.
  if (t.size() < 20) return {};
  for (std::size_t i = 0; i < 19; ++i) {
    bool digit = std::isdigit(static_cast<unsigned char>(t[i])) != 0;
    char want = i == 4 || i == 7 ? '-' : i == 10 ? 'T' : i == 13 || i == 16 ? ':' : '0';
    if (want == '0' ? !digit : t[i] != want) return {};
  }
  std::string_view rest = t.substr(19);
  if (rest.front() == '.') {
    std::size_t digits = 1;
    while (digits < rest.size() && std::isdigit(static_cast<unsigned char>(rest[digits]))) ++digits;
    if (digits == 1) return {};
    rest.remove_prefix(digits);
  }
  if (rest != "Z") return {};
  return std::string(t.substr(0, 19)) + "Z";
}

std::string httpDateUtc(std::string_view httpDate) {
  std::string text(httpDate);
  struct tm tm {};
  // The C locale's day and month names are the HTTP ones.
  const char* end = ::strptime(text.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &tm);
  if (end == nullptr || *end != '\0') return {};
  return formatRfc3339(static_cast<std::int64_t>(::timegm(&tm)));
}

}  // namespace lumora::devservice
