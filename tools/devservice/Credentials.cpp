#include "tools/devservice/Credentials.h"

#include <cstdlib>
#include <sstream>

#include "platform/foundation/TextFile.h"

namespace lumora::devservice {
namespace {

std::string trim(std::string_view text) {
  std::size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  std::size_t last = text.find_last_not_of(" \t\r");
  return std::string(text.substr(first, last - first + 1));
}

std::unexpected<Error> credentialsError(std::string message) {
  return fail("usage", 2, std::move(message));
}

}  // namespace

Result<AwsCredentials> parseCredentialsFile(std::string_view text, std::string_view profile) {
  std::string wanted(profile);
  if (wanted.empty()) {
    const char* env = std::getenv("AWS_PROFILE");
    wanted = env && *env ? env : "default";
  }
  AwsCredentials found;
  bool inSection = false, sawSection = false;
  std::istringstream lines{std::string(text)};
  std::string line;
  while (std::getline(lines, line)) {
    std::string item = trim(line);
    if (item.empty() || item[0] == '#' || item[0] == ';') continue;
    if (item.front() == '[' && item.back() == ']') {
      std::string name = trim(std::string_view(item).substr(1, item.size() - 2));
      if (name.starts_with("profile ")) name = trim(std::string_view(name).substr(8));
      inSection = name == wanted;
      sawSection = sawSection || inSection;
      continue;
    }
    if (!inSection) continue;
    std::size_t eq = item.find('=');
    if (eq == std::string::npos) continue;
    std::string name = trim(std::string_view(item).substr(0, eq));
    std::string value = trim(std::string_view(item).substr(eq + 1));
    if (name == "aws_access_key_id") found.accessKeyId = value;
    if (name == "aws_secret_access_key") found.secretAccessKey = value;
    if (name == "aws_session_token") found.sessionToken = value;
  }
  if (!sawSection) return credentialsError("the credentials file has no [" + wanted + "] section");
  if (found.accessKeyId.empty() || found.secretAccessKey.empty()) {
    return credentialsError("the [" + wanted +
                            "] section needs aws_access_key_id and aws_secret_access_key");
  }
  return found;
}

Result<AwsCredentials> loadCredentials(const std::optional<std::filesystem::path>& file) {
  if (file) {
    auto text = readUtf8File(*file);
    if (!text) return credentialsError("cannot read the credentials file " + file->string());
    return parseCredentialsFile(*text, "");
  }
  auto env = [](const char* name) {
    const char* value = std::getenv(name);
    return std::string(value ? value : "");
  };
  AwsCredentials found{env("AWS_ACCESS_KEY_ID"), env("AWS_SECRET_ACCESS_KEY"),
                       env("AWS_SESSION_TOKEN")};
  if (found.accessKeyId.empty() || found.secretAccessKey.empty()) {
    return credentialsError(
        "a bucket needs credentials: AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY, or "
        "--s3-credentials FILE");
  }
  return found;
}

}  // namespace lumora::devservice
