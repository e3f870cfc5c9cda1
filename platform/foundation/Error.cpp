#include "platform/foundation/Error.h"

#include <cstring>

namespace lumora {

Error posixError(int errnum, const std::string& what) {
  std::string message = what.empty() ? std::string() : what + ": ";
  message += std::strerror(errnum);
  return Error{kPosixErrorDomain, errnum, std::move(message)};
}

}  // namespace lumora
