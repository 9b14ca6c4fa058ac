// A cache on a small file system of its own (a tmpfs mounted for the test), so that a full disk
// and a read-only one are real; the tests skip where mounting is not permitted.
#include <chrono>
#include <filesystem>
#include <memory>
#include <fstream>
#include <string>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "Hub/Downloader.h"
#include "Hub/HubApi.h"
#include "Hub/HubFileDownloader.h"
#include "testsupport/Fixtures.h"
#include "testsupport/HubTestServer.h"

namespace hub {
namespace {

namespace fs = std::filesystem;
using Error = Hub::HubClientError;
using testsupport::HubTestServer;

// Every regular file below the folder, hidden ones included.
std::vector<std::string> filesBelow(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(folder))
    if (entry.is_regular_file()) names.push_back(fs::relative(entry.path(), folder).string());
  return names;
}

class CacheSpaceTest : public ::testing::Test {
 protected:
  void SetUp() override { server.addRepository("models", "o/r"); }

  // Mounts a tmpfs of `size` at the cache; false where that is refused.
  bool mountCache(const std::string& size) {
    small = std::make_unique<testsupport::SmallFileSystem>(cache, size);
    return small->mounted();
  }
  HubApi api(double factor = 1.0) const {
    HubApi::TransferLimits limits;
    limits.freeSpaceFactor = factor;
    return HubApi(cache, std::nullopt, server.endpoint(), false, false).withTransferLimits(limits);
  }
  fs::path fetch(const HubApi& client, const std::string& name) const {
    return HubApi::HubFileDownloader(client, repo, "main", client.localRepoLocation(repo), name).download();
  }
  int bodyRequests() const {
    int n = 0;
    for (const auto& r : server.requests()) n += r.method == "GET";
    return n;
  }

  HubTestServer server;
  testsupport::TempDir dir;
  fs::path cache = dir.path() / "cache";
  std::unique_ptr<testsupport::SmallFileSystem> small;  // goes before `dir`
  Hub::Repo repo{"o/r", Hub::RepoType::models};
};

TEST_F(CacheSpaceTest, TooLittleFreeSpaceFailsBeforeAnyByteIsAskedForSayingHowMuchAndWhere) {
  if (!mountCache("4m")) GTEST_SKIP() << small->why();
  struct Case {
    const char* name;
    std::size_t size;
    double factor;
    const char* needs;  // nullptr: it fits
  } cases[] = {
      {"fits", 2'000'000, 1.0, nullptr},
      {"larger than the disk", 6'000'000, 1.0, "7.0 MB"},
      {"fits, but not with room to pack it", 2'000'000, 2.0, "5.0 MB"},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = "w" + std::to_string(n++).append(".bin");
    server.addFile("models", "o/r", name, std::string(c.size, 'w'), true);
    server.clearRequests();
    if (!c.needs) {
      EXPECT_EQ(fs::file_size(fetch(api(c.factor), name)), c.size);
      fs::remove(cache / "models" / "o" / "r" / name);
      continue;
    }
    try {
      fetch(api(c.factor), name);
      ADD_FAILURE() << "downloaded into too little space";
    } catch (const Error& e) {
      EXPECT_EQ(e.kind(), Error::Kind::fileSystemError);
      const std::string start = "File system error: not enough free space: " + name + " needs " + c.needs +
                                ", the model cache at " + cache.string() + " has ";
      EXPECT_TRUE(std::string(e.what()).starts_with(start) && std::string(e.what()).ends_with(" MB")) << e.what();
    }
    EXPECT_EQ(bodyRequests(), 0) << "only the HEAD was asked";
    for (const auto& file : filesBelow(cache)) EXPECT_TRUE(file.ends_with(".metadata")) << file;
  }
}

// The space check can be passed (a factor of 0 asks only for the reserve); the disk then fills
// while the file is written.
TEST_F(CacheSpaceTest, DownloadThatFillsTheDiskRemovesWhatItWroteAndSaysTheDiskIsFull) {
  if (!mountCache("2m")) GTEST_SKIP() << small->why();
  server.addFile("models", "o/r", "big.bin", std::string(12 << 20, 'b'), true);
  try {
    fetch(api(0.0), "big.bin");
    FAIL() << "12 MiB went onto a disk of 2";
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), Error::Kind::fileSystemError);
    EXPECT_EQ(std::string(e.what()), "File system error: the disk is full: the model cache at " + cache.string() +
                                         " has no room left, and what the download wrote was removed");
  }
  EXPECT_EQ(filesBelow(cache), std::vector<std::string>{}) << "the partial file stayed";

  // The downloader alone: the partial file goes, and the error is the file system's.
  const fs::path partial = cache / "alone.incomplete";
  std::ofstream(partial).close();
  Downloader d(cache / "alone.bin", partial, false, 64 * 1024, std::chrono::milliseconds(1));
  auto states = d.startDownload(server.endpoint() + "/o/r/resolve/main/big.bin", std::nullopt, {}, 12 << 20);
  std::exception_ptr error;
  while (auto state = states.next()) {
    if (auto* failed = std::get_if<Downloader::Failed>(&*state)) error = failed->error;
    if (error || std::holds_alternative<Downloader::Completed>(*state)) break;
  }
  ASSERT_TRUE(error);
  try {
    std::rethrow_exception(error);
  } catch (const fs::filesystem_error& e) {
    EXPECT_EQ(e.code(), std::errc::no_space_on_device) << e.what();
  }
  EXPECT_FALSE(fs::exists(partial));
}

TEST_F(CacheSpaceTest, ReadOnlyCacheSaysSoInPlainWords) {
  if (!mountCache("4m")) GTEST_SKIP() << small->why();
  server.addFile("models", "o/r", "config.json", "{}");
  server.addFile("models", "o/r", "vocab.txt", "a\nb\n");
  server.addFile("models", "o/r", "weights.bin", std::string(1000, 'w'), true);
  fetch(api(), "config.json");  // the cache holds one file and its folders
  if (!small->makeReadOnly()) GTEST_SKIP() << small->why();
  const std::string plain = "File system error: the model cache at " + cache.string() +
                            " is on a read-only file system; nothing can be saved there";
  for (const char* file : {"vocab.txt", "weights.bin"}) {
    SCOPED_TRACE(file);
    try {
      fetch(api(), file);
      ADD_FAILURE() << "wrote into a read-only cache";
    } catch (const Error& e) {
      EXPECT_EQ(e.kind(), Error::Kind::fileSystemError);
      EXPECT_EQ(std::string(e.what()), plain);
    }
  }
  // What the cache holds and is current is still served.
  EXPECT_EQ(fetch(api(), "config.json"), cache / "models" / "o" / "r" / "config.json");
}

}  // namespace
}  // namespace hub
