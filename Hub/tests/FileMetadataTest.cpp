#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Hub/HubApi.h"
#include "Hub/detail/ResponseHeaders.h"
#include "testsupport/Fixtures.h"
#include "testsupport/HubTestServer.h"

namespace hub {
namespace {

using Error = Hub::HubClientError;
using detail::getLinkURL;
using detail::normalizeEtag;
using detail::parseSize;
using detail::parseXetFileDataFromResponse;
using testsupport::HubTestServer;

const Hub::Repo kRepo{"owner/model", Hub::RepoType::models};
const std::string kCommit = "a1b2c3d4e5f60718293a4b5c6d7e8f9012345678";
const std::string kPlain = R"({"hidden_size": 8})";
const std::string kLarge(5000, 'L');

class FileMetadataTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server.addRepository("models", "owner/model", kCommit);
    server.addFile("models", "owner/model", "config.json", kPlain);
    server.addFile("models", "owner/model", "weights.bin", kLarge, /*large=*/true);
    server.addFile("models", "owner/model", "sub/vocab.json", "{}");
  }
  HubApi api(std::optional<std::string> token = std::string()) const {
    return HubApi(cache.path(), token, server.endpoint());
  }
  std::string resolve(const std::string& file, const std::string& revision = "main") const {
    return HubApi::resolveURL(server.endpoint(), kRepo, revision, file);
  }
  void fault(const std::string& file, HubTestServer::FileFaults faults) {
    server.setFaults("models", "owner/model", file, std::move(faults));
  }

  HubTestServer server;
  testsupport::TempDir cache;
};

TEST_F(FileMetadataTest, PlainFileGivesItsCommitEtagSizeAndOwnUrl) {
  auto m = api().getFileMetadata(resolve("config.json"));
  EXPECT_EQ(m.commitHash, kCommit);
  EXPECT_EQ(m.etag, HubTestServer::gitBlobSha1(kPlain));
  EXPECT_EQ(m.size, static_cast<std::int64_t>(kPlain.size()));
  EXPECT_EQ(m.location, resolve("config.json"));
  EXPECT_FALSE(m.xetFileData);
  auto head = server.requests().back();
  EXPECT_EQ(head.method, "HEAD");
  EXPECT_EQ(head.header("Accept-Encoding"), "identity");
}

TEST_F(FileMetadataTest, LargeFileGivesTheLinkedEtagAndSizeAndTheRedirectTarget) {
  auto m = api().getFileMetadata(resolve("weights.bin"));
  std::string sha = HubTestServer::sha256Hex(kLarge);
  EXPECT_EQ(m.etag, sha);
  EXPECT_EQ(m.size, 5000);
  EXPECT_EQ(m.commitHash, kCommit);
  EXPECT_EQ(m.location, server.contentEndpoint() + "/blobs/" + sha);
  // The absolute redirect is not followed: the content origin is never asked.
  for (const auto& r : server.requests()) EXPECT_EQ(r.server, "hub");
}

TEST_F(FileMetadataTest, MalformedHeadersGiveAbsentOrRawFieldsNeverErrors) {
  struct Case {
    const char* name;
    HubTestServer::FileFaults faults;
    std::optional<std::string> commit;
    std::optional<std::string> etag;
    std::optional<std::int64_t> size;
  };
  auto faults = [](auto change) {
    HubTestServer::FileFaults f;
    change(f);
    return f;
  };
  std::string blob = HubTestServer::gitBlobSha1(kPlain);
  std::int64_t size = static_cast<std::int64_t>(kPlain.size());
  const std::vector<Case> cases = {
      {"no commit", faults([](auto& f) { f.omitCommit = true; }), std::nullopt, blob, size},
      {"weak etag", faults([](auto& f) { f.etag = "W/\"abc123\""; }), kCommit, "abc123", size},
      {"unquoted etag", faults([](auto& f) { f.etag = "abc123"; }), kCommit, "abc123", size},
      {"etag of quotes only", faults([](auto& f) { f.etag = "\"\""; }), kCommit, "", size},
      {"empty linked etag wins over Etag", faults([](auto& f) { f.linkedEtag = ""; }), kCommit, "", size},
      {"linked etag in quotes", faults([](auto& f) { f.linkedEtag = "\"sha\""; }), kCommit, "sha", size},
      {"size with letters", faults([](auto& f) { f.linkedSize = "12abc"; }), kCommit, blob, std::nullopt},
      {"size with plus", faults([](auto& f) { f.linkedSize = "+12"; }), kCommit, blob, 12},
      {"negative size", faults([](auto& f) { f.linkedSize = "-3"; }), kCommit, blob, -3},
      {"size past 64 bits", faults([](auto& f) { f.linkedSize = "9223372036854775808"; }), kCommit, blob, std::nullopt},
      {"empty size", faults([](auto& f) { f.linkedSize = ""; }), kCommit, blob, std::nullopt},
  };
  for (const Case& c : cases) {
    fault("config.json", c.faults);
    auto m = api().getFileMetadata(resolve("config.json"));
    EXPECT_EQ(m.commitHash, c.commit) << c.name;
    EXPECT_EQ(m.etag, c.etag) << c.name;
    EXPECT_EQ(m.size, c.size) << c.name;
  }
}

