#include "platform/System/Folders.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

#include "testsupport/Fixtures.h"

namespace platform::system {
namespace {

namespace fs = std::filesystem;

using testsupport::EnvironmentGuard;

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

std::string readText(const fs::path& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(FoldersTest, ClaimingAPrivateFolderRepairsOursAndStandsInForATakenName) {
  struct Case {
    const char* what;
    std::function<void(const fs::path& name, const fs::path& elsewhere)> make;
    bool ownedByOthers;        // the owner check says no
    bool standsIn;             // a fresh folder is used instead
    std::string noteContains;  // empty: no note
  };
  const std::vector<Case> cases = {
      {"missing", [](const fs::path&, const fs::path&) {}, false, false, ""},
      {"ours, 0700", [](const fs::path& name, const fs::path&) { mkdir(name.c_str(), 0700); }, false, false, ""},
      {"ours, 0755",
       [](const fs::path& name, const fs::path&) {
         mkdir(name.c_str(), 0700);
         chmod(name.c_str(), 0755);
       },
       false, false, "had mode 0755; set to 0700"},
      {"ours, 0777 with the sticky bit",
       [](const fs::path& name, const fs::path&) {
         mkdir(name.c_str(), 0700);
         chmod(name.c_str(), 01777);
       },
       false, false, "had mode 0777; set to 0700"},
      {"a file", [](const fs::path& name, const fs::path&) { std::ofstream(name) << "planted"; }, false, true,
       "is not a folder"},
      {"a link to a private folder",
       [](const fs::path& name, const fs::path& elsewhere) {
         mkdir(elsewhere.c_str(), 0700);
         fs::create_directory_symlink(elsewhere, name);
       },
       false, true, "is a symbolic link"},
      {"a dangling link",
       [](const fs::path& name, const fs::path& elsewhere) { fs::create_directory_symlink(elsewhere, name); }, false,
       true, "is a symbolic link"},
      {"someone else's folder, 0777",
       [](const fs::path& name, const fs::path&) {
         mkdir(name.c_str(), 0700);
         chmod(name.c_str(), 0777);
       },
       true, true, "belongs to user " + std::to_string(geteuid())},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testsupport::TempDir temp;
    fs::path name = temp.path() / "parlet-1000";
    fs::path elsewhere = temp.path() / "elsewhere";
    c.make(name, elsewhere);
    struct stat before {};
    lstat(name.c_str(), &before);
    OwnerCheck othersOwn = [](uid_t) { return false; };
    PrivateFolder claimed = claimPrivateFolder(name, c.ownedByOthers ? othersOwn : OwnerCheck());

    if (c.noteContains.empty()) {
      EXPECT_EQ(claimed.note, "");
    } else {
      EXPECT_NE(claimed.note.find(name.string() + " " + c.noteContains), std::string::npos) << claimed.note;
    }
    if (!c.standsIn) {
      EXPECT_EQ(claimed.path, name);
      EXPECT_EQ(permissions(name), 0700u);
      continue;
    }
    // A fresh private folder "<name>-XXXXXX"; the taken name is left as it was.
    EXPECT_EQ(claimed.path.parent_path(), temp.path());
    EXPECT_EQ(claimed.path.filename().string().size(), name.filename().string().size() + 7);
    EXPECT_EQ(claimed.path.string().rfind(name.string() + "-", 0), 0u);
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(claimed.path)));
    EXPECT_EQ(permissions(claimed.path), 0700u);
    EXPECT_NE(claimed.note.find("using " + claimed.path.string()), std::string::npos) << claimed.note;
    struct stat after {};
    lstat(name.c_str(), &after);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode, before.st_mode);
    if (fs::exists(elsewhere)) {
      EXPECT_EQ(permissions(elsewhere), 0700u);
    }
    // Another claim gets another unpredictable name.
    EXPECT_NE(claimPrivateFolder(name, c.ownedByOthers ? othersOwn : OwnerCheck()).path, claimed.path);
  }
}

