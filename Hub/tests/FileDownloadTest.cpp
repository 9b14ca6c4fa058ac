#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Hub/Downloader.h"
#include "Hub/HubApi.h"
#include "Hub/HubFileDownloader.h"
#include "Hub/detail/DownloadStates.h"
#include "KestrumCore/Concurrency.h"
#include "platform/Net/Http.h"
#include "testsupport/Fixtures.h"
#include "testsupport/HubTestServer.h"
#include "testsupport/Wait.h"

namespace hub {
namespace {

namespace fs = std::filesystem;
using testsupport::HubTestServer;

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The files below a folder, hidden ones included, as paths relative to it.
std::vector<std::string> tree(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(folder))
    if (entry.is_regular_file()) names.push_back(fs::relative(entry.path(), folder).string());
  std::sort(names.begin(), names.end());
  return names;
}

class FileDownloadTest : public ::testing::Test {
 protected:
  void SetUp() override { server.addRepository("models", "o/r"); }

  HubApi::HubFileDownloader job(const std::string& name) const {
    return HubApi::HubFileDownloader(api, repo, "main", api.localRepoLocation(repo), name);
  }
  std::size_t contentGets() const {
    std::size_t n = 0;
    for (const auto& r : server.requests()) n += r.method == "GET";
    return n;
  }

  HubTestServer server;
  testsupport::TempDir dir;
  HubApi api{dir.path(), std::nullopt, server.endpoint(), false, false};
  Hub::Repo repo{"o/r", Hub::RepoType::models};
};

TEST_F(FileDownloadTest, TransfersOnceThenTakesTheCachedCopyByCommit) {
  const std::string content(3 * 1024 * 1024 + 5, 'z');
  server.addFile("models", "o/r", "sub/weights.bin", content, true);
  std::vector<double> fractions;
  auto file = job("sub/weights.bin").download([&](double f, std::optional<double>) { fractions.push_back(f); });
  EXPECT_EQ(file, api.localRepoLocation(repo) / "sub" / "weights.bin");
  EXPECT_TRUE(readAll(file) == content);
  EXPECT_EQ(fractions, std::vector<double>{0.0});  // smaller than one piece: no report of its own
  auto record = api.readDownloadMetadata(job("sub/weights.bin").metadataDestination());
  ASSERT_TRUE(record);
  EXPECT_EQ(record->commitHash, HubTestServer::kDefaultCommit);
  EXPECT_EQ(record->etag, HubTestServer::sha256Hex(content));
  // Only the file and its metadata remain: no partial file.
  EXPECT_EQ(tree(api.localRepoLocation(repo)),
            (std::vector<std::string>{".cache/huggingface/download/sub/weights.bin.metadata", "sub/weights.bin"}));

  server.clearRequests();
  job("sub/weights.bin").download();
  EXPECT_EQ(contentGets(), 0u);
}

TEST_F(FileDownloadTest, LargeFileWhoseDigestDiffersFromItsEtagIsDeletedAndReported) {
  const std::string content(5000, 'q');
  server.addFile("models", "o/r", "weights.bin", content, true);
  HubTestServer::FileFaults lying;
  lying.linkedEtag = "\"" + HubTestServer::sha256Hex("something else") + "\"";
  server.setFaults("models", "o/r", "weights.bin", lying);
  try {
    job("weights.bin").download();
    FAIL() << "a file with the wrong digest was accepted";
  } catch (const HubApi::EnvironmentError& e) {
    EXPECT_EQ(e.kind(), HubApi::EnvironmentError::Kind::fileIntegrityError);
    EXPECT_STREQ(e.what(), "File integrity check failed: Hash mismatch for weights.bin");
  }
  // Neither the file, nor its metadata, nor the partial file stays in the cache.
  EXPECT_EQ(tree(api.localRepoLocation(repo)), std::vector<std::string>{});
}

TEST_F(FileDownloadTest, FailedTransferWritesNoMetadataAndTheNextJobStartsAfresh) {
  server.addFile("models", "o/r", "a.bin", std::string(4000, 'a'), true);
  HubTestServer::FileFaults broken;
  broken.sizeSkew = -1;  // the finished size is wrong
  server.setFaults("models", "o/r", "a.bin", broken);
  EXPECT_THROW(job("a.bin").download(), Downloader::DownloadError);
  EXPECT_FALSE(fs::exists(job("a.bin").metadataDestination()));
  EXPECT_FALSE(fs::exists(job("a.bin").destination()));

  server.setFaults("models", "o/r", "a.bin", {});
  EXPECT_EQ(readAll(job("a.bin").download()), std::string(4000, 'a'));
}

TEST_F(FileDownloadTest, CancellingTheCallingTaskCancelsTheTransfer) {
  server.addFile("models", "o/r", "slow.bin", std::string(1000, 's'), true);
  HubTestServer::FileFaults slow;
  slow.stall = std::chrono::milliseconds(5000);
  server.setFaults("models", "o/r", "slow.bin", slow);
  auto started = std::chrono::steady_clock::now();
  kestrum::Task task([this] { return job("slow.bin").download(); });
  EXPECT_TRUE(testsupport::waitUntil([&] { return server.requests().size() >= 3; }, std::chrono::seconds(10),
                                     std::chrono::milliseconds(5)))
      << "the job did not reach its transfer; requests: " << server.requests().size();
  task.cancel();
  try {
    task.value();
    FAIL() << "the cancelled job returned a file";
  } catch (const platform::net::TransferError& e) {
    EXPECT_EQ(e.kind, platform::net::TransferError::Kind::cancelled);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
  EXPECT_FALSE(fs::exists(job("slow.bin").destination()));
}

// Whatever is not a regular file at the file's own path is never read to compare its digest (a
// FIFO would block the open, /dev/zero never end the read): the download replaces it.
TEST_F(FileDownloadTest, NoRegularFileAtTheDestinationIsReplacedWithoutReadingIt) {
  const std::string content(2000, 'w');
  server.addFile("models", "o/r", "w.bin", content, true);
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> plant;
  } cases[] = {
      {"fifo", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }},
      {"link to /dev/zero", [](const fs::path& p) { fs::create_symlink("/dev/zero", p); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(api.localRepoLocation(repo));
    const fs::path destination = job("w.bin").destination();
    fs::create_directories(destination.parent_path());
    c.plant(destination);
    auto done = std::async(std::launch::async, [&] { return job("w.bin").download(); });
    if (done.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      ADD_FAILURE() << "the download hangs on the file at its destination";
      std::abort();  // the reading thread cannot be ended
    }
    EXPECT_EQ(done.get(), destination);
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(destination)));
    EXPECT_TRUE(readAll(destination) == content);
  }
}

