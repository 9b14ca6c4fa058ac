#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Hub/HubApi.h"
#include "platform/System/Json.h"
#include "testsupport/Fixtures.h"
#include "testsupport/HubTestServer.h"

namespace hub {
namespace {

namespace fs = std::filesystem;
using Error = Hub::HubClientError;
using testsupport::HubTestServer;

const Hub::Repo kRepo{"owner/model", Hub::RepoType::models};

class HubApiRequestsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server.addRepository("models", "owner/model");
    for (const char* name : {"config.json", "tokenizer.json", "model.mlmodelc/weights/weight.bin",
                             "model.mlmodelc/model.mil", "sub/dir/config.json", ".gitattributes"})
      server.addFile("models", "owner/model", name, std::string("content of ") + name);
  }

  HubApi api(std::optional<std::string> token = std::string()) const {
    return HubApi(cache.path(), token, server.endpoint());
  }
  std::string resolve(const std::string& file) const { return HubApi::resolveURL(server.endpoint(), kRepo, "main", file); }

  template <class F>
  Error clientError(F&& operation) {
    try {
      operation();
    } catch (const Error& e) {
      return e;
    }
    ADD_FAILURE() << "no client error";
    return Error::unexpectedError();
  }

  HubTestServer server;
  testsupport::TempDir cache;
};

TEST_F(HubApiRequestsTest, UrlFormsAppendKindIdRevisionAndPath) {
  HubApi a(cache.path(), std::string(), std::string("https://h.example"));
  EXPECT_EQ(a.listingURL(kRepo, "main"), "https://h.example/api/models/owner/model/revision/main");
  EXPECT_EQ(a.listingURL({"o/d", Hub::RepoType::datasets}, "refs/pr/1"),
            "https://h.example/api/datasets/o/d/revision/refs%2Fpr%2F1");
  EXPECT_EQ(a.whoamiURL(), "https://h.example/api/whoami-v2");
  EXPECT_EQ(HubApi::resolveURL("https://h.example", kRepo, "main", "sub/a b.json"),
            "https://h.example/owner/model/resolve/main/sub/a%20b.json");
  EXPECT_EQ(HubApi::resolveURL("https://h.example", {"o/s", Hub::RepoType::spaces}, "v1/x", "f"),
            "https://h.example/spaces/o/s/resolve/v1%2Fx/f");
}

TEST_F(HubApiRequestsTest, ListingWithoutGlobsKeepsTheServiceOrder) {
  EXPECT_EQ(api().getFilenames(kRepo, "main", {}),
            (std::vector<std::string>{"config.json", "tokenizer.json", "model.mlmodelc/weights/weight.bin",
                                      "model.mlmodelc/model.mil", "sub/dir/config.json", ".gitattributes"}));
  EXPECT_EQ(server.requests().back().target, "/api/models/owner/model/revision/main");
}

TEST_F(HubApiRequestsTest, GlobsSelectWholeNamesEachOnce) {
  struct Case {
    std::vector<std::string> globs;
    std::set<std::string> names;
  };
  const std::vector<Case> cases = {
      {{"*.json", "config.json"}, {"config.json", "tokenizer.json", "sub/dir/config.json"}},
      {{"config.json"}, {"config.json"}},
      {{"*.mlmodelc"}, {}},
      {{"*.mlmodelc/*"}, {"model.mlmodelc/weights/weight.bin", "model.mlmodelc/model.mil"}},
      {{"model.mlmodelc/*", "*.bin"}, {"model.mlmodelc/weights/weight.bin", "model.mlmodelc/model.mil"}},
      {{"*"}, {"config.json", "tokenizer.json", "model.mlmodelc/weights/weight.bin", "model.mlmodelc/model.mil",
               "sub/dir/config.json", ".gitattributes"}},
      {{"?onfig.json"}, {"config.json"}},
      {{"[ct]*.json"}, {"config.json", "tokenizer.json"}},
      {{"nothing*"}, {}},
  };
  for (const Case& c : cases) {
    auto names = api().getFilenames(kRepo, "main", c.globs);
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), c.names) << ::testing::PrintToString(c.globs);
    EXPECT_EQ(names.size(), c.names.size()) << "duplicates for " << ::testing::PrintToString(c.globs);
  }
}