TEST(NormalizeEtagTest, DropsOneWeakPrefixAndSurroundingQuotes) {
  struct Case {
    std::optional<std::string> in;
    std::optional<std::string> out;
  };
  for (const Case& c : std::vector<Case>{{std::nullopt, std::nullopt},
                                         {"\"abc\"", "abc"},
                                         {"W/\"abc\"", "abc"},
                                         {"W/W/\"abc\"", "W/\"abc"},
                                         {"\"\"\"a\"b\"\"", "a\"b"},
                                         {"abc", "abc"},
                                         {"w/\"abc\"", "w/\"abc"},
                                         {"", ""}})
    EXPECT_EQ(normalizeEtag(c.in), c.out) << c.in.value_or("(none)");
}

TEST(ParseSizeTest, ReadsSignedDecimalWithin64Bits) {
  struct Case {
    const char* text;
    std::optional<std::int64_t> size;
  };
  for (const Case& c : std::vector<Case>{{"12", 12},
                                         {"+12", 12},
                                         {"-12", -12},
                                         {"007", 7},
                                         {"9223372036854775807", INT64_MAX},
                                         {"-9223372036854775808", INT64_MIN},
                                         {"9223372036854775808", std::nullopt},
                                         {"-9223372036854775809", std::nullopt},
                                         {"12abc", std::nullopt},
                                         {" 12", std::nullopt},
                                         {"1.5", std::nullopt},
                                         {"+", std::nullopt},
                                         {"", std::nullopt}})
    EXPECT_EQ(parseSize(c.text), c.size) << c.text;
}

TEST_F(FileMetadataTest, RelativeRedirectIsFollowedOnTheSameOriginWithTheFirstHeaders) {
  server.addRename("models", "owner/model", "old-config.json", "config.json");
  auto m = api(std::string("hf_tok")).getFileMetadata(resolve("old-config.json"));
  EXPECT_EQ(m.etag, HubTestServer::gitBlobSha1(kPlain));
  EXPECT_EQ(m.location, resolve("config.json"));  // the answer's own URL, not the 307's Location
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  const auto& followed = requests[1];
  EXPECT_EQ(followed.target, "/owner/model/resolve/main/config.json");
  EXPECT_EQ(followed.header("Authorization"), "Bearer hf_tok");
  EXPECT_EQ(followed.header("Accept-Encoding"), "identity");
  EXPECT_EQ(followed.header("Location"), resolve("config.json"));
  // Still a HEAD: following must not fetch the file's body.
  EXPECT_EQ(followed.method, "HEAD");
}

TEST_F(FileMetadataTest, RelativeRedirectTakesPathAndQueryOfTheLocation) {
  server.addRename("models", "owner/model", "c", "config.json?x=1");
  auto response = api().httpHead(server.endpoint() + "/owner/model/resolve/main/c?y=2");
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(server.requests().back().target, "/owner/model/resolve/main/config.json?x=1");
}