TEST(DownloadStatesTest, StreamThatEndsWithoutAFinalStateIsAFailure) {
  std::optional<Broadcaster<Downloader::DownloadState>::Subscription> states;
  std::vector<double> seen;
  {
    Broadcaster<Downloader::DownloadState> b([] { return std::optional<Downloader::DownloadState>(Downloader::NotStarted{}); });
    states.emplace(b.subscribe());
    b.broadcast(Downloader::Downloading{0.5, 10.0});
  }
  try {
    detail::awaitDownload(*states, [&](double f, std::optional<double>) { seen.push_back(f); }, "x.bin");
    FAIL() << "an unfinished transfer counted as completed";
  } catch (const Hub::HubClientError& e) {
    EXPECT_EQ(e.kind(), Hub::HubClientError::Kind::downloadError);
    EXPECT_NE(std::string(e.what()).find("x.bin"), std::string::npos);
  }
  EXPECT_EQ(seen, std::vector<double>{0.5});
}

// 10^12 bytes used to be accepted and written until the disk was full.
TEST_F(FileDownloadTest, AnnouncedSizeBeyondAModelFilesIsRefusedBeforeTheTransfer) {
  struct Case {
    const char* name;
    std::string announced;     // X-Linked-Size
    std::int64_t maxFileSize;  // the client's bound
    const char* error;         // nullptr: downloaded
  } cases[] = {
      {"a terabyte under the default bound", "1000000000000", HubApi::TransferLimits{}.maxFileSize,
       "Parse error: w.bin is announced at 1000000000000 bytes, more than a model file has (68719476736 at most)"},
      {"one byte over a bound", "1001", 1000, "Parse error: w.bin is announced at 1001 bytes, more than a model file has (1000 at most)"},
      {"at the bound", "1000", 1000, nullptr},
  };
  server.addFile("models", "o/r", "w.bin", std::string(1000, 'w'), true);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HubTestServer::FileFaults f;
    f.linkedSize = c.announced;
    server.setFaults("models", "o/r", "w.bin", f);
    server.clearRequests();
    HubApi::TransferLimits limits;
    limits.maxFileSize = c.maxFileSize;
    const HubApi bounded = api.withTransferLimits(limits);
    HubApi::HubFileDownloader download(bounded, repo, "main", bounded.localRepoLocation(repo), "w.bin");
    if (!c.error) {
      EXPECT_EQ(fs::file_size(download.download()), 1000u);
      continue;
    }
    try {
      download.download();
      ADD_FAILURE() << "the announced size was taken";
    } catch (const Hub::HubClientError& e) {
      EXPECT_EQ(e.kind(), Hub::HubClientError::Kind::parseError);
      EXPECT_STREQ(e.what(), c.error);
    }
    EXPECT_EQ(contentGets(), 0u);
  }
}

}  // namespace
}  // namespace hub
