// The test server's transfer faults, seen through the HTTP layer: later download tests rely on them.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Net/Http.h"
#include "testsupport/HubTestServer.h"

namespace platform::net {
namespace {

using testsupport::HubTestServer;

const std::string kContent = "0123456789abcdefghij";  // 20 bytes

class HubTestServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server.addRepository("models", "o/r");
    server.addFile("models", "o/r", "plain.txt", kContent);
    server.addFile("models", "o/r", "large.bin", kContent, /*large=*/true);
  }
  HttpResponse get(const std::string& file, std::optional<std::string> range = std::nullopt, int redirects = 5) {
    HttpRequest r;
    r.url = server.endpoint() + "/o/r/resolve/main/" + file;
    r.headers.set("Accept-Encoding", "identity");
    if (range) r.headers.set("Range", *range);
    r.maxRedirects = redirects;
    return perform(r);
  }
  void fault(const std::string& file, HubTestServer::FileFaults f) { server.setFaults("models", "o/r", file, f); }

  HubTestServer server;
};

TEST_F(HubTestServerTest, RangesGive206Or416OnBothOrigins) {
  struct Case {
    std::string range;
    long status;
    std::string body;
    std::string contentRange;
  };
  const std::vector<Case> cases = {
      {"bytes=0-", 206, kContent, "bytes 0-19/20"},
      {"bytes=5-9", 206, "56789", "bytes 5-9/20"},
      {"bytes=15-", 206, "fghij", "bytes 15-19/20"},
      {"bytes=15-99", 206, "fghij", "bytes 15-19/20"},
      {"bytes=20-", 416, "", "bytes */20"},
  };
  for (const char* file : {"plain.txt", "large.bin"}) {
    for (const Case& c : cases) {
      HttpResponse r = get(file, c.range);
      EXPECT_EQ(r.status, c.status) << file << " " << c.range;
      EXPECT_EQ(r.body, c.body) << file << " " << c.range;
      EXPECT_EQ(r.headers.value("Content-Range"), c.contentRange) << file << " " << c.range;
    }
  }
  EXPECT_EQ(get("plain.txt").body, kContent);
}

TEST_F(HubTestServerTest, TransferFaults) {
  HubTestServer::FileFaults ignore;
  ignore.ignoreRange = true;
  fault("large.bin", ignore);
  HttpResponse whole = get("large.bin", "bytes=5-");
  EXPECT_EQ(whole.status, 200);
  EXPECT_EQ(whole.body, kContent);

  for (int skew : {1, -1}) {
    HubTestServer::FileFaults f;
    f.sizeSkew = skew;
    fault("plain.txt", f);
    EXPECT_EQ(get("plain.txt").body.size(), kContent.size() + skew) << skew;
  }

  HubTestServer::FileFaults drop;
  drop.dropAfter = 7;
  fault("plain.txt", drop);
  EXPECT_THROW(get("plain.txt"), TransferError);

  HubTestServer::FileFaults status;
  status.status = 503;
  fault("plain.txt", status);
  EXPECT_EQ(get("plain.txt").status, 503);
}

TEST_F(HubTestServerTest, RecordsEveryRequestOnEitherOrigin) {
  get("large.bin", "bytes=3-");
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].server, "hub");
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].target, "/o/r/resolve/main/large.bin");
  EXPECT_EQ(requests[1].server, "content");
  EXPECT_EQ(requests[1].target, "/blobs/" + HubTestServer::sha256Hex(kContent));
  EXPECT_EQ(requests[1].header("range"), "bytes=3-");
  server.clearRequests();
  EXPECT_TRUE(server.requests().empty());
}

TEST_F(HubTestServerTest, ReferenceDigestsMatchGit) {
  // `printf 'hello\n' | git hash-object --stdin`
  EXPECT_EQ(HubTestServer::gitBlobSha1("hello\n"), "ce013625030ba8dba906f756967f9e9ca394464a");
  EXPECT_EQ(HubTestServer::sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

}  // namespace
}  // namespace platform::net