TEST(FoldersTest, AFolderOfAnotherUserIsLeftAlone) {
  if (geteuid() != 0) GTEST_SKIP() << "giving a folder to another user needs root; the owner check is tested above";
  testsupport::TempDir temp;
  fs::path name = temp.path() / "parlet-1000";
  ASSERT_EQ(mkdir(name.c_str(), 0755), 0);
  ASSERT_EQ(chown(name.c_str(), 65534, 65534), 0);
  PrivateFolder claimed = claimPrivateFolder(name);
  EXPECT_NE(claimed.path, name);
  EXPECT_NE(claimed.note.find("belongs to user 65534"), std::string::npos) << claimed.note;
  EXPECT_EQ(permissions(name), 0755u);
}

TEST(FoldersTest, ClaimingUnderAMissingFolderFails) {
  testsupport::TempDir temp;
  EXPECT_THROW(claimPrivateFolder(temp.path() / "missing" / "parlet"), FolderError);
}

TEST(FoldersTest, PrivateTemporaryDirectoryKeepsItsStandInAndLeavesNotesForTheLog) {
  testsupport::TempDir temp;
  EnvironmentGuard env;
  env.set("XDG_RUNTIME_DIR", std::nullopt);
  env.set("TMPDIR", temp.path().string());
  fs::path name = temp.path() / ("parlet-" + std::to_string(geteuid()));
  std::ofstream(name) << "planted";
  takePrivateFolderNotes();

  fs::path standIn = privateTemporaryDirectory();
  EXPECT_NE(standIn, name);
  auto notes = takePrivateFolderNotes();
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_NE(notes[0].find(name.string() + " is not a folder; using " + standIn.string()), std::string::npos);
  EXPECT_EQ(privateTemporaryDirectory(), standIn);  // the same folder for the rest of the process
  EXPECT_TRUE(takePrivateFolderNotes().empty());

  chmod(standIn.c_str(), 0711);
  EXPECT_EQ(privateTemporaryDirectory(), standIn);
  EXPECT_EQ(permissions(standIn), 0700u);
  EXPECT_EQ(takePrivateFolderNotes().size(), 1u);

  fs::remove(standIn);  // removed by a cleaner: another stand-in follows
  fs::path next = privateTemporaryDirectory();
  EXPECT_NE(next, standIn);
  EXPECT_NE(next, name);
  EXPECT_EQ(readText(name), "planted");
  EXPECT_EQ(takePrivateFolderNotes().size(), 2u);  // the old stand-in is gone; the new one stands in
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

// The data folder gets the private folder's check: ours and too open is repaired (a note for
// the log), anything else at its name is refused, named in the error and left as it was.
TEST(FoldersTest, DataFolderIsOursAndPrivateOrRefused) {
  struct Case {
    const char* what;
    std::function<void(const fs::path& name, const fs::path& elsewhere)> make;
    const char* refusal;  // nullptr: used
    bool note;
  };
  const std::vector<Case> cases = {
      {"missing, with its parent", [](const fs::path&, const fs::path&) {}, nullptr, false},
      {"ours, 0700", [](const fs::path& name, const fs::path&) { fs::create_directories(name); chmod(name.c_str(), 0700); },
       nullptr, false},
      {"ours, 0755", [](const fs::path& name, const fs::path&) { fs::create_directories(name); chmod(name.c_str(), 0755); },
       nullptr, true},
      {"a link to a folder of ours",
       [](const fs::path& name, const fs::path& elsewhere) {
         fs::create_directories(elsewhere);
         fs::create_directories(name.parent_path());
         fs::create_directory_symlink(elsewhere, name);
       },
       "is a symbolic link", false},
      {"a file",
       [](const fs::path& name, const fs::path&) {
         fs::create_directories(name.parent_path());
         std::ofstream(name) << "planted";
       },
       "is not a folder", false},
      {"someone else's", [](const fs::path& name, const fs::path&) {
         fs::create_directories(name);
         chmod(name.c_str(), 0755);
         if (geteuid() == 0) {
           ASSERT_EQ(chown(name.c_str(), 65534, 65534), 0);
         }
       },
       "belongs to user 65534", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (std::string(c.what) == "someone else's" && geteuid() != 0) continue;  // giving a folder away needs root
    testsupport::TempDir temp;
    EnvironmentGuard env;
    env.set("XDG_DATA_HOME", (temp.path() / "data").string());
    const fs::path name = temp.path() / "data" / "Parlet";
    c.make(name, temp.path() / "elsewhere");
    struct stat before {};
    const bool existed = lstat(name.c_str(), &before) == 0;
    takePrivateFolderNotes();
    if (!c.refusal) {
      EXPECT_EQ(applicationDataDirectory(), name);
      EXPECT_TRUE(fs::is_directory(fs::symlink_status(name)));
      EXPECT_EQ(permissions(name), 0700u);
      auto notes = takePrivateFolderNotes();
      ASSERT_EQ(notes.size(), c.note ? 1u : 0u);
      if (c.note) {
        EXPECT_NE(notes[0].find(name.string() + " had mode 0755; set to 0700"), std::string::npos) << notes[0];
      }
      continue;
    }
    try {
      applicationDataDirectory();
      FAIL() << "the folder was used";
    } catch (const FolderError& e) {
      EXPECT_EQ(std::string(e.what()), "Data folder " + name.string() + " " + c.refusal + "; it is not used");
    }
    struct stat after {};
    ASSERT_TRUE(existed);
    ASSERT_EQ(lstat(name.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode, before.st_mode);
  }
}

TEST(FoldersTest, XdgFoldersUseTheirVariablesOrHomeDefaults) {
  struct Case {
    std::optional<std::string> dataHome, configHome, cacheHome;
    fs::path support, settings, cache;
  };
  const Case cases[] = {
      {"/data", "/config", "/cache", "/data", "/config/Parlet", "/cache"},
      {std::nullopt, std::nullopt, std::nullopt, "/home/u/.local/share", "/home/u/.config/Parlet", "/home/u/.cache"},
      {"relative", "", "relative", "/home/u/.local/share", "/home/u/.config/Parlet", "/home/u/.cache"},  // not absolute: ignored
  };
  for (const auto& c : cases) {
    EnvironmentGuard env;
    env.set("HOME", "/home/u");
    env.set("XDG_DATA_HOME", c.dataHome);
    env.set("XDG_CONFIG_HOME", c.configHome);
    env.set("XDG_CACHE_HOME", c.cacheHome);
    EXPECT_EQ(applicationSupportDirectory(), c.support);
    EXPECT_EQ(settingsDirectory(), c.settings);
    EXPECT_EQ(cacheDirectory(), c.cache);
  }
}

// The check shared by the data, settings and model cache folders: a folder closed to others'
// writing keeps its mode, an open one of ours is closed (with a note), a link or another user's is
// refused and left as it was.
TEST(FoldersTest, InspectingAFolderOfOursClosesItOrRefusesIt) {
  struct Case {
    const char* what;
    mode_t closedTo;
    std::function<void(const fs::path& name, const fs::path& elsewhere)> make;
    bool usable;
    const char* note;  // part of the note; none: no note
    mode_t after;      // the folder's mode afterwards (the link's target's for a link)
  };
  auto folderWithMode = [](mode_t mode) {
    return [mode](const fs::path& name, const fs::path&) {
      fs::create_directories(name);
      chmod(name.c_str(), mode);
    };
  };
  const Case cases[] = {
      {"ours, 0755, closed to writing", 022, folderWithMode(0755), true, nullptr, 0755},
      {"ours, 0777, closed to writing", 022, folderWithMode(0777), true, "had mode 0777; set to 0755", 0755},
      {"ours, 0775, private", 077, folderWithMode(0775), true, "had mode 0775; set to 0700", 0700},
      {"a link to a folder of ours, open to all", 022,
       [](const fs::path& name, const fs::path& elsewhere) {
         fs::create_directories(elsewhere);
         chmod(elsewhere.c_str(), 0777);
         fs::create_directory_symlink(elsewhere, name);
       },
       false, "is a symbolic link", 0777},
      {"someone else's, open to all", 022,
       [](const fs::path& name, const fs::path&) {
         fs::create_directories(name);
         chmod(name.c_str(), 0777);
         ASSERT_EQ(chown(name.c_str(), 65534, 65534), 0);
       },
       false, "belongs to user 65534", 0777},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (std::string(c.what).starts_with("someone else's") && geteuid() != 0) continue;  // giving a folder away needs root
    testsupport::TempDir temp;
    const fs::path name = temp.path() / "folder";
    c.make(name, temp.path() / "elsewhere");
    const FolderInspection found = inspectOwnFolder(name, c.closedTo);
    EXPECT_EQ(found.usable, c.usable);
    if (c.note) {
      EXPECT_NE(found.note.find(c.note), std::string::npos) << found.note;
    } else {
      EXPECT_EQ(found.note, "");
    }
    const fs::path target = fs::is_symlink(name) ? temp.path() / "elsewhere" : name;
    EXPECT_EQ(permissions(target), c.after);
  }
}

// A folder moved elsewhere and linked back (a cache on a bigger disk): a link counts by the folder
// it finally leads to, which must be ours and closed to others' writing already (a folder reached
// through a link is never changed); a link turned elsewhere while it is checked is refused.
TEST(FoldersTest, ALinkIsJudgedByTheFolderItLeadsTo) {
  struct Case {
    const char* what;
    std::function<void(const fs::path& name, const fs::path& elsewhere)> make;
    bool othersOwnTheTarget;
    const char* refusal;  // part of the note; none: usable, with the target as the folder to use
    mode_t after;         // the target's mode afterwards
  };
  auto linkTo = [](mode_t mode) {
    return [mode](const fs::path& name, const fs::path& elsewhere) {
      fs::create_directories(elsewhere);
      chmod(elsewhere.c_str(), mode);
      fs::create_directory_symlink(elsewhere, name);
    };
  };
  const Case cases[] = {
      {"a link to a folder of ours, 0755", linkTo(0755), false, nullptr, 0755},
      {"a link to a private folder of ours", linkTo(0700), false, nullptr, 0700},
      {"a link to a link to a folder of ours",
       [](const fs::path& name, const fs::path& elsewhere) {
         fs::create_directories(elsewhere);
         chmod(elsewhere.c_str(), 0755);
         fs::create_directory_symlink(elsewhere, elsewhere.parent_path() / "hop");
         fs::create_directory_symlink(elsewhere.parent_path() / "hop", name);
       },
       false, nullptr, 0755},
      {"a link to a folder open to all", linkTo(0777), false, "which other users may write to (mode 0777)", 0777},
      {"a link to a folder the group may write to", linkTo(0775), false, "which other users may write to (mode 0775)",
       0775},
      {"a link to someone else's folder", linkTo(0755), true, "which belongs to user", 0755},
      {"a dangling link",
       [](const fs::path& name, const fs::path& elsewhere) { fs::create_directory_symlink(elsewhere, name); }, false,
       "is a symbolic link to a folder that is not there", 0},
      {"a link to a file",
       [](const fs::path& name, const fs::path& elsewhere) {
         std::ofstream(elsewhere) << "planted";
         chmod(elsewhere.c_str(), 0644);
         fs::create_symlink(elsewhere, name);
       },
       false, "which is not a folder", 0644},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testsupport::TempDir temp;
    const fs::path name = temp.path() / "huggingface";
    const fs::path elsewhere = temp.path() / "bigdisk";
    c.make(name, elsewhere);
    OwnerCheck othersOwn = [](uid_t) { return false; };
    const LinkedFolderInspection found = inspectOwnFolderOrLink(name, 022, c.othersOwnTheTarget ? othersOwn : OwnerCheck());
    if (!c.refusal) {
      EXPECT_TRUE(found.usable) << found.note;
      EXPECT_EQ(found.note, "");
      EXPECT_EQ(found.target, fs::canonical(elsewhere));
    } else {
      EXPECT_FALSE(found.usable);
      EXPECT_NE(found.note.find(c.refusal), std::string::npos) << found.note;
      EXPECT_EQ(found.target, fs::path());
    }
    if (c.after) {
      EXPECT_EQ(permissions(elsewhere), c.after);
    }
    EXPECT_TRUE(fs::is_symlink(name)) << "the link is left as it was";
  }
}

TEST(FoldersTest, AFolderThatIsNoLinkIsCheckedAsAFolderOfOurs) {
  testsupport::TempDir temp;
  const fs::path name = temp.path() / "huggingface";
  fs::create_directories(name);
  chmod(name.c_str(), 0777);
  const LinkedFolderInspection found = inspectOwnFolderOrLink(name, 022);
  EXPECT_TRUE(found.usable);
  EXPECT_NE(found.note.find("had mode 0777; set to 0755"), std::string::npos) << found.note;
  EXPECT_EQ(found.target, name);
  EXPECT_EQ(permissions(name), 0755u);
}

// The owner check runs between following the link and reading it again: a link turned to another
// folder right then (by someone racing the check) is refused, not followed to the unchecked folder.
TEST(FoldersTest, ALinkTurnedElsewhereWhileItIsCheckedIsRefused) {
  testsupport::TempDir temp;
  const fs::path name = temp.path() / "huggingface";
  const fs::path ours = temp.path() / "bigdisk";
  const fs::path planted = temp.path() / "planted";
  fs::create_directories(ours);
  fs::create_directories(planted);
  chmod(ours.c_str(), 0755);
  chmod(planted.c_str(), 0755);
  fs::create_directory_symlink(ours, name);
  int checks = 0;
  const OwnerCheck swapDuringTheCheck = [&](uid_t owner) {
    if (checks++ == 0) {
      fs::remove(name);
      fs::create_directory_symlink(planted, name);
    }
    return owner == geteuid();
  };
  const LinkedFolderInspection found = inspectOwnFolderOrLink(name, 022, swapDuringTheCheck);
  EXPECT_EQ(checks, 1);
  EXPECT_FALSE(found.usable);
  EXPECT_EQ(found.note, "is a symbolic link that changed while it was checked");
  EXPECT_EQ(found.target, fs::path());
}

// A token file is this user's secret: a link, another owner or a mode others can read is named.
TEST(FoldersTest, AForeignOrReadableSecretFileIsNamed) {
  testsupport::TempDir temp;
  const fs::path file = temp.path() / "token";
  EXPECT_EQ(foreignFileProblem(file), std::nullopt) << "absent";
  std::ofstream(file) << "hf_secret";
  chmod(file.c_str(), 0600);
  EXPECT_EQ(foreignFileProblem(file), std::nullopt);
  chmod(file.c_str(), 0644);
  EXPECT_EQ(foreignFileProblem(file), "can be read by other users (mode 0644)");
  fs::create_symlink(file, temp.path() / "link");
  EXPECT_EQ(foreignFileProblem(temp.path() / "link"), "is a symbolic link");
  if (geteuid() == 0) {
    chmod(file.c_str(), 0600);
    ASSERT_EQ(chown(file.c_str(), 65534, 65534), 0);
    EXPECT_EQ(foreignFileProblem(file), "belongs to user 65534");
  }
}

}  // namespace
}  // namespace platform::system
