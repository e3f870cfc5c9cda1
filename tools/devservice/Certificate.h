#pragma once
// The self-signed certificate of the HTTPS listener. It is its own CA, so
// the file itself is what a client trusts (LUMORA_API_CA_FILE, curl --cacert).

#include <filesystem>

#include "platform/foundation/Error.h"

namespace lumora::devservice {

// Makes cert.pem and key.pem (P-256, ten years, names localhost, 127.0.0.1
// and ::1) unless both exist already.
Result<void> ensureCertificate(const std::filesystem::path& certFile,
                               const std::filesystem::path& keyFile);

}  // namespace lumora::devservice
