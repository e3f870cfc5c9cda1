#include "platform/foundation/UniqueFd.h"

#include <fcntl.h>

#include <cerrno>

namespace lumora {

Result<PipeEnds> makePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::unexpected(posixError(errno, ""));
  return PipeEnds{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

}  // namespace lumora
