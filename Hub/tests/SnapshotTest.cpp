#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stop_token>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Hub/HubApi.h"
#include "KestrumCore/Concurrency.h"
#include "testsupport/Fixtures.h"
#include "testsupport/HubTestServer.h"

namespace hub {
namespace {

namespace fs = std::filesystem;
using testsupport::HubTestServer;
using EnvKind = HubApi::EnvironmentError::Kind;

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<std::string> tree(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
    names.push_back(fs::relative(it->path(), folder).string());
  std::sort(names.begin(), names.end());
  return names;
}

class SnapshotTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server.addRepository("models", "o/r");
    server.addFile("models", "o/r", "config.json", R"({"model_type": "gpt2"})");
    server.addFile("models", "o/r", "tok/vocab.txt", "a\nb\n");
    server.addFile("models", "o/r", "weights.bin", std::string(70000, 'w'), true);
  }
  HubApi client(std::optional<bool> offline) const { return HubApi(cache, std::nullopt, server.endpoint(), false, offline); }

  HubTestServer server;
  testsupport::TempDir dir;
  fs::path cache = dir.path() / "cache";
  Hub::Repo repo{"o/r", Hub::RepoType::models};
};

TEST_F(SnapshotTest, DownloadsEveryFileAndReportsProgressByBytesEndingAtOne) {
  std::vector<double> fractions;
  std::vector<std::int64_t> totals;
  auto folder = client(false).snapshot(repo, "main", std::vector<std::string>{}, [&](const kestrum::Progress& p) {
    fractions.push_back(p.fractionCompleted());
    totals.push_back(p.totalUnitCount());
  });
  EXPECT_EQ(folder, cache / "models" / "o" / "r");
  EXPECT_EQ(readAll(folder / "config.json"), R"({"model_type": "gpt2"})");
  EXPECT_EQ(readAll(folder / "tok" / "vocab.txt"), "a\nb\n");
  EXPECT_TRUE(readAll(folder / "weights.bin") == std::string(70000, 'w'));
  // Each transfer reports its start (fraction 0) on top of the bytes of the files before it, then
  // the end: the two small files are a sliver of the bar, not two thirds of it.
  const double total = 22 + 4 + 70000;
  ASSERT_EQ(fractions.size(), 4u);
  EXPECT_DOUBLE_EQ(fractions[0], 0.0);
  EXPECT_DOUBLE_EQ(fractions[1], 22 / total);
  EXPECT_DOUBLE_EQ(fractions[2], 26 / total);
  EXPECT_DOUBLE_EQ(fractions[3], 1.0);
  EXPECT_EQ(totals.back(), 70026);

  // A file already in the cache weighs its local size, asked of no one.
  fs::remove(folder / "weights.bin");
  server.clearRequests();
  fractions.clear();
  client(false).snapshot(repo, "main", std::vector<std::string>{},
                         [&](const kestrum::Progress& p) { fractions.push_back(p.fractionCompleted()); });
  ASSERT_EQ(fractions.size(), 2u);
  EXPECT_DOUBLE_EQ(fractions[0], 26 / total);
  EXPECT_DOUBLE_EQ(fractions[1], 1.0);
  int heads = 0;
  for (const auto& r : server.requests()) heads += r.method == "HEAD";
  EXPECT_EQ(heads, 4) << "one HEAD for the missing file's size, one per file for its job";

  // Globs select; cached files make no transfer and no report of their own.
  server.clearRequests();
  fractions.clear();
  client(false).snapshot("o/r", "main", "*.json", [&](const kestrum::Progress& p, std::optional<double>) {
    fractions.push_back(p.fractionCompleted());
  });
  EXPECT_EQ(fractions, std::vector<double>{1.0});
  for (const auto& r : server.requests())
    EXPECT_FALSE(r.method == "GET" && r.target.find("/resolve/") != std::string::npos) << r.target;
}


// A cache moved to a bigger disk and linked back (the link still empty of repositories): the
// files go where the link led when it was checked, also after the link is turned elsewhere while
// they arrive.
TEST_F(SnapshotTest, ACacheLinkedToAFolderOfOursIsFollowedOnceAndUsedWhereItLed) {
  const fs::path bigdisk = dir.path() / "bigdisk";
  const fs::path planted = dir.path() / "planted";
  fs::create_directories(bigdisk);
  fs::create_directories(planted);
  fs::create_directory_symlink(bigdisk, cache);
  bool swapped = false;
  const fs::path folder = client(false).snapshot(repo, "main", std::vector<std::string>{}, [&](const kestrum::Progress&) {
    if (swapped) return;
    swapped = true;
    fs::remove(cache);
    fs::create_directory_symlink(planted, cache);
  });
  ASSERT_TRUE(swapped);
  EXPECT_EQ(folder, fs::canonical(bigdisk) / "models" / "o" / "r");
  EXPECT_EQ(readAll(folder / "config.json"), R"({"model_type": "gpt2"})");
  EXPECT_EQ(readAll(folder / "tok" / "vocab.txt"), "a\nb\n");
  EXPECT_TRUE(readAll(folder / "weights.bin") == std::string(70000, 'w'));
  EXPECT_EQ(tree(planted), std::vector<std::string>{}) << "nothing reached the folder the link was turned to";
}

