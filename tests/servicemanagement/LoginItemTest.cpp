// The XDG autostart login item, written and read back in a temporary folder.
#include <gtest/gtest.h>

#include <fstream>

#include "platform/foundation/TextFile.h"
#include "platform/servicemanagement/LoginItem.h"
#include "tests/fixtures/TempHome.h"

namespace lumora::servicemanagement {
namespace {
namespace fs = std::filesystem;

class LoginItemTest : public ::testing::Test {
 protected:
  fs::path entry() const { return dir.path() / "autostart/com.lumora.desktop.desktop"; }
  void writeEntry(const std::string& text) {
    fs::create_directories(entry().parent_path());
    std::ofstream(entry()) << text;
  }
  testing::TempDir dir;
};

TEST_F(LoginItemTest, RegisteringMakesAMissingItemEnabled) {
  XdgAutostartLoginItem item(entry(), "/usr/bin/lumora-desktop");
  EXPECT_EQ(item.status(), LoginItemStatus::notRegistered);
  ASSERT_TRUE(item.registerItem());
  EXPECT_EQ(item.status(), LoginItemStatus::enabled);
  auto text = readUtf8File(entry());
  ASSERT_TRUE(text);
  EXPECT_NE(text->find("[Desktop Entry]\n"), std::string::npos);
  EXPECT_NE(text->find("Type=Application\n"), std::string::npos);
  EXPECT_EQ(static_cast<int>(fs::status(entry()).permissions() & fs::perms::all), 0644);
}

TEST_F(LoginItemTest, ProgramPathsWithSpecialCharactersRoundTrip) {
  for (const char* program :
       {"/opt/Lumora Desktop/lumora", "/x/100%/a\"b$c`d\\e", "/home/o'neil/l"}) {
    XdgAutostartLoginItem item(entry(), program);
    ASSERT_TRUE(item.registerItem()) << program;
    EXPECT_EQ(item.status(), LoginItemStatus::enabled) << program;
    // Another program is not this item.
    EXPECT_EQ(XdgAutostartLoginItem(entry(), "/opt/Lumora").status(),
              LoginItemStatus::notRegistered);
  }
}

TEST_F(LoginItemTest, StaleEntriesAreNotEnabled) {
  XdgAutostartLoginItem item(entry(), "/usr/bin/lumora-desktop");
  writeEntry("[Desktop Entry]\nType=Application\nExec=/usr/bin/lumora-desktop --flag\n");
  EXPECT_EQ(item.status(), LoginItemStatus::enabled);  // arguments after the program are fine
  writeEntry("[Desktop Entry]\nExec=/old/lumora-desktop\n");
  EXPECT_EQ(item.status(), LoginItemStatus::notRegistered);
  writeEntry("[Other Group]\nExec=/usr/bin/lumora-desktop\n");
  EXPECT_EQ(item.status(), LoginItemStatus::notRegistered);
  ASSERT_TRUE(item.registerItem());
  EXPECT_EQ(item.status(), LoginItemStatus::enabled);
}

TEST_F(LoginItemTest, AnEntryTheUserTurnedOffStaysOff) {
  XdgAutostartLoginItem item(entry(), "/usr/bin/lumora-desktop");
  for (const char* entryText :
       {"[Desktop Entry]\nExec=/usr/bin/lumora-desktop\nHidden=true\n",
        "[Desktop Entry]\nExec=/usr/bin/lumora-desktop\nX-GNOME-Autostart-enabled=false\n",
        "[Desktop Entry]\nExec=/old/lumora-desktop\nHidden=true\n"}) {
    writeEntry(entryText);
    EXPECT_EQ(item.status(), LoginItemStatus::requiresApproval) << entryText;
    auto registered = item.registerItem();
    ASSERT_FALSE(registered) << entryText;
    EXPECT_EQ(registered.error().code, EPERM);
    EXPECT_EQ(readUtf8File(entry()).value_or(""), entryText);
  }
}

TEST_F(LoginItemTest, UnwritableFolderIsAnError) {
  std::ofstream(dir.path() / "autostart") << "a file where the folder should be";
  XdgAutostartLoginItem item(entry(), "/usr/bin/lumora-desktop");
  auto registered = item.registerItem();
  ASSERT_FALSE(registered);
  EXPECT_FALSE(registered.error().description.empty());
  EXPECT_EQ(item.status(), LoginItemStatus::notRegistered);
}

TEST(MainAppLoginItemTest, PointsAtThisExecutableInTheAutostartFolder) {
  testing::TempHome home;
  auto item = XdgAutostartLoginItem::mainApp();
  EXPECT_EQ(item.entryFile(), home.home() / ".config/autostart/com.lumora.desktop.desktop");
  ASSERT_TRUE(item.registerItem());
  EXPECT_EQ(item.status(), LoginItemStatus::enabled);
  auto text = readUtf8File(item.entryFile());
  ASSERT_TRUE(text);
  EXPECT_NE(text->find(fs::read_symlink("/proc/self/exe").string()), std::string::npos);
}

}  // namespace
}  // namespace lumora::servicemanagement
