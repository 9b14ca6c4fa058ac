// One copy per user: two claims in one test (the second asks the first to reopen), a killed copy's
// lock and socket taken over, folders and sockets that are not the user's own never trusted, and
// the real `parlet` started twice under the test's X session, the second saying so and exiting 0.
#include <QProcess>

#include <chrono>
#include <filesystem>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <string>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "Parlet/desktop/app/SingleInstance.h"
#include "platform/Desktop/tests/DesktopTestSession.h"
#include "testsupport/Fixtures.h"

namespace parlet::app {
namespace {

namespace fs = std::filesystem;
using Role = SingleInstance::Role;

class SingleInstanceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    desktoptest::application();
    fs::create_directories(folder);
    fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace);
  }
  // Asks on another thread while this one runs the event loop, where the running copy answers.
  std::optional<std::string> ask(SingleInstance& later) {
    auto answer = std::async(std::launch::async, [&] { return later.askToReopen(std::chrono::seconds(5)); });
    desktoptest::pumpUntil([&] { return answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
                           std::chrono::seconds(10));
    return answer.get();
  }

  testsupport::TempDir dir;
  fs::path folder = dir.path() / "run";
};

TEST_F(SingleInstanceTest, ASecondClaimAsksTheRunningCopyToReopen) {
  int reopened = 0;
  {
    SingleInstance first(folder);
    ASSERT_EQ(first.claim(), Role::primary);
    ASSERT_TRUE(first.listen([&] {
      ++reopened;
      return std::string("already running: showed its welcome window");
    })) << first.problem();
    struct stat info {};
    ASSERT_EQ(lstat(first.socketPath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 077, 0u) << "the socket is open to others";

    SingleInstance second(folder);
    ASSERT_EQ(second.claim(), Role::secondary);
    EXPECT_EQ(ask(second), "already running: showed its welcome window");
    EXPECT_EQ(reopened, 1);
  }
  // The first copy is gone: the next one runs.
  SingleInstance next(folder);
  EXPECT_EQ(next.claim(), Role::primary);
}

TEST_F(SingleInstanceTest, AKilledCopysLockAndSocketAreTakenOver) {
  // What a killed copy leaves: the lock file (its lock gone with the process) and a socket file no
  // one listens on.
  { std::ofstream(folder / "parlet.lock") << ""; }
  const fs::path socketFile = folder / "parlet.socket";
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketFile.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  close(fd);

  SingleInstance running(folder);
  ASSERT_EQ(running.claim(), Role::primary);
  ASSERT_TRUE(running.listen([] { return std::string("already running: its menu is on the tray icon"); }))
      << running.problem();
  SingleInstance later(folder);
  ASSERT_EQ(later.claim(), Role::secondary);
  EXPECT_EQ(ask(later), "already running: its menu is on the tray icon");
}

TEST_F(SingleInstanceTest, FoldersAndSocketsNotOfThisUserAreNeverTrusted) {
  struct Case {
    const char* name;
    std::function<fs::path()> make;  // the folder to use
    const char* problem;
  } cases[] = {
      {"open to others",
       [&] {
         fs::permissions(folder, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                     fs::perms::others_read | fs::perms::others_exec,
                         fs::perm_options::replace);
         return folder;
       },
       "is open to other users"},
      {"a link to a private folder",
       [&] {
         fs::create_directory_symlink(folder, dir.path() / "link");
         return dir.path() / "link";
       },
       "is not a folder"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    SingleInstance instance(c.make());
    EXPECT_EQ(instance.claim(), Role::unavailable);
    EXPECT_NE(instance.problem().find(c.problem), std::string::npos) << instance.problem();
  }
  if (geteuid() == 0) {
    // As root the test can hand the folder to another user.
    fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace);
    ASSERT_EQ(chown(folder.c_str(), 4242, 4242), 0);
    SingleInstance instance(folder);
    EXPECT_EQ(instance.claim(), Role::unavailable);
    EXPECT_NE(instance.problem().find("belongs to another user"), std::string::npos) << instance.problem();
    ASSERT_EQ(chown(folder.c_str(), 0, 0), 0);
  }

  // The running copy holds the lock, but what sits at the socket's place is no socket: not asked.
  fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace);
  SingleInstance running(folder);
  ASSERT_EQ(running.claim(), Role::primary);
  { std::ofstream(folder / "parlet.socket") << "not a socket"; }
  SingleInstance later(folder);
  ASSERT_EQ(later.claim(), Role::secondary);
  EXPECT_EQ(later.askToReopen(std::chrono::milliseconds(200)), std::nullopt);
  EXPECT_NE(later.problem().find("is not this user's socket"), std::string::npos) << later.problem();
}

// The real program, twice: the second launch makes the first show its welcome window, prints one
// line and exits with status 0; the first keeps running.
TEST_F(SingleInstanceTest, ASecondParletExitsWithStatusZeroAndTheFirstShowsItself) {
  REQUIRE_X_SESSION();
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("XDG_RUNTIME_DIR", QString::fromStdString(dir.path().string()));
  environment.insert("HOME", QString::fromStdString((dir.path() / "home").string()));
  environment.insert("XDG_CONFIG_HOME", QString::fromStdString((dir.path() / "config").string()));
  environment.insert("XDG_DATA_HOME", QString::fromStdString((dir.path() / "data").string()));
  environment.insert("HF_HUB_OFFLINE", "1");  // no model, and no network traffic
  environment.insert("PARLET_INPUT_BACKEND", "x11");
  QProcess first, second;
  for (QProcess* process : {&first, &second}) {
    process->setProcessEnvironment(environment);
    process->setProgram(PARLET_PROGRAM);
  }
  first.start();
  ASSERT_TRUE(first.waitForStarted(5000));
  // The first copy is the running one once its socket is up.
  const fs::path socketFile = dir.path() / "parlet" / "parlet.socket";
  ASSERT_TRUE(desktoptest::pumpUntil([&] { return fs::exists(socketFile); }, std::chrono::seconds(20)))
      << first.readAllStandardError().toStdString();
  second.start();
  if (!second.waitForFinished(20000)) {
    second.kill();
    second.waitForFinished(2000);
    first.kill();
    first.waitForFinished(2000);
    FAIL() << "the second copy kept running; it said: " << second.readAllStandardError().toStdString()
           << "\nthe first said: " << first.readAllStandardError().toStdString();
  }
  EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(second.exitCode(), 0) << second.readAllStandardError().toStdString();
  EXPECT_EQ(second.readAllStandardOutput().toStdString(), "parlet: already running: brought its welcome window forward\n");
  EXPECT_EQ(first.state(), QProcess::Running);
  first.terminate();
  if (!first.waitForFinished(5000)) first.kill();
  first.waitForFinished(2000);
}

}  // namespace
}  // namespace parlet::app
