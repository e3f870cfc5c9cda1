#pragma once
// The store's credentials: from a shared-credentials file (ini sections
// with aws_access_key_id, aws_secret_access_key, aws_session_token) when one
// is named, else from AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY and
// AWS_SESSION_TOKEN. Never from the command line; errors never quote them.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Error.h"
#include "tools/devservice/SigV4.h"

namespace lumora::devservice {

// `profile` is the section to read; empty means $AWS_PROFILE, else "default".
Result<AwsCredentials> parseCredentialsFile(std::string_view text, std::string_view profile);
Result<AwsCredentials> loadCredentials(const std::optional<std::filesystem::path>& file);

}  // namespace lumora::devservice
