#pragma once
// The download-URL decoder agrees with a second JSON reader and the
// decoding rules, and what it decodes encodes and decodes to the same.

#include <cmath>

#include "extension/backend/StorageRecords.h"
#include "fuzz/checks/JsonReference.h"
#include "fuzz/checks/Property.h"

namespace lumora::fuzz {

inline bool sameDouble(std::optional<double> a, std::optional<double> b) {
  if (a.has_value() != b.has_value()) return false;
  return !a || *a == *b;
}

inline std::string checkDownloadUrl(std::string_view body) {
  auto ours = backend::decodeDownloadURLResponse(body);
  if (!ours) {
    LUMORA_PROPERTY(
        ours.error().domain == kDecodingErrorDomain && !ours.error().description.empty(),
        "a refused body gave no decoding error");
  }
  ReferenceJson reference = readReference(body);
  if (ours) LUMORA_PROPERTY(reference.valid, "accepted a body that is not JSON");
  if (reference.valid && !reference.repeatsMember && !reference.hasHugeNumber) {
    const nlohmann::json& root = reference.value;
    bool accept = root.is_object();
    std::optional<std::string> url;
    std::optional<double> expires;
    if (accept) {
      auto u = root.find("url");
      accept = u != root.end() && u->is_string();
      if (accept) url = u->get<std::string>();
      auto x = root.find("expires");
      if (accept && x != root.end() && !x->is_null()) {
        accept = x->is_number();
        if (accept) expires = x->get<double>();
      }
    }
    LUMORA_PROPERTY(accept == ours.has_value(),
                    ours ? std::string("accepted a body the rules refuse")
                         : "refused a body the rules accept: " + ours.error().description);
    if (accept) {
      LUMORA_PROPERTY(*url == ours->url, "url differs from the reference");
      LUMORA_PROPERTY(sameDouble(expires, ours->expires), "expires differs from the reference");
    }
  }
  if (!ours) return {};
  LUMORA_PROPERTY(!ours->expires || std::isfinite(*ours->expires), "expires is not finite");
  nlohmann::json encoded = {{"url", ours->url}};
  if (ours->expires) encoded["expires"] = *ours->expires;
  auto again = backend::decodeDownloadURLResponse(encoded.dump());
  LUMORA_PROPERTY(again.has_value(), "the re-encoded response was refused");
  LUMORA_PROPERTY(again->url == ours->url && sameDouble(again->expires, ours->expires),
                  "the re-encoded response decodes differently");
  return {};
}

}  // namespace lumora::fuzz
