#pragma once
// The body of an S3 ListObjectsV2 answer, and of an S3 error answer.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Error.h"

namespace lumora::devservice {

struct S3Object {
  std::string key;
  std::string etag;          // without the quotes the store puts around it
  std::string lastModified;  // as the store sent it
  std::int64_t size = 0;
};

struct S3ListResult {
  std::vector<S3Object> contents;
  std::vector<std::string> commonPrefixes;
  std::optional<std::string> nextContinuationToken;  // only while truncated
};

// Fails (502) on anything that is not a whole ListBucketResult.
Result<S3ListResult> parseListObjectsV2(std::string_view xml);
// The <Code> of an <Error> body, or empty.
std::string s3ErrorCode(std::string_view xml);
// RFC 3339 with whole seconds ("2024-05-01T10:00:00Z") from the store's
// LastModified ("2024-05-01T10:00:00.000Z"); empty when it has another form.
std::string wholeSecondsUtc(std::string_view lastModified);
// The same from an HTTP date ("Wed, 01 May 2024 10:00:00 GMT").
std::string httpDateUtc(std::string_view httpDate);

}  // namespace lumora::devservice
