#include "platform/foundation/TextFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <random>

namespace lumora {
namespace fs = std::filesystem;

bool isValidUtf8(std::string_view bytes) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t n = bytes.size();
  size_t i = 0;
  while (i < n) {
    unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t length = 0;
    uint32_t cp = 0;
    if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      cp = c & 0x07;
    } else {
      return false;  // continuation byte, C0/C1 overlong lead, or F5..FF
    }
    if (n - i < length) return false;
    for (size_t k = 1; k < length; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if ((length == 3 && cp < 0x800) || (length == 4 && cp < 0x10000)) return false;  // overlong
    if (cp >= 0xD800 && cp <= 0xDFFF) return false;                                  // surrogate
    if (cp > 0x10FFFF) return false;
    i += length;
  }
  return true;
}

Result<std::string> readUtf8File(const fs::path& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::unexpected(posixError(errno, path.string()));
  std::string contents;
  std::array<char, 16384> buffer{};
  for (;;) {
    ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      int saved = errno;
      ::close(fd);
      return std::unexpected(posixError(saved, path.string()));
    }
    if (got == 0) break;
    contents.append(buffer.data(), static_cast<size_t>(got));
  }
  ::close(fd);
  if (!isValidUtf8(contents)) {
    return fail(kDecodingErrorDomain, 1, "The file " + path.string() + " is not valid UTF-8 text.");
  }
  return contents;
}

namespace {

bool writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t put = ::write(fd, data.data(), data.size());
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(put));
  }
  return true;
}

}  // namespace

Result<void> writeFileAtomically(const fs::path& path, std::string_view contents, mode_t mode) {
  fs::path dir = path.parent_path();
  if (dir.empty()) dir = ".";
  std::random_device entropy;
  std::mt19937_64 random(entropy());
  int fd = -1;
  fs::path temporary;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    // Built by appending: GCC 12 warns falsely (-Wrestrict) on "." + std::string at -O2 and up.
    std::string name = ".";
    name += path.filename().string();
    name += '.';
    name += std::to_string(random());
    name += ".tmp";
    temporary = dir / name;
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) return std::unexpected(posixError(errno, temporary.string()));
  }
  if (fd < 0) return std::unexpected(posixError(EEXIST, temporary.string()));
  auto abandon = [&](int errnum) {
    ::close(fd);
    ::unlink(temporary.c_str());
    return std::unexpected(posixError(errnum, path.string()));
  };
  if (!writeAll(fd, contents)) return abandon(errno);
  if (::fchmod(fd, mode) != 0) return abandon(errno);
  if (::fsync(fd) != 0) return abandon(errno);
  if (::close(fd) != 0) {
    int saved = errno;
    ::unlink(temporary.c_str());
    return std::unexpected(posixError(saved, path.string()));
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    int saved = errno;
    ::unlink(temporary.c_str());
    return std::unexpected(posixError(saved, path.string()));
  }
  return {};
}

namespace {

// Decodes one code point at `i`, advancing it. Input is assumed valid.
uint32_t decodeAt(std::string_view s, size_t& i) {
  auto c = static_cast<unsigned char>(s[i]);
  size_t length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
  if (i + length > s.size()) {
    i = s.size();
    return 0xFFFD;
  }
  uint32_t cp = length == 1 ? c : length == 2 ? (c & 0x1F) : length == 3 ? (c & 0x0F) : (c & 0x07);
  for (size_t k = 1; k < length; ++k)
    cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  i += length;
  return cp;
}

bool isUnicodeWhitespace(uint32_t cp) {
  // White_Space property plus the line and paragraph separators.
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
         cp == 0x205F || cp == 0x3000;
}

}  // namespace

std::string trimUnicodeWhitespace(std::string_view text) {
  size_t begin = 0;
  size_t end = 0;
  bool seenContent = false;
  size_t i = 0;
  while (i < text.size()) {
    size_t start = i;
    uint32_t cp = decodeAt(text, i);
    if (!isUnicodeWhitespace(cp)) {
      if (!seenContent) begin = start;
      seenContent = true;
      end = i;
    }
  }
  if (!seenContent) return {};
  return std::string(text.substr(begin, end - begin));
}

}  // namespace lumora