TEST_F(HubApiRequestsTest, ConveniencesListModelsAtMain) {
  auto byId = api().getFilenames("owner/model", std::string("*.mil"));
  EXPECT_EQ(byId, std::vector<std::string>{"model.mlmodelc/model.mil"});
  EXPECT_EQ(api().getFilenames(kRepo, std::string("tokenizer.json")), std::vector<std::string>{"tokenizer.json"});
  EXPECT_EQ(api().getFilenames("owner/model", std::vector<std::string>{"config.json"}).size(), 1u);
  server.addRepository("datasets", "owner/data");
  server.addFile("datasets", "owner/data", "rows.csv", "a,b");
  EXPECT_EQ(api().getFilenames(Hub::Repo{"owner/data", Hub::RepoType::datasets}, std::string("*")),
            std::vector<std::string>{"rows.csv"});
  EXPECT_EQ(server.requests().back().target, "/api/datasets/owner/data/revision/main");
}

TEST_F(HubApiRequestsTest, ListingThatIsNotASiblingsDocumentFailsWithTheDecodersError) {
  struct Case {
    const char* body;
    bool parseError;  // else a decoding error
  };
  for (const Case& c : std::vector<Case>{{R"({"id": "x"})", false},
                                         {R"({"siblings": {}})", false},
                                         {R"({"siblings": [{"name": "a"}]})", false},
                                         {R"({"siblings": [{"rfilename": 3}]})", false},
                                         {"not json", true}}) {
    server.setListingBody("models", "owner/model", c.body);
    try {
      api().getFilenames(kRepo, "main", {});
      ADD_FAILURE() << c.body;
    } catch (const platform::json::DecodingError&) {
      EXPECT_FALSE(c.parseError) << c.body;
    } catch (const platform::json::ParseError&) {
      EXPECT_TRUE(c.parseError) << c.body;
    }
  }
}

