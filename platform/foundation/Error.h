#pragma once
// Errors are values: a domain, a code and a human-readable description.

#include <expected>
#include <string>
#include <utility>

namespace lumora {

// What stands behind an error whose code covers several causes (the
// extension answers every HTTP status outside 2xx with one code): the status
// that came, 0 when none is known. It tells a retry policy a 503 from a 403
// without a new code. Not part of the error's identity: errors compare equal
// whatever their causes.
struct ErrorCause {
  long httpStatus = 0;
  friend bool operator==(const ErrorCause&, const ErrorCause&) { return true; }
};

struct Error {
  std::string domain;
  long code = 0;
  std::string description;
  ErrorCause cause{};

  friend bool operator==(const Error&, const Error&) = default;
};

template <class T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> fail(std::string domain, long code, std::string description) {
  return std::unexpected(Error{std::move(domain), code, std::move(description)});
}

// Error domains of the platform layer. The File Provider domain keeps the
// framework's own text so that callers compare against the familiar name.
inline constexpr const char* kFileProviderErrorDomain = "NSFileProviderErrorDomain";
// Transfer failures of the HTTP session; the code is a TransferError.
inline constexpr const char* kTransferErrorDomain = "LumoraTransferErrorDomain";
// JSON and other decoding failures; the description names the offending member.
inline constexpr const char* kDecodingErrorDomain = "LumoraDecodingErrorDomain";
// Failures of the operating system; the code is errno.
inline constexpr const char* kPosixErrorDomain = "NSPOSIXErrorDomain";

Error posixError(int errnum, const std::string& what);

}  // namespace lumora
