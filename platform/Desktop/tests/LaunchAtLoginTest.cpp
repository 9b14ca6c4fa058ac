#include "platform/Desktop/LaunchAtLogin.h"

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "platform/Desktop/DesktopError.h"
#include "testsupport/Fixtures.h"
#include "testsupport/RunProgram.h"

namespace platform::desktop {
namespace {

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeFile(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

class LaunchAtLoginTest : public ::testing::Test {
 protected:
  void SetUp() override { env_.set("XDG_CONFIG_HOME", config_.path().string()); }
  std::filesystem::path entry() const { return config_.path() / "autostart" / (std::string(kApplicationId) + ".desktop"); }
  std::filesystem::path olderEntry() const { return config_.path() / "autostart" / "parlet.desktop"; }

  testsupport::TempDir config_;
  testsupport::EnvironmentGuard env_;
};

TEST_F(LaunchAtLoginTest, RegisteringWritesAnAutostartEntryAndUnregisteringRemovesIt) {
  LaunchAtLogin login("/usr/bin/parlet");
  EXPECT_EQ(login.status(), LaunchAtLogin::Status::notRegistered);
  login.registerItem();
  EXPECT_EQ(LaunchAtLogin::entryPath(), entry());
  EXPECT_EQ(login.status(), LaunchAtLogin::Status::enabled);
  const std::string text = readFile(entry());
  EXPECT_EQ(text.rfind("[Desktop Entry]\n", 0), 0u) << text;
  for (const std::string& line : std::initializer_list<std::string>{"\nType=Application\n", "\nName=Parlet\n", "\nExec=/usr/bin/parlet\n", "\nTryExec=/usr/bin/parlet\n",
                                 "\nIcon=" + std::string(kApplicationId) + "\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
  login.unregister();
  EXPECT_FALSE(std::filesystem::exists(entry()));
  EXPECT_EQ(login.status(), LaunchAtLogin::Status::notRegistered);
  EXPECT_NO_THROW(login.unregister());
}

TEST_F(LaunchAtLoginTest, TheProgramPathIsQuotedAndEscapedAsLauncherEntriesRequire) {
  // Exec: an argument with reserved characters goes in double quotes, with \ " ` $ escaped by a backslash;
  // then the value's own escapes double every backslash, and % becomes %%. TryExec (which desktops
  // look for before they start the entry) is a plain string: the path with its backslashes doubled.
  struct Case {
    std::string program, exec, tryExec;
  };
  const Case cases[] = {
      {"/opt/parlet/bin/parlet", "Exec=/opt/parlet/bin/parlet", "TryExec=/opt/parlet/bin/parlet"},
      {"/opt/my apps/parlet", "Exec=\"/opt/my apps/parlet\"", "TryExec=/opt/my apps/parlet"},
      {"/opt/100%/parlet", "Exec=/opt/100%%/parlet", "TryExec=/opt/100%/parlet"},
      {"/opt/a$b/parlet", "Exec=\"/opt/a\\\\$b/parlet\"", "TryExec=/opt/a$b/parlet"},
      {"/opt/say \"hi\"/parlet", "Exec=\"/opt/say \\\\\"hi\\\\\"/parlet\"", "TryExec=/opt/say \"hi\"/parlet"},
      {"/opt/back\\slash/parlet", "Exec=\"/opt/back\\\\\\\\slash/parlet\"", "TryExec=/opt/back\\\\slash/parlet"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    LaunchAtLogin(c.program).registerItem();
    EXPECT_NE(readFile(entry()).find("\n" + c.exec + "\n"), std::string::npos) << readFile(entry());
    EXPECT_NE(readFile(entry()).find("\n" + c.tryExec + "\n"), std::string::npos) << readFile(entry());
  }
  EXPECT_THROW(LaunchAtLogin("/opt/two\nlines").registerItem(), DesktopError);
}

TEST_F(LaunchAtLoginTest, AnEntryTheDesktopSwitchedOffIsNotEnabled) {
  const std::pair<std::string, LaunchAtLogin::Status> cases[] = {
      {"[Desktop Entry]\nExec=parlet\nHidden=true\n", LaunchAtLogin::Status::notRegistered},
      {"[Desktop Entry]\nExec=parlet\nX-GNOME-Autostart-enabled = false\n", LaunchAtLogin::Status::notRegistered},
      {"[Desktop Entry]\nExec=parlet\nHidden=false\n", LaunchAtLogin::Status::enabled},
      {"[Desktop Entry]\nExec=parlet\n[Desktop Action quiet]\nHidden=true\n", LaunchAtLogin::Status::enabled},
  };
  for (const auto& [text, status] : cases) {
    SCOPED_TRACE(text);
    writeFile(entry(), text);
    EXPECT_EQ(LaunchAtLogin("/usr/bin/parlet").status(), status);
  }
}

TEST_F(LaunchAtLoginTest, TheEntryLivesUnderTheHomeConfigFolderUnlessXdgConfigHomeIsAnAbsolutePath) {
  for (std::optional<std::string> config : {std::optional<std::string>(), std::optional<std::string>("relative/config")}) {
    env_.set("XDG_CONFIG_HOME", config);
    env_.set("HOME", "/home/someone");
    EXPECT_EQ(LaunchAtLogin::entryPath(), "/home/someone/.config/autostart/" + std::string(kApplicationId) + ".desktop");
  }
}

TEST_F(LaunchAtLoginTest, AnEntryThatCannotBeWrittenIsAnErrorNamingTheFolder) {
  const auto blocker = config_.path() / "not-a-folder";
  writeFile(blocker, "a file where the config folder should be");
  env_.set("XDG_CONFIG_HOME", blocker.string());
  try {
    LaunchAtLogin("/usr/bin/parlet").registerItem();
    FAIL() << "expected DesktopError";
  } catch (const DesktopError& error) {
    EXPECT_NE(std::string(error.what()).find(blocker.string()), std::string::npos) << error.what();
  }
}

TEST_F(LaunchAtLoginTest, AnEntryOfAnEarlierVersionCountsUntilTheNextChangeRemovesIt) {
  writeFile(olderEntry(), "[Desktop Entry]\nExec=/usr/bin/parlet\n");
  LaunchAtLogin login("/usr/bin/parlet");
  EXPECT_EQ(login.status(), LaunchAtLogin::Status::enabled);
  login.registerItem();
  EXPECT_FALSE(std::filesystem::exists(olderEntry()));
  EXPECT_TRUE(std::filesystem::exists(entry()));

  writeFile(olderEntry(), "[Desktop Entry]\nExec=/usr/bin/parlet\n");
  login.unregister();
  EXPECT_FALSE(std::filesystem::exists(olderEntry()));
  EXPECT_FALSE(std::filesystem::exists(entry()));
  EXPECT_EQ(login.status(), LaunchAtLogin::Status::notRegistered);

  // The current entry decides when both are there.
  writeFile(olderEntry(), "[Desktop Entry]\nExec=/usr/bin/parlet\n");
  writeFile(entry(), "[Desktop Entry]\nExec=/usr/bin/parlet\nHidden=true\n");
  EXPECT_EQ(login.status(), LaunchAtLogin::Status::notRegistered);
}

TEST_F(LaunchAtLoginTest, ByDefaultTheEntryStartsThisExecutable) {
  LaunchAtLogin().registerItem();
  const auto self = std::filesystem::read_symlink("/proc/self/exe").string();
  EXPECT_NE(readFile(entry()).find("Exec=" + self + "\n"), std::string::npos) << readFile(entry());
}

// The program as installed (a copy under a prefix, or reached through a link on PATH) and as built:
// the entry starts the file that ran, and names the launcher entry's icon.
TEST_F(LaunchAtLoginTest, TheEntryStartsTheProgramWhereItIsInstalledOrBuilt) {
  namespace fs = std::filesystem;
  testsupport::TempDir root;
  const fs::path installed = root.path() / "usr" / "bin" / "parlet";
  const fs::path spaced = root.path() / "opt" / "my apps" / "bin" / "parlet";
  const fs::path linked = root.path() / "local" / "bin" / "parlet";
  for (const auto& copy : {installed, spaced}) {
    fs::create_directories(copy.parent_path());
    fs::copy_file(PARLET_LOGIN_PROBE, copy);
  }
  fs::create_directories(linked.parent_path());
  fs::create_symlink(installed, linked);
  const std::pair<fs::path, std::string> cases[] = {
      {installed, "Exec=" + installed.string()},
      {linked, "Exec=" + installed.string()},
      {spaced, "Exec=\"" + spaced.string() + "\""},
      {PARLET_LOGIN_PROBE, "Exec=" + fs::canonical(PARLET_LOGIN_PROBE).string()},
  };
  for (const auto& [program, line] : cases) {
    SCOPED_TRACE(program.string());
    fs::remove(entry());
    const auto result = testsupport::runProgram({program.string()}, {{"XDG_CONFIG_HOME", config_.path().string()}});
    ASSERT_EQ(result.status, 0) << result.err;
    const std::string text = readFile(entry());
    EXPECT_NE(text.find("\n" + line + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nIcon=" + std::string(kApplicationId) + "\n"), std::string::npos) << text;
  }
}

}  // namespace
}  // namespace platform::desktop
