#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Hub/HubApi.h"
#include "Hub/HubFileDownloader.h"
#include "testsupport/Fixtures.h"
#include "testsupport/HubTestServer.h"

namespace hub {
namespace {

namespace fs = std::filesystem;
using Error = Hub::HubClientError;

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

double now() { return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count(); }

// Collects the client's log lines for one test.
class LogCapture {
 public:
  LogCapture() {
    HubApi::setLogHandler([this](platform::system::LogType type, const std::string& line) {
      std::lock_guard lock(mutex_);
      lines_.push_back(line);
      EXPECT_EQ(type, platform::system::LogType::error);
    });
  }
  ~LogCapture() { HubApi::setLogHandler(nullptr); }
  std::vector<std::string> lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

class LocalCacheTest : public ::testing::Test {
 protected:
  testsupport::TempDir base;
  HubApi api{base.path(), std::string(), std::string("http://127.0.0.1:1")};
};

TEST_F(LocalCacheTest, RepositoryFolderIsKindThenIdUnderTheBase) {
  EXPECT_EQ(api.localRepoLocation({"owner/name", Hub::RepoType::models}), base.path() / "models" / "owner" / "name");
  EXPECT_EQ(api.localRepoLocation({"d", Hub::RepoType::datasets}), base.path() / "datasets" / "d");
  EXPECT_EQ(api.localRepoLocation({"o/s", Hub::RepoType::spaces}), base.path() / "spaces" / "o" / "s");
  EXPECT_FALSE(fs::exists(base.path() / "models"));
}

TEST_F(LocalCacheTest, WrittenMetadataIsThreeLinesAndReadsBack) {
  fs::path path = base.path() / "models/o/n/.cache/huggingface/download/tok/vocab.json.metadata";
  double before = now();
  api.writeDownloadMetadata("0123456789abcdef0123456789abcdef01234567", "etag-1", path);
  double after = now();

  std::string text = readAll(path);
  ASSERT_EQ(std::count(text.begin(), text.end(), '\n'), 3) << text;
  ASSERT_TRUE(text.ends_with("\n"));
  std::string third = text.substr(text.find('\n', text.find('\n') + 1) + 1);
  third.pop_back();
  EXPECT_EQ(third.find('e'), std::string::npos) << "no exponent: " << third;
  double written = std::strtod(third.c_str(), nullptr);
  EXPECT_GE(written, before);
  EXPECT_LE(written, after);

  auto m = api.readDownloadMetadata(path);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->commitHash, "0123456789abcdef0123456789abcdef01234567");
  EXPECT_EQ(m->etag, "etag-1");
  EXPECT_EQ(m->filename, "vocab.json");
  EXPECT_EQ(m->timestamp, written);  // the same double, bit for bit
}

TEST_F(LocalCacheTest, WholeSecondsKeepATrailingPointZero) {
  fs::path path = base.path() / "m.metadata";
  writeFile(path, "c\ne\n1700000000\n");
  EXPECT_EQ(api.readDownloadMetadata(path)->timestamp, 1700000000.0);
  // The writer's form for a whole number, read back by the same rules.
  writeFile(path, "c\ne\n1700000000.0\n");
  EXPECT_EQ(api.readDownloadMetadata(path)->timestamp, 1700000000.0);
}

TEST_F(LocalCacheTest, WriteFailureIsAFileWriteError) {
  writeFile(base.path() / "blocker", "a file where a folder should be");
  fs::path path = base.path() / "blocker" / "x.metadata";
  try {
    api.writeDownloadMetadata("c", "e", path);
    FAIL();
  } catch (const HubApi::EnvironmentError& e) {
    EXPECT_EQ(e.kind(), HubApi::EnvironmentError::Kind::fileWriteError);
    EXPECT_TRUE(std::string(e.what()).starts_with("Failed to write file: Failed to write metadata to " + path.string() + ": "))
        << e.what();
  }
}

TEST_F(LocalCacheTest, ReaderAcceptsOrRejectsByTheTable) {
  struct Case {
    std::string content;
    bool accepted;
    std::string commit, etag;
    std::string logged;  // the start of the log line's problem, when rejected
  };
  const std::vector<Case> cases = {
      {"c\ne\n1700000000.5\n", true, "c", "e", ""},
      {"  c \n\te\n 1700000000.5 \nextra\nlines\n", true, "c", "e", ""},
      {"c\r\ne\r\n1700000000.5\r\n", false, "", "", "Invalid metadata: Invalid timestamp format"},
      {"c\r\n1700000000.5\r\n", true, "c", "", ""},  // the CR LF pair makes an empty second piece
      {"c\ne\n", false, "", "", "Invalid metadata: Invalid timestamp format"},
      {"c\ne", false, "", "", "Invalid metadata: Metadata file is missing required fields"},
      {"", false, "", "", "Invalid metadata: Metadata file is missing required fields"},
      {"c\ne\nsoon\n", false, "", "", "Invalid metadata: Invalid timestamp format"},
      {"c\ne\n12abc\n", false, "", "", "Invalid metadata: Invalid timestamp format"},
      {"c\ne\n1.7e9\n", true, "c", "e", ""},
      {"c\xe2\x80\xa8" "e\xc2\x85" "1700000000\n", true, "c", "e", ""},
      {"c\ne\xff\n1700000000\n", false, "", "", "Error reading metadata file"},
      {"c\ne\n1700000000\n" + std::string(70'000, ' '), false, "", "", "Error reading metadata file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.content));
    fs::path path = base.path() / "f.bin.metadata";
    writeFile(path, c.content);
    LogCapture log;
    auto m = api.readDownloadMetadata(path);
    if (c.accepted) {
      ASSERT_TRUE(m);
      EXPECT_EQ(m->commitHash, c.commit);
      EXPECT_EQ(m->etag, c.etag);
      EXPECT_TRUE(fs::exists(path));
      EXPECT_TRUE(log.lines().empty());
    } else {
      EXPECT_FALSE(m);
      EXPECT_FALSE(fs::exists(path)) << "a rejected metadata file is removed";
      ASSERT_EQ(log.lines().size(), 1u);
      std::string line = log.lines()[0];
      std::string url = "file://" + path.string();
      if (c.logged.starts_with("Error reading")) {
        EXPECT_TRUE(line.starts_with("Error reading metadata file " + url + ": ")) << line;
      } else {
        EXPECT_EQ(line, "Invalid metadata file " + url + ": " + c.logged + ". Removing it from disk and continuing.");
      }
      EXPECT_TRUE(line.ends_with(". Removing it from disk and continuing.")) << line;
    }
  }
}

TEST_F(LocalCacheTest, MissingMetadataIsAbsentWithoutALogLine) {
  LogCapture log;
  EXPECT_FALSE(api.readDownloadMetadata(base.path() / "none.metadata"));
  EXPECT_TRUE(log.lines().empty());
}

// Whatever is not a regular file at a metadata path is refused without waiting on it (a FIFO
// would block a plain open for ever) and removed, never followed.
TEST_F(LocalCacheTest, MetadataPathThatIsNoRegularFileIsRefusedAndRemoved) {
  fs::path target = base.path() / "target";
  writeFile(target, "c\ne\n1700000000\n");
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> plant;
  } cases[] = {
      {"fifo", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }},
      {"link to a good file", [&](const fs::path& p) { fs::create_symlink(target, p); }},
      {"folder", [](const fs::path& p) { fs::create_directory(p); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::path path = base.path() / "download" / "config.json.metadata";
    fs::create_directories(path.parent_path());
    c.plant(path);
    LogCapture log;
    auto read = std::async(std::launch::async, [&] { return api.readDownloadMetadata(path); });
    bool blocked = read.wait_for(std::chrono::seconds(5)) != std::future_status::ready;
    if (blocked) ::close(::open(path.c_str(), O_WRONLY | O_NONBLOCK));  // a writer lets a blocked reader go
    EXPECT_FALSE(blocked) << "the read blocks";
    EXPECT_FALSE(read.get());
    EXPECT_FALSE(fs::exists(fs::symlink_status(path)));
    EXPECT_TRUE(fs::exists(target));
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_TRUE(log.lines()[0].starts_with("Error reading metadata file ")) << log.lines()[0];
  }
}

// A metadata path that cannot be one says what is wrong with it in a sentence, not in the system's
// few words ("File name too long", "Directory not empty").
TEST_F(LocalCacheTest, AnUnusableMetadataPathSaysWhatIsWrongWithIt) {
  struct Case {
    const char* what;
    std::function<fs::path()> make;
    const char* sentence;
  };
  const Case cases[] = {
      {"a 5,000-character name", [&] { return base.path() / "download" / (std::string(5000, 'n') + ".metadata"); },
       "is 5009 bytes long, more than the 255 a file name may have"},
      {"a path longer than any",
       [&] {
         fs::path path = base.path();
         for (int i = 0; i < 40; ++i) path /= std::string(200, 'd');
         return path / "x.metadata";
       },
       "bytes long, more than the 4095 a path may have"},
      {"a folder that is not empty",
       [&] {
         const fs::path path = base.path() / "download" / "config.json.metadata";
         writeFile(path / "inside", "x");
         return path;
       },
       "A folder that is not empty stands where the metadata file "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path path = c.make();
    try {
      api.readDownloadMetadata(path);
      ADD_FAILURE() << "no error";
    } catch (const HubApi::EnvironmentError& error) {
      const std::string what = error.what();
      EXPECT_NE(what.find(c.sentence), std::string::npos) << what;
      EXPECT_EQ(what.find("too long"), std::string::npos) << what;
      EXPECT_EQ(what.find("not empty:"), std::string::npos) << what;
      EXPECT_LT(what.size(), 400u) << "the name is shortened";
    }
  }
}

TEST_F(LocalCacheTest, UndeletableBadMetadataIsAnError) {
  if (geteuid() == 0) GTEST_SKIP() << "root may delete from a read-only folder";
  fs::path folder = base.path() / "locked";
  writeFile(folder / "x.metadata", "two\nlines");
  fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
  LogCapture log;
  try {
    api.readDownloadMetadata(folder / "x.metadata");
    ADD_FAILURE();
  } catch (const HubApi::EnvironmentError& e) {
    EXPECT_TRUE(std::string(e.what()).starts_with("Invalid metadata: Could not remove corrupted metadata file: ")) << e.what();
  }
  fs::permissions(folder, fs::perms::owner_all);
}

// The cache's root and each repository folder must be ours: another user's folder (a planted
// model), or a link to one or to a folder others may write to, is refused before anything is read
// or written, with a log line naming it; a folder of ours that others may write to is closed and
// used; a link to a folder of ours (a cache moved to a bigger disk) is followed, and the folder it
// leads to is the one used.
TEST(CacheFolderTest, FoldersThatAreNotOursAreNeitherReadNorWritten) {
  struct Case {
    const char* what;
    // Makes the folders; returns where the repository is to be used from (ignored when refused).
    std::function<fs::path(const fs::path& base, const fs::path& repo, const fs::path& elsewhere)> make;
    const char* refusal;  // none: used
    bool needsRoot = false;
  };
  auto plantModel = [](const fs::path& folder) {
    writeFile(folder / "config.json", "{}");
    writeFile(folder / ".cache/huggingface/download/config.json.metadata", std::string(40, 'a') + "\netag\n1.0\n");
  };
  const Case cases[] = {
      {"the repository folder is a link to a folder of ours",
       [&](const fs::path&, const fs::path& repo, const fs::path& elsewhere) {
         plantModel(elsewhere);
         fs::create_directories(repo.parent_path());
         fs::create_directory_symlink(elsewhere, repo);
         return elsewhere;
       },
       nullptr},
      {"the cache root is a link to a folder of ours",
       [&](const fs::path& base, const fs::path& repo, const fs::path& elsewhere) {
         plantModel(elsewhere / repo.lexically_relative(base));
         fs::create_directory_symlink(elsewhere, base);
         return elsewhere / repo.lexically_relative(base);
       },
       nullptr},
      {"the cache root is a link to a folder open to all",
       [&](const fs::path& base, const fs::path& repo, const fs::path& elsewhere) {
         plantModel(elsewhere / repo.lexically_relative(base));
         chmod(elsewhere.c_str(), 0777);
         fs::create_directory_symlink(elsewhere, base);
         return fs::path();
       },
       "is a symbolic link to"},
      {"the repository folder is a link to another user's folder",
       [&](const fs::path&, const fs::path& repo, const fs::path& elsewhere) {
         plantModel(elsewhere);
         EXPECT_EQ(chown(elsewhere.c_str(), 65534, 65534), 0);
         fs::create_directories(repo.parent_path());
         fs::create_directory_symlink(elsewhere, repo);
         return fs::path();
       },
       "which belongs to user 65534", true},
      {"the repository folder is another user's",
       [&](const fs::path&, const fs::path& repo, const fs::path&) {
         plantModel(repo);
         EXPECT_EQ(chown(repo.c_str(), 65534, 65534), 0);
         return fs::path();
       },
       "belongs to user 65534", true},
      {"the cache root is ours but open to all",
       [&](const fs::path& base, const fs::path& repo, const fs::path&) {
         plantModel(repo);
         chmod(base.c_str(), 0777);
         return repo;
       },
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.needsRoot && geteuid() != 0) continue;  // giving a folder away needs root
    testsupport::TempDir temp;
    const fs::path base = temp.path() / "cache";
    const Hub::Repo repo{"owner/model", Hub::RepoType::models};
    HubApi offline(base, std::string(), std::string("http://127.0.0.1:1"), false, true);
    const fs::path usedAt = c.make(base, offline.localRepoLocation(repo), temp.path() / "elsewhere");
    if (!c.refusal) {
      EXPECT_EQ(offline.snapshot(repo, "main", std::vector<std::string>{"*"}), fs::canonical(usedAt));
      struct stat info {};
      ASSERT_EQ(lstat(base.c_str(), &info), 0);
      if (!S_ISLNK(info.st_mode)) {
        EXPECT_EQ(info.st_mode & 0777, 0755u);
      }
      continue;
    }
    LogCapture log;
    try {
      offline.snapshot(repo, "main", std::vector<std::string>{"*"});
      ADD_FAILURE() << "a folder that is not ours was used";
    } catch (const HubApi::EnvironmentError& error) {
      EXPECT_EQ(error.kind(), HubApi::EnvironmentError::Kind::foreignFolderError);
      EXPECT_NE(std::string(error.what()).find(c.refusal), std::string::npos) << error.what();
    }
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(c.refusal), std::string::npos) << lines[0];
  }
}

TEST_F(LocalCacheTest, HashPatternsMatchLowerCaseHexOfTheRightLength) {
  std::string sha(64, 'a'), commit(40, 'f');
  struct Case {
    std::string text;
    const char* pattern;
    bool valid;
  };
  for (const Case& c : std::vector<Case>{{sha, HubApi::kSha256Pattern, true},
                                         {std::string(64, 'A'), HubApi::kSha256Pattern, false},
                                         {sha + "0", HubApi::kSha256Pattern, false},
                                         {sha + "\n", HubApi::kSha256Pattern, true},  // "$" admits one final line end
                                         {commit, HubApi::kCommitHashPattern, true},
                                         {commit, HubApi::kSha256Pattern, false},
                                         {std::string(39, '0') + "g", HubApi::kCommitHashPattern, false},
                                         {"abc", "(", false}})
    EXPECT_EQ(api.isValidHash(c.text, c.pattern), c.valid) << c.text << " ~ " << c.pattern;
}

TEST_F(LocalCacheTest, FileHashIsSha256ReadInChunks) {
  struct Case {
    std::string content;
    const char* digest;
  };
  // Published digests (FIPS 180-2) and, past the 1 MiB chunk, one million "a".
  for (const Case& c : {Case{"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
                        Case{"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
                        Case{std::string(1'000'000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"}}) {
    writeFile(base.path() / "f", c.content);
    EXPECT_EQ(api.computeFileHash(base.path() / "f"), c.digest);
  }
  // Two chunks and a bit: the same digest as the text hashed whole by another route.
  std::string big(2 * (1 << 20) + 3, 'x');
  big[1 << 20] = 'y';
  writeFile(base.path() / "big", big);
  EXPECT_EQ(api.computeFileHash(base.path() / "big"), testsupport::HubTestServer::sha256Hex(big));

  try {
    api.computeFileHash(base.path() / "absent.bin");
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), Error::Kind::fileNotFound);
    EXPECT_STREQ(e.what(), "File not found: absent.bin");
  }
}

TEST_F(LocalCacheTest, FileUrlsAreVisibleRegularFilesOnly) {
  fs::path repo = base.path() / "models/o/n";
  writeFile(repo / "config.json", "{}");
  writeFile(repo / "tok/vocab.json", "{}");
  writeFile(repo / ".gitattributes", "");
  writeFile(repo / ".cache/huggingface/download/config.json.metadata", "c\ne\n1\n");
  writeFile(repo / "tok/.hidden", "");
  fs::create_directories(repo / "empty");
  fs::create_symlink(repo / "config.json", repo / "link.json");
  std::set<fs::path> found;
  for (const auto& p : getFileUrls(repo)) found.insert(p);
  EXPECT_EQ(found, (std::set<fs::path>{repo / "config.json", repo / "tok/vocab.json"}));
  EXPECT_TRUE(getFileUrls(base.path() / "missing").empty());
}

TEST_F(LocalCacheTest, DownloaderPathsSourceAndPreparation) {
  Hub::Repo repo{"o/n", Hub::RepoType::models};
  HubApi custom(base.path(), std::string(), std::string("http://mirror:8"));
  HubApi::HubFileDownloader job(custom, repo, "main", custom.localRepoLocation(repo), "tok/vocab.json");
  EXPECT_EQ(job.source(), "http://mirror:8/o/n/resolve/main/tok/vocab.json");
  EXPECT_EQ(job.destination(), base.path() / "models/o/n/tok/vocab.json");
  EXPECT_EQ(job.metadataDestination(), base.path() / "models/o/n/.cache/huggingface/download/tok/vocab.json.metadata");
  HubApi::HubFileDownloader noEndpoint(HubApi(base.path(), std::string(), std::string("")), repo, "v1",
                                       base.path(), "a.bin");
  EXPECT_EQ(noEndpoint.source(), "https://huggingface.co/o/n/resolve/v1/a.bin");

  EXPECT_FALSE(job.downloaded());
  HubApi::HubFileDownloader::prepareCacheDestination(job.destination());
  EXPECT_TRUE(job.downloaded());
  EXPECT_EQ(fs::file_size(job.destination()), 0u);
  writeFile(job.destination(), "kept");
  HubApi::HubFileDownloader::prepareCacheDestination(job.destination());
  EXPECT_EQ(readAll(job.destination()), "kept");
}

}  // namespace
}  // namespace hub
