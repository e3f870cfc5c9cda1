#pragma once
// One GET to the store, signed with SigV4 by libcurl, with bounded
// timeouts. Failures come back as service errors carrying the status the
// client is answered with: 504 when the store does not answer in time, 502
// for every other failure (unreachable, denied, failing, not found).

#include <map>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "tools/devservice/SigV4.h"

namespace lumora::devservice {

struct StoreRequest {
  std::string url;
  std::string region;
  int timeoutSeconds = 20;
  std::string caFile;  // empty: the system's CA store
};

// The store refused the request because the credentials' session token
// expired: new credentials may succeed where these failed.
bool sessionExpired(const Error& error);

Result<std::string> signedStoreGet(const StoreRequest& request, const AwsCredentials& credentials);

// A HEAD of one object: its headers (names in lower case), or none when the
// store has no such object.
using StoreHeaders = std::map<std::string, std::string>;
Result<std::optional<StoreHeaders>> signedStoreHead(const StoreRequest& request,
                                                    const AwsCredentials& credentials);

}  // namespace lumora::devservice
