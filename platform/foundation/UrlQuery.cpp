#include "platform/foundation/UrlQuery.h"

namespace lumora {
namespace {

bool staysLiteral(unsigned char c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '-':
    case '.':
    case '_':
    case '~':
    case '!':
    case '$':
    case '\'':
    case '(':
    case ')':
    case '*':
    case ',':
    case ';':
    case ':':
    case '@':
    case '/':
      return true;
    default:
      return false;
  }
}

}  // namespace

std::string encodeQueryComponent(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    if (staysLiteral(c)) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xf]);
    }
  }
  return out;
}

std::string encodeQuery(const std::vector<QueryItem>& items) {
  std::string out;
  for (const auto& [name, value] : items) {
    if (!out.empty()) out.push_back('&');
    out += encodeQueryComponent(name);
    out.push_back('=');
    out += encodeQueryComponent(value);
  }
  return out;
}

std::string appendPath(std::string_view base, std::string_view path) {
  while (!base.empty() && base.back() == '/') base.remove_suffix(1);
  while (!path.empty() && path.front() == '/') path.remove_prefix(1);
  std::string out(base);
  out.push_back('/');
  out += path;
  return out;
}

std::string buildUrl(std::string_view base, std::string_view path,
                     const std::vector<QueryItem>& items) {
  std::string url = appendPath(base, path);
  if (!items.empty()) {
    url.push_back('?');
    url += encodeQuery(items);
  }
  return url;
}

}  // namespace lumora