// Real listings are a few hundred KiB; a listing that decodes to far more, or names more files
// than any repository holds, is refused with a clear error instead of being held.
TEST_F(HubApiRequestsTest, ListingsAreBoundedInDecodedSizeAndNumberOfNames) {
  auto listing = [](std::size_t names, std::size_t nameLength) {
    std::string body = R"({"siblings": [)";
    for (std::size_t i = 0; i < names; ++i) {
      std::string name = std::to_string(i);
      name.resize(std::max(nameLength, name.size()), 'x');
      body += (i ? ",{\"rfilename\":\"" : "{\"rfilename\":\"") + name + "\"}";
    }
    return body + "]}";
  };
  struct Case {
    const char* name;
    std::string body;
    std::string error;  // empty: listed
  } cases[] = {
      {"100,000 short names", listing(100'000, 8), ""},
      {"100,001 names", listing(100'001, 8),
       "Parse error: the listing of owner/model names 100001 files, more than 100000"},
      // travels as a few KiB of gzip
      {"9 MiB of names", listing(9, 1 << 20), "Parse error: the answer of " + api().listingURL(kRepo, "main") +
                                                  " is larger than 8 MiB"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    server.setListingBody("models", "owner/model", c.body, /*gzipped=*/true);
    if (c.error.empty()) {
      EXPECT_EQ(api().getFilenames(kRepo, "main", {}).size(), 100'000u);
      continue;
    }
    Error e = clientError([&] { api().getFilenames(kRepo, "main", {}); });
    EXPECT_EQ(e.kind(), Error::Kind::parseError);
    EXPECT_EQ(e.errorDescription(), c.error);
  }
}

// A listing or HEAD that keeps trickling never trips the idle time-out; the request's deadline ends it.
TEST_F(HubApiRequestsTest, RequestsEndAtTheirDeadline) {
  server.setListingTrickle("models", "owner/model", 4);
  HubApi::TransferLimits limits;
  limits.requestDeadline = std::chrono::milliseconds(1500);
  auto client = api().withTransferLimits(limits);
  auto started = std::chrono::steady_clock::now();
  Error e = clientError([&] { client.getFilenames(kRepo, "main", {}); });
  EXPECT_EQ(e.kind(), Error::Kind::downloadError);
  EXPECT_NE(e.errorDescription().find("timed out"), std::string::npos) << e.what();
  auto took = std::chrono::steady_clock::now() - started;
  EXPECT_GE(took, std::chrono::milliseconds(1400));
  EXPECT_LT(took, std::chrono::seconds(5));
  EXPECT_EQ(HubApi().transferLimits().requestDeadline, std::chrono::seconds(120));
}

TEST_F(HubApiRequestsTest, GetStatusesMapToClientErrors) {
  struct Case {
    int status;
    Error::Kind kind;
    std::string description;
  };
  const std::vector<Case> cases = {
      {401, Error::Kind::authorizationRequired, "Authentication required. Please provide a valid Hugging Face token."},
      {403, Error::Kind::authorizationRequired, "Authentication required. Please provide a valid Hugging Face token."},
      {404, Error::Kind::fileNotFound, "File not found: main"},  // the listing URL's last segment
      {304, Error::Kind::httpStatusCode, "HTTP error with status code: 304"},
      {500, Error::Kind::httpStatusCode, "HTTP error with status code: 500"},
      {503, Error::Kind::httpStatusCode, "HTTP error with status code: 503"},
      {429, Error::Kind::httpStatusCode, "HTTP error with status code: 429"},
  };
  for (const Case& c : cases) {
    server.failNextRequests(c.status);
    Error e = clientError([&] { api().getFilenames(kRepo, "main", {}); });
    EXPECT_EQ(e.kind(), c.kind) << c.status;
    EXPECT_EQ(e.errorDescription(), c.description) << c.status;
  }
  // An unknown revision is the service's own 404.
  EXPECT_EQ(clientError([&] { api().getFilenames(kRepo, "v9", {}); }).errorDescription(), "File not found: v9");
}

TEST_F(HubApiRequestsTest, FailedTransferIsADownloadErrorOnGetAndTheTransferErrorOnHead) {
  HubApi closed(cache.path(), std::string(), std::string("http://127.0.0.1:1"));
  Error e = clientError([&] { closed.getFilenames(kRepo, "main", {}); });
  EXPECT_EQ(e.kind(), Error::Kind::downloadError);
  EXPECT_TRUE(e.errorDescription().starts_with("Download failed: ")) << e.what();
  EXPECT_THROW(closed.httpHead("http://127.0.0.1:1/x"), platform::net::TransferError);
  // An endpoint that is no URL fails the same way instead of asking anything.
  HubApi empty(cache.path(), std::string(), std::string(""));
  EXPECT_EQ(clientError([&] { empty.getFilenames(kRepo, "main", {}); }).kind(), Error::Kind::downloadError);
}

TEST_F(HubApiRequestsTest, HeadSuccessCoversRedirectsAndMapsTheRest) {
  HubTestServer::FileFaults moved;
  moved.absoluteRedirect = "http://elsewhere.invalid/x";
  server.setFaults("models", "owner/model", "config.json", moved);
  EXPECT_EQ(api().httpHead(resolve("config.json")).status, 302);
  struct Case {
    int status;
    Error::Kind kind;
  };
  for (const Case& c : std::vector<Case>{{401, Error::Kind::authorizationRequired},
                                         {403, Error::Kind::authorizationRequired},
                                         {404, Error::Kind::fileNotFound},
                                         {500, Error::Kind::httpStatusCode}}) {
    server.failNextRequests(c.status);
    Error e = clientError([&] { api().httpHead(resolve("tokenizer.json")); });
    EXPECT_EQ(e.kind(), c.kind) << c.status;
  }
  EXPECT_EQ(clientError([&] { api().httpHead(resolve("missing.bin")); }).errorDescription(), "File not found: missing.bin");
}

TEST_F(HubApiRequestsTest, TokenIsSentAsBearerOnlyWhenNotEmpty) {
  api(std::string("hf_abc")).getFilenames(kRepo, "main", {});
  api(std::string("hf_abc")).httpHead(resolve("config.json"));
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].header("Authorization"), "Bearer hf_abc");
  EXPECT_EQ(requests[1].header("Authorization"), "Bearer hf_abc");
  EXPECT_EQ(requests[1].method, "HEAD");
  EXPECT_EQ(requests[1].header("Accept-Encoding"), "identity");

  server.clearRequests();
  api(std::string()).getFilenames(kRepo, "main", {});
  api(std::string()).httpHead(resolve("config.json"));
  api(std::nullopt).httpHead(resolve("config.json"));
  for (const auto& r : server.requests()) EXPECT_FALSE(r.header("Authorization")) << r.method;
  EXPECT_EQ(server.requests().back().header("Accept-Encoding"), "identity");
}

TEST_F(HubApiRequestsTest, WhoamiNeedsATokenAndAnObject) {
  server.setToken("hf_me");
  Config me = api(std::string("hf_me")).whoami();
  EXPECT_EQ(me["name"].string(), "tester");
  EXPECT_EQ(server.requests().back().target, "/api/whoami-v2");

  server.clearRequests();
  EXPECT_EQ(clientError([&] { api(std::nullopt).whoami(); }).kind(), Error::Kind::authorizationRequired);
  EXPECT_TRUE(server.requests().empty()) << "no token: nothing is sent";
  // An empty token is a token: the request goes out without a header and the service refuses it.
  EXPECT_EQ(clientError([&] { api(std::string()).whoami(); }).kind(), Error::Kind::authorizationRequired);
  EXPECT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(clientError([&] { api(std::string("wrong")).whoami(); }).kind(), Error::Kind::authorizationRequired);

  server.setWhoamiBody(R"(["not", "an", "object"])");
  EXPECT_EQ(clientError([&] { api(std::string("hf_me")).whoami(); }).kind(), Error::Kind::parse);
  server.setWhoamiBody("{broken");
  EXPECT_THROW(api(std::string("hf_me")).whoami(), platform::json::ParseError);
}

TEST_F(HubApiRequestsTest, ConfigurationReadsLocalJsonFiles) {
  fs::path folder = api().localRepoLocation(kRepo);
  fs::create_directories(folder);
  std::ofstream(folder / "config.json") << R"({"model_type": "whisper", "num_layers": 4})";
  std::ofstream(folder / "broken.json") << "{";
  Config config = api().configuration("config.json", kRepo);
  EXPECT_EQ(config["modelType"].string(), "whisper");
  EXPECT_EQ(config["numLayers"].integer(), 4);

  Error e = clientError([&] { api().configuration(folder / "broken.json"); });
  EXPECT_EQ(e.kind(), Error::Kind::jsonSerialization);
  std::string url = "file://" + (folder / "broken.json").string();
  EXPECT_EQ(e.fileURL(), url);
  EXPECT_TRUE(e.errorDescription().starts_with("JSON parsing failed for " + url + ": ")) << e.what();
  EXPECT_TRUE(e.errorDescription().ends_with(". If this is a private model, verify that HF_TOKEN is set.")) << e.what();

  EXPECT_THROW(api().configuration(folder / "absent.json"), fs::filesystem_error);
}

}  // namespace
}  // namespace hub
