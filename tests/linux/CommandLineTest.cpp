#include <gtest/gtest.h>

#include "platform/fileprovider/linux/ControlSocket.h"
#include "platform/fileprovider/linux/Daemon.h"
#include "tests/fixtures/TempHome.h"

namespace lumora::fuse {
namespace {

TEST(CommandLineTest, TakesTheDomainAndDefaultsTheMountPointToTheHome) {
  testing::TempHome home;
  auto options =
      parseCommandLine({"--domain", "com.lumora.desktop.default", "--display-name", "Lumora"});
  ASSERT_TRUE(options.has_value()) << options.error().description;
  EXPECT_EQ(options->domain.identifier, "com.lumora.desktop.default");
  EXPECT_EQ(options->domain.displayName, "Lumora");
  EXPECT_EQ(options->mountpoint, home.home() / "Lumora");
  EXPECT_FALSE(options->foreground);

  auto explicitMount = parseCommandLine(
      {"--foreground", "--display-name", "L", "--mountpoint", "/tmp/x", "--domain", "d"});
  ASSERT_TRUE(explicitMount.has_value());
  EXPECT_TRUE(explicitMount->foreground);
  EXPECT_EQ(explicitMount->mountpoint, "/tmp/x");
}

TEST(CommandLineTest, RefusesMissingAndUnusableArguments) {
  EXPECT_FALSE(parseCommandLine({"--display-name", "Lumora"}).has_value());
  EXPECT_FALSE(parseCommandLine({"--domain", "d"}).has_value());
  EXPECT_FALSE(parseCommandLine({"--domain", "d", "--display-name"}).has_value());
  EXPECT_FALSE(parseCommandLine({"--domain", "../x", "--display-name", "L"}).has_value());
  EXPECT_FALSE(parseCommandLine({"--domain", "d", "--display-name", ".."}).has_value());
  auto unknown = parseCommandLine({"--domain", "d", "--display-name", "L", "--token", "t"});
  ASSERT_FALSE(unknown.has_value());
  EXPECT_NE(unknown.error().description.find("usage:"), std::string::npos);
}

TEST(CommandLineTest, TheControlSocketLivesInAPrivateRuntimeFolder) {
  testing::TempHome home;
  auto path = controlSocketPath("com.lumora.desktop.default");
  EXPECT_EQ(path, home.root() / "runtime/lumora/com.lumora.desktop.default.sock");
  ASSERT_TRUE(prepareControlFolder(path).has_value());
  EXPECT_EQ(std::filesystem::status(path.parent_path()).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_all);
  ::unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(controlSocketPath("d"),
            std::filesystem::path("/tmp") / ("lumora-" + std::to_string(::getuid())) / "d.sock");
}

TEST(CommandLineTest, AControlServerAnswersAndASecondOneIsRefused) {
  testing::TempHome home;
  auto path = controlSocketPath("d");
  auto server = ControlServer::start(path, [](const std::string& r) { return "ok " + r; });
  ASSERT_TRUE(server.has_value()) << server.error().description;
  auto answer = sendControlRequest(path, "status", std::chrono::seconds(2));
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(*answer, "ok status");
  EXPECT_FALSE(ControlServer::start(path, [](const std::string&) { return "ok"; }).has_value());
  server->reset();
  EXPECT_FALSE(sendControlRequest(path, "status", std::chrono::seconds(1)).has_value());
}

}  // namespace
}  // namespace lumora::fuse
