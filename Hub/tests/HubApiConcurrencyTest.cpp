#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Hub/HubApi.h"
#include "testsupport/Fixtures.h"
#include "testsupport/HubTestServer.h"

namespace hub {
namespace {

using testsupport::HubTestServer;

// One client value shared by 200 threads, each asking for one file's metadata at the same time.
// Run under the sanitizer builds, this is the data-race check of the request path.
TEST(HubApiConcurrencyTest, TwoHundredMetadataRequestsThroughOneClient) {
  HubTestServer server;
  server.addRepository("models", "owner/model");
  constexpr int kFiles = 10;
  auto fileName = [](int i) { return std::string("f").append(std::to_string(i)).append(".bin"); };
  for (int i = 0; i < kFiles; ++i)
    server.addFile("models", "owner/model", fileName(i), std::string(100 + i, 'a' + i), i % 2 == 1);
  testsupport::TempDir cache;
  const HubApi api(cache.path(), std::string("hf_tok"), server.endpoint());
  const Hub::Repo repo{"owner/model", Hub::RepoType::models};

  constexpr int kRequests = 200;
  std::vector<HubApi::FileMetadata> results(kRequests);
  std::vector<std::string> failures(kRequests);
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kRequests; ++i) {
    threads.emplace_back([&, i] {
      ++ready;
      while (ready.load() < kRequests) std::this_thread::yield();
      try {
        results[i] = api.getFileMetadata(HubApi::resolveURL(api.endpoint(), repo, "main", fileName(i % kFiles)));
      } catch (const std::exception& e) {
        failures[i] = e.what();
      }
    });
  }
  for (auto& t : threads) t.join();

  for (int i = 0; i < kRequests; ++i) {
    ASSERT_EQ(failures[i], "") << "request " << i;
    int f = i % kFiles;
    std::string content(100 + f, 'a' + f);
    bool large = f % 2 == 1;
    EXPECT_EQ(results[i].size, static_cast<std::int64_t>(content.size())) << i;
    EXPECT_EQ(results[i].etag, large ? HubTestServer::sha256Hex(content) : HubTestServer::gitBlobSha1(content)) << i;
  }
  EXPECT_EQ(server.requests().size(), static_cast<std::size_t>(kRequests));
}

}  // namespace
}  // namespace hub