TEST_F(SnapshotTest, EmptyListingReportsOnceWithTotalZero) {
  server.addRepository("models", "o/empty");
  std::vector<std::int64_t> totals;
  auto folder = client(false).snapshot("o/empty", "main", std::vector<std::string>{},
                                       [&](const kestrum::Progress& p) { totals.push_back(p.totalUnitCount()); });
  EXPECT_EQ(totals, std::vector<std::int64_t>{0});
  EXPECT_EQ(folder, cache / "models" / "o" / "empty");
}

TEST_F(SnapshotTest, OfflineModeServesTheCachedSnapshotWithoutRequests) {
  auto online = client(false).snapshot(repo, "main", std::vector<std::string>{});
  server.clearRequests();
  auto offline = client(true).snapshot(repo, "main", std::vector<std::string>{"nothing-matches"});
  EXPECT_EQ(offline, online);
  EXPECT_TRUE(server.requests().empty());
}

TEST_F(SnapshotTest, OfflineModeRefusesAnIncompleteOrAlteredCache) {
  const fs::path folder = cache / "models" / "o" / "r";
  struct Case {
    const char* name;
    void (*damage)(const fs::path& folder);
    EnvKind kind;
    const char* message;
  } cases[] = {
      {"no repository folder", [](const fs::path& f) { fs::remove_all(f); }, EnvKind::offlineModeError,
       "Offline mode error: Repository not available locally"},
      {"only hidden entries",
       [](const fs::path& f) {
         for (auto name : {"config.json", "tok", "weights.bin"}) fs::remove_all(f / name);
       },
       EnvKind::offlineModeError, "Offline mode error: No files available locally for this repository"},
      {"a stray file", [](const fs::path& f) { std::ofstream(f / "stray.txt") << "x"; }, EnvKind::offlineModeError,
       "Offline mode error: Metadata not available for stray.txt"},
      {"a large file changed after its download",
       [](const fs::path& f) { std::ofstream(f / "weights.bin", std::ios::app) << "!"; }, EnvKind::fileIntegrityError,
       "File integrity check failed: Hash mismatch for weights.bin"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(cache);
    client(false).snapshot(repo, "main", std::vector<std::string>{});
    c.damage(folder);
    try {
      client(true).snapshot(repo, "main", std::vector<std::string>{});
      ADD_FAILURE() << "the damaged cache was served";
    } catch (const HubApi::EnvironmentError& e) {
      EXPECT_EQ(e.kind(), c.kind);
      EXPECT_STREQ(e.what(), c.message);
    }
  }
  // A plain file's etag is no digest: a change to it is not noticed offline.
  fs::remove_all(cache);
  client(false).snapshot(repo, "main", std::vector<std::string>{});
  std::ofstream(folder / "config.json", std::ios::app) << " ";
  EXPECT_EQ(client(true).snapshot(repo, "main", std::vector<std::string>{}), folder);
}

TEST_F(SnapshotTest, CancelledSnapshotEndsWithACancellationError) {
  client(false).snapshot(repo, "main", "config.json");  // cached: its job ends normally
  std::stop_source stop;
  stop.request_stop();
  kestrum::StopTokenScope scope(stop.get_token());
  EXPECT_THROW(client(false).snapshot(repo, "main", std::vector<std::string>{}), kestrum::CancellationError);
  EXPECT_FALSE(fs::exists(cache / "models" / "o" / "r" / "weights.bin"));
}

// The HEADs that only weigh the files share one deadline: a slow service or a long listing costs
// that much before the first transfer, not a deadline per listed name.
TEST_F(SnapshotTest, SizesAreAskedWithinOneDeadlineAndTheFirstHeadOutOfTimeEndsTheAsking) {
  struct Case {
    const char* name;
    int slowFiles;                        // the first this many files answer HEAD slowly...
    std::chrono::milliseconds headStall;  // ...by this much...
    int stalledHeads;                     // ...the first this many times (0: always)
    std::size_t mostAsked;                // names HEADed before the first transfer, at most
  } cases[] = {
      {"one HEAD longer than the deadline", 1, std::chrono::milliseconds(3000), 1, 1},
      {"HEADs that together outlast it", 12, std::chrono::milliseconds(150), 0, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HubTestServer slow;
    slow.addRepository("models", "o/many");
    std::vector<std::string> names;
    for (int i = 0; i < 12; ++i) {
      names.push_back("f" + std::to_string(10 + i) + ".bin");
      slow.addFile("models", "o/many", names.back(), std::string(100 + i, 'x'));
      if (i >= c.slowFiles) continue;
      HubTestServer::FileFaults f;
      f.headStall = c.headStall;
      f.headStallCount = c.stalledHeads;
      slow.setFaults("models", "o/many", names.back(), f);
    }
    testsupport::TempDir root;
    HubApi::TransferLimits limits;
    limits.metadataDeadline = std::chrono::milliseconds(400);
    HubApi api = HubApi(root.path(), std::nullopt, slow.endpoint(), false, false).withTransferLimits(limits);
    const fs::path folder = api.snapshot("o/many", "main", std::vector<std::string>{});
    for (std::size_t i = 0; i < names.size(); ++i) EXPECT_EQ(fs::file_size(folder / names[i]), 100 + i);

    std::vector<std::string> asked;  // in order, before the first GET
    for (const auto& r : slow.requests()) {
      if (r.method == "GET" && r.target.find("/resolve/") != std::string::npos) break;
      if (r.method == "HEAD") asked.push_back(r.target.substr(r.target.rfind('/') + 1));
    }
    // The names asked are the first ones, in order; the job of the first file then asks again.
    ASSERT_GE(asked.size(), 2u);
    EXPECT_EQ(asked.back(), names[0]);
    asked.pop_back();
    EXPECT_LE(asked.size(), c.mostAsked);
    for (std::size_t i = 0; i < asked.size(); ++i) EXPECT_EQ(asked[i], names[i]);
  }
}

TEST_F(SnapshotTest, MoreMatchingFilesThanTheCapFailBeforeAnyFileIsAsked) {
  HubApi::TransferLimits limits;
  limits.maxFiles = 2;
  const HubApi capped = client(false).withTransferLimits(limits);
  try {
    capped.snapshot(repo, "main", std::vector<std::string>{});
    FAIL() << "three files were fetched under a cap of two";
  } catch (const Hub::HubClientError& e) {
    EXPECT_EQ(e.kind(), Hub::HubClientError::Kind::parseError);
    EXPECT_STREQ(e.what(), "Parse error: o/r lists 3 files to fetch, more than the 2 expected at most");
  }
  for (const auto& r : server.requests()) EXPECT_EQ(r.target.find("/resolve/"), std::string::npos) << r.target;
  EXPECT_FALSE(fs::exists(cache / "models" / "o" / "r"));
  // At the cap, the files come.
  EXPECT_EQ(capped.snapshot(repo, "main", std::vector<std::string>{"*.json", "tok/*"}), cache / "models" / "o" / "r");
}

TEST_F(SnapshotTest, HostileNamesWriteNothingOutsideTheCache) {
  struct Case {
    const char* name;
    void (*hostile)(HubTestServer& server);
  } cases[] = {
      {"parent segments", [](HubTestServer& s) { s.addListingName("models", "o/r", "../../../escaped.txt"); }},
      {"leading slash", [](HubTestServer& s) { s.addListingName("models", "o/r", "/tmp/escaped.txt"); }},
      {"backslash", [](HubTestServer& s) { s.addListingName("models", "o/r", "..\\escaped.txt"); }},
      {"etag with parent segments", [](HubTestServer& s) {
         HubTestServer::FileFaults f;
         f.etag = "\"../../../../escaped\"";
         s.setFaults("models", "o/r", "config.json", f);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HubTestServer hostile;
    hostile.addRepository("models", "o/r");
    hostile.addFile("models", "o/r", "config.json", "{}");
    c.hostile(hostile);
    testsupport::TempDir root;
    HubApi api(root.path() / "cache", std::nullopt, hostile.endpoint(), false, false);
    EXPECT_THROW(api.snapshot(repo, "main", std::vector<std::string>{}), Hub::HubClientError);
    for (const auto& entry : tree(root.path())) EXPECT_TRUE(entry.starts_with("cache")) << entry;
    EXPECT_FALSE(fs::exists("/tmp/escaped.txt"));
  }
}

}  // namespace
}  // namespace hub