TEST_F(FileMetadataTest, AbsoluteRedirectsAreReturnedNotFollowed) {
  HubTestServer::FileFaults f;
  f.absoluteRedirect = server.contentEndpoint() + "/elsewhere";
  fault("config.json", f);
  auto m = api().getFileMetadata(resolve("config.json"));
  EXPECT_EQ(m.location, server.contentEndpoint() + "/elsewhere");
  EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(FileMetadataTest, LinkAndRefreshRouteGiveXetData) {
  auto withHeaders = [](std::vector<std::pair<std::string, std::string>> headers) {
    HubTestServer::FileFaults f;
    f.extraHeaders = std::move(headers);
    return f;
  };
  fault("config.json", withHeaders({{"x-xet-hash", "h1"},
                                    {"Link", "<https://a.example/x>; rel=\"next\", <https://huggingface.co/api/t>; rel=\"xet-auth\""}}));
  auto m = api().getFileMetadata(resolve("config.json"));
  ASSERT_TRUE(m.xetFileData);
  // The default endpoint in the route becomes this client's endpoint.
  EXPECT_EQ(m.xetFileData->fileHash, "h1");
  EXPECT_EQ(m.xetFileData->refreshRoute, server.endpoint() + "/api/t");

  fault("config.json", withHeaders({{"x-xet-hash", "h2"}, {"X-Xet-Refresh-Route", "https://other.example/r"}}));
  EXPECT_EQ(api().getFileMetadata(resolve("config.json")).xetFileData,
            (XetFileData{"h2", "https://other.example/r"}));

  fault("config.json", withHeaders({{"x-xet-hash", "h3"}}));
  EXPECT_FALSE(api().getFileMetadata(resolve("config.json")).xetFileData) << "a hash alone is no xet data";
}

TEST(GetLinkURLTest, FindsTheFirstEntryOfTheRelation) {
  struct Case {
    const char* link;
    std::optional<std::string> url;
  };
  for (const Case& c : std::vector<Case>{
           {R"(<https://a/1>; rel="next", <https://a/2>; rel="xet-auth")", "https://a/2"},
           {R"(<https://a/3>; rel=xet-auth)", "https://a/3"},
           {R"(,, <https://a/4>; rel="xet-auth", <https://a/5>; rel="xet-auth")", "https://a/4"},
           {R"(https://a/6; rel="xet-auth", <https://a/7>; rel="xet-auth")", "https://a/7"},
           {R"(<https://a/8>; rel="other")", std::nullopt},
           {R"(>https://a/9<; rel="xet-auth")", std::nullopt},
       }) {
    platform::net::HttpResponse r;
    r.headers.add("Link", c.link);
    EXPECT_EQ(getLinkURL(r, "xet-auth"), c.url) << c.link;
  }
  EXPECT_FALSE(getLinkURL(platform::net::HttpResponse{}, "xet-auth"));
}

TEST(XetFileDataTest, DefaultEndpointInTheRouteIsReplacedEverywhere) {
  platform::net::HttpResponse r;
  r.headers.add("x-xet-hash", "h");
  r.headers.add("X-Xet-Refresh-Route", "https://huggingface.co/api/x?back=https://huggingface.co/");
  EXPECT_EQ(parseXetFileDataFromResponse(&r, "http://mirror:9/")->refreshRoute, "http://mirror:9/api/x?back=http://mirror:9/");
  EXPECT_EQ(parseXetFileDataFromResponse(&r, std::nullopt)->refreshRoute, "https://huggingface.co/api/x?back=https://huggingface.co/");
  EXPECT_FALSE(parseXetFileDataFromResponse(nullptr, std::nullopt));
}

TEST_F(FileMetadataTest, ManyFilesAreAskedOneAfterAnotherInListingOrder) {
  auto records = api().getFileMetadata(kRepo, "main", {"*.json", "*.bin"});
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].location, resolve("config.json"));
  EXPECT_EQ(records[1].etag, HubTestServer::sha256Hex(kLarge));
  EXPECT_EQ(records[2].location, resolve("sub/vocab.json"));
  EXPECT_EQ(api().getFileMetadata("owner/model", std::string("sub/*")).size(), 1u);
}

TEST_F(FileMetadataTest, FirstFailureEndsAManyFileQuery) {
  HubTestServer::FileFaults f;
  f.status = 500;
  fault("weights.bin", f);
  try {
    api().getFileMetadata(kRepo, "main", {});
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), Error::Kind::httpStatusCode);
  }
  // The listing and the first two files; nothing after the failure.
  EXPECT_EQ(server.requests().size(), 3u);
}

}  // namespace
}  // namespace hub
