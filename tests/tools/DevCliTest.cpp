// The stand-in command-line tool, run as a real shell script in a temporary
// home, the way the desktop app runs it.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "tests/tools/ServiceProcess.h"

namespace lumora::testing {
namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class DevCliTest : public ::testing::Test {
 protected:
  ProcessResult lumora(std::vector<std::string> words, std::vector<std::string> env = {}) {
    words.insert(words.begin(), tool().string());
    env.push_back("HOME=" + home.home().string());
    env.push_back("XDG_CONFIG_HOME=" + (home.home() / ".config").string());
    return runProcess(words, env);
  }
  fs::path tool() const { return home.home() / ".lumora/cli/bin/lumora"; }
  fs::path units() const { return home.home() / ".config/systemd/user"; }
  void install(const std::string& service = "https://127.0.0.1:1", const std::string& ca = "") {
    const std::string installer = std::string(LUMORA_DEVCLI_DIR) + "/install";
    std::vector<std::string> argv = {installer, "--home", home.home().string(), "--service",
                                     service};
    if (!ca.empty()) argv.insert(argv.end(), {"--ca", ca});
    auto r = runProcess(argv, {"XDG_CONFIG_HOME=" + (home.home() / ".config").string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
  }
  TempHome home;
};

TEST_F(DevCliTest, InstallPlacesTheToolAndTheDiskAgents) {
  install();
  struct stat st {};
  ASSERT_EQ(::stat(tool().c_str(), &st), 0);
  EXPECT_TRUE(st.st_mode & S_IXUSR);
  for (const char* label : {"com.lumora.mirror", "com.lumora.evict"}) {
    std::string unit = slurp(units() / (std::string(label) + ".service"));
    EXPECT_NE(unit.find("[Service]"), std::string::npos) << label;
    EXPECT_NE(unit.find("ExecStart=\"" + tool().string() + "\" agent"), std::string::npos) << unit;
  }
}

TEST_F(DevCliTest, FeatureCommandsCreateAndRemoveExactlyTheMarkers) {
  install();
  struct Case {
    std::vector<std::string> on, off;
    fs::path marker;
  };
  std::vector<Case> cases = {
      {{"swap", "enable"}, {"swap", "disable"}, units() / "com.lumora.swap.service"},
      {{"box", "start"}, {"box", "stop"}, home.home() / ".lumora/box/state.json"},
      {{"gpu", "start"}, {"gpu", "stop"}, home.home() / ".lumora/state/gpu-host"},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(fs::exists(c.marker)) << c.marker;
    EXPECT_EQ(lumora(c.on).exitCode, 0);
    EXPECT_TRUE(fs::exists(c.marker)) << c.marker;
    EXPECT_EQ(lumora(c.on).exitCode, 0);  // turning on twice stays on
    EXPECT_EQ(lumora(c.off).exitCode, 0);
    EXPECT_FALSE(fs::exists(c.marker)) << c.marker;
    EXPECT_EQ(lumora(c.off).exitCode, 0);  // and off twice stays off
  }
  // The legacy marker also counts as on, so disabling removes it too.
  home.write(".config/systemd/user/dev.lumora.swap.service", "[Unit]\n");
  EXPECT_EQ(lumora({"swap", "disable"}).exitCode, 0);
  EXPECT_FALSE(fs::exists(units() / "dev.lumora.swap.service"));
  EXPECT_NE(lumora({"swap", "sideways"}).exitCode, 0);
  EXPECT_NE(lumora({"nonsense"}).exitCode, 0);
}

TEST_F(DevCliTest, CheckpointsAreListedSavedAndRestoredSideBySide) {
  install();
  home.write("Documents/notes.txt", "version one");
  home.write("Documents/deep/nested/odd name\nwith newline.txt", "nested one");
  auto empty = lumora({"snapshot", "list"});
  EXPECT_EQ(empty.exitCode, 0);
  EXPECT_NE(empty.out.find("no snapshots yet"), std::string::npos);

  ASSERT_EQ(lumora({"snapshot", "create", "--name", "manual"}).exitCode, 0);
  auto listed = lumora({"snapshot", "list"});
  std::istringstream lines(listed.out);
  std::string header, row, extra;
  std::getline(lines, header);
  std::getline(lines, row);
  EXPECT_FALSE(std::getline(lines, extra));
  EXPECT_TRUE(header.starts_with("ID "));
  std::smatch m;
  ASSERT_TRUE(std::regex_match(row, m, std::regex(R"((\S+) (\S+) (\S+) manual)"))) << row;
  std::string id = m[1];
  EXPECT_TRUE(std::regex_match(m[2].str(), std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")));

  home.write("Documents/notes.txt", "version two");
  fs::remove_all(home.home() / "Documents/deep");
  ASSERT_EQ(lumora({"snapshot", "restore", id}).exitCode, 0);
  auto docs = home.home() / "Documents";
  EXPECT_EQ(slurp(docs / "notes.txt"), "version two");  // nothing overwritten
  EXPECT_EQ(slurp(docs / "notes.txt.restored"), "version one");
  EXPECT_EQ(slurp(docs / "deep/nested/odd name\nwith newline.txt.restored"), "nested one");
  // A second restore keeps the first copies and adds new ones.
  home.write("Documents/notes.txt.restored", "edited copy");
  ASSERT_EQ(lumora({"snapshot", "restore", id}).exitCode, 0);
  EXPECT_EQ(slurp(docs / "notes.txt.restored"), "edited copy");
  EXPECT_EQ(slurp(docs / "notes.txt.2.restored"), "version one");

  EXPECT_NE(lumora({"snapshot", "restore", "no-such-id"}).exitCode, 0);
  EXPECT_NE(lumora({"snapshot", "restore", "../" + id}).exitCode, 0);
  EXPECT_NE(lumora({"snapshot", "restore"}).exitCode, 0);
}

TEST_F(DevCliTest, RestoreNeverWritesThroughALink) {
  install();
  TempDir outside;
  home.write("Documents/sub/file.txt", "saved");
  ASSERT_EQ(lumora({"snapshot", "create", "--name", "manual"}).exitCode, 0);
  fs::remove_all(home.home() / "Documents/sub");
  fs::create_directory_symlink(outside.path(), home.home() / "Documents/sub");
  std::string row = lumora({"snapshot", "list"}).out;
  std::string id =
      row.substr(row.find('\n') + 1, row.find(' ', row.find('\n') + 1) - row.find('\n') - 1);
  auto r = lumora({"snapshot", "restore", id});
  EXPECT_NE(r.exitCode, 0);
  EXPECT_TRUE(fs::is_empty(outside.path()));
}

TEST_F(DevCliTest, LoginWritesTheTokenOnceThePageIsConfirmed) {
  TempDir root;
  ASSERT_TRUE(addServiceUser(home.home() / "users", "ada", "lovelace"));
  ServiceProcess service(root.path(), {"--users", (home.home() / "users").string()});
  ASSERT_TRUE(service.ready());
  install(service.url(), service.caFile().string());
  Child login({tool().string(), "login"},
              {"HOME=" + home.home().string(), "DISPLAY=", "WAYLAND_DISPLAY=", "BROWSER=",
               "LUMORA_LOGIN_POLL=0.05", "LUMORA_LOGIN_TIMEOUT=60"});
  std::string url;
  while (auto line = login.readLine(std::chrono::seconds(10))) {
    if (line->starts_with("https://")) {
      url = *line;
      break;
    }
  }
  ASSERT_TRUE(url.starts_with(service.url() + "/signin?session=")) << url;
  EXPECT_FALSE(fs::exists(home.home() / ".lumora/auth/token"));
  auto c = service.client();
  std::string session = url.substr(url.find('=') + 1);
  ASSERT_EQ(confirmSignIn(*c, session, "ada", "lovelace")->status, 200);
  auto done = login.wait(std::chrono::seconds(20));
  EXPECT_EQ(done.exitCode, 0) << done.err;
  std::string token = slurp(home.home() / ".lumora/auth/token");
  while (!token.empty() && std::isspace(static_cast<unsigned char>(token.back()))) token.pop_back();
  EXPECT_TRUE(token.starts_with("lt1.ada.")) << token;
  EXPECT_EQ(c->Get("/storage/list?prefix=mirror/", {{"Authorization", "Bearer " + token}})->status,
            200);
  struct stat st {};
  ASSERT_EQ(::stat((home.home() / ".lumora/auth/token").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0077, 0u);
}

TEST_F(DevCliTest, LoginGivesUpWithoutWritingATokenWhenNobodyConfirms) {
  TempDir root;
  ServiceProcess service(root.path());
  ASSERT_TRUE(service.ready());
  install(service.url(), service.caFile().string());
  auto r = lumora({"login"}, {"DISPLAY=", "WAYLAND_DISPLAY=", "BROWSER=", "LUMORA_LOGIN_POLL=0.05",
                              "LUMORA_LOGIN_TIMEOUT=0"});
  EXPECT_NE(r.exitCode, 0);
  EXPECT_NE(r.out.find("/signin?session="), std::string::npos);
  EXPECT_FALSE(fs::exists(home.home() / ".lumora/auth/token"));
}

}  // namespace
}  // namespace lumora::testing
