#include "platform/foundation/CurlErrors.h"

#include <cerrno>

#include "platform/foundation/TransferError.h"

namespace lumora {
namespace {

TransferError transferErrorFor(CURLcode code, int osErrno) {
  // A connection dropped during the TLS handshake is a dropped connection,
  // not a refused certificate: the next one may well pass.
  if (code == CURLE_SSL_CONNECT_ERROR && (osErrno == ECONNRESET || osErrno == EPIPE)) {
    return TransferError::connectionLost;
  }
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
      return TransferError::timedOut;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return TransferError::hostNotFound;
    case CURLE_COULDNT_CONNECT:
      return TransferError::couldNotConnect;
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2_STREAM:
      return TransferError::connectionLost;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
      return TransferError::tlsFailed;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_TOO_MANY_REDIRECTS:
    case CURLE_HTTP2:
    case CURLE_RANGE_ERROR:
      return TransferError::badResponse;
    case CURLE_FILESIZE_EXCEEDED:
      return TransferError::tooLarge;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
      return TransferError::unsupportedUrl;
    default:
      return TransferError::failed;
  }
}

}  // namespace

Error transferErrorFromCurl(CURLcode code, const char* detail, int osErrno) {
  std::string message = detail && *detail ? detail : curl_easy_strerror(code);
  return transferError(transferErrorFor(code, osErrno), std::move(message));
}

}  // namespace lumora
