#include "platform/System/Folders.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

#include "testsupport/Fixtures.h"

namespace platform::system {
namespace {

namespace fs = std::filesystem;

// Sets or clears environment variables for one test and restores them afterwards.
class EnvironmentGuard {
 public:
  ~EnvironmentGuard() {
    for (auto& [name, value] : saved_) {
      if (value) setenv(name.c_str(), value->c_str(), 1);
      else unsetenv(name.c_str());
    }
  }
  void set(const std::string& name, const std::optional<std::string>& value) {
    const char* old = std::getenv(name.c_str());
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    if (value) setenv(name.c_str(), value->c_str(), 1);
    else unsetenv(name.c_str());
  }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

mode_t permissions(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

TEST(FoldersTest, PrivateTemporaryDirectoryUnderRuntimeDirIsCreatedWithMode0700) {
  testsupport::TempDir temp;
  EnvironmentGuard env;
  env.set("XDG_RUNTIME_DIR", temp.path().string());
  fs::path folder = privateTemporaryDirectory();
  EXPECT_EQ(folder, temp.path() / "parlet");
  EXPECT_TRUE(fs::is_directory(folder));
  EXPECT_EQ(permissions(folder), 0700u);
  EXPECT_EQ(privateTemporaryDirectory(), folder);  // a second call accepts the existing folder
}

TEST(FoldersTest, PrivateTemporaryDirectoryFallsBackToAPerUserFolderInTmp) {
  testsupport::TempDir temp;
  EnvironmentGuard env;
  env.set("XDG_RUNTIME_DIR", std::nullopt);
  env.set("TMPDIR", temp.path().string());
  fs::path folder = privateTemporaryDirectory();
  EXPECT_EQ(folder, temp.path() / ("parlet-" + std::to_string(geteuid())));
  EXPECT_EQ(permissions(folder), 0700u);
}

TEST(FoldersTest, PrivateTemporaryDirectoryRefusesWidePermissionsAndLinks) {
  testsupport::TempDir temp;
  EnvironmentGuard env;
  env.set("XDG_RUNTIME_DIR", temp.path().string());
  fs::path folder = temp.path() / "parlet";

  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  ASSERT_EQ(chmod(folder.c_str(), 0755), 0);
  EXPECT_THROW(privateTemporaryDirectory(), FolderError);
  fs::remove(folder);

  fs::create_directory(temp.path() / "elsewhere");
  chmod((temp.path() / "elsewhere").c_str(), 0700);
  fs::create_directory_symlink(temp.path() / "elsewhere", folder);
  EXPECT_THROW(privateTemporaryDirectory(), FolderError);
}

TEST(FoldersTest, OpenNoFollowCreatesFilesAndRefusesSymlinks) {
  testsupport::TempDir temp;
  fs::path file = temp.path() / "log.txt";
  writeFileNoFollow(file, "one\n");
  writeFileNoFollow(file, "two\n", /*append=*/true);
  EXPECT_EQ(permissions(file), 0600u);
  std::ifstream in(file);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "one\ntwo\n");

  fs::path target = temp.path() / "target.txt";
  writeFileNoFollow(target, "secret");
  fs::path link = temp.path() / "link.txt";
  fs::create_symlink(target, link);
  try {
    openNoFollow(link, O_WRONLY | O_TRUNC);
    FAIL() << "a symbolic link was followed";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code().value(), ELOOP);
    EXPECT_NE(std::string(error.what()).find(link.string()), std::string::npos);
  }
  EXPECT_THROW(writeFileNoFollow(link, "x"), std::system_error);
  EXPECT_EQ(fs::file_size(target), 6u);  // the link's target is untouched
}

TEST(FoldersTest, XdgFoldersUseTheirVariablesOrHomeDefaults) {
  struct Case {
    std::optional<std::string> dataHome, configHome;
    fs::path support, settings;
  };
  const Case cases[] = {
      {"/data", "/config", "/data", "/config/Parlet"},
      {std::nullopt, std::nullopt, "/home/u/.local/share", "/home/u/.config/Parlet"},
      {"relative", "", "/home/u/.local/share", "/home/u/.config/Parlet"},  // not absolute: ignored
  };
  for (const auto& c : cases) {
    EnvironmentGuard env;
    env.set("HOME", "/home/u");
    env.set("XDG_DATA_HOME", c.dataHome);
    env.set("XDG_CONFIG_HOME", c.configHome);
    EXPECT_EQ(applicationSupportDirectory(), c.support);
    EXPECT_EQ(settingsDirectory(), c.settings);
  }
}

}  // namespace
}  // namespace platform::system
