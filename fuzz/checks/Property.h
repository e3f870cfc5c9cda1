#pragma once
// Property checks shared by the fuzz targets and the regression tests: each
// check takes one input and returns the first property it breaks, or an
// empty text when all hold. The fuzz target aborts on a broken property so
// libFuzzer keeps the input; the regression test reports it as a failure.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace lumora::fuzz {

// Returns from the enclosing check with `what` when `condition` is false.
#define LUMORA_PROPERTY(condition, what)        \
  do {                                          \
    if (!(condition)) return std::string(what); \
  } while (false)

inline std::string_view asText(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// Printable form of arbitrary bytes for failure messages.
inline std::string escaped(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

// For LLVMFuzzerTestOneInput: a broken property is a finding.
inline int abortOnBroken(const std::string& broken) {
  if (!broken.empty()) {
    std::fprintf(stderr, "broken property: %s\n", broken.c_str());
    std::abort();
  }
  return 0;
}

}  // namespace lumora::fuzz
