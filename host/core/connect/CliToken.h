#pragma once
// The access token that the command-line tool leaves under the home.

#include <filesystem>
#include <string>

namespace lumora::host {

// home + "/.lumora/auth/token"
std::filesystem::path cliTokenFile(const std::filesystem::path& home);

// The file's text with white space and line breaks trimmed at both ends; ""
// when it is missing, unreadable or not UTF-8.
std::string readCliToken(const std::filesystem::path& home);

}  // namespace lumora::host
