// What a hostile or careless service, token file or log reader must not get from the client:
// paths outside the cache, a broken Authorization header, or the token itself.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "Hub/Downloader.h"
#include "Hub/HubApi.h"
#include "Hub/detail/SafeNames.h"
#include "testsupport/Fixtures.h"
#include "testsupport/HubTestServer.h"

namespace hub {
namespace {

namespace fs = std::filesystem;
using Error = Hub::HubClientError;
using detail::isSafeEtag;
using detail::isSafeRelativePath;
using testsupport::HubTestServer;

const Hub::Repo kRepo{"owner/model", Hub::RepoType::models};

class HubApiSafetyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server.addRepository("models", "owner/model");
    server.addFile("models", "owner/model", "config.json", "{}");
    server.addFile("models", "owner/model", "weights.bin", std::string(100, 'w'), /*large=*/true);
  }
  HubApi api(std::optional<std::string> token = std::string()) const {
    return HubApi(cache.path(), token, server.endpoint());
  }
  std::string resolve(const std::string& file) const { return HubApi::resolveURL(server.endpoint(), kRepo, "main", file); }

  HubTestServer server;
  testsupport::TempDir cache;
};

TEST(SafeNamesTest, RelativePathsThatStayInsideTheirFolder) {
  struct Case {
    std::string name;
    bool safe;
  };
  for (const Case& c : std::vector<Case>{{"config.json", true},
                                         {"a/b/c.bin", true},
                                         {"..config", true},
                                         {"a..b/c", true},
                                         {".gitattributes", true},
                                         {"", false},
                                         {"../x", false},
                                         {"a/../../x", false},
                                         {"..", false},
                                         {".", false},
                                         {"a/./b", false},
                                         {"/etc/passwd", false},
                                         {"a//b", false},
                                         {"a/", false},
                                         {"a\\..\\b", false},
                                         {std::string("a\0b", 3), false},
                                         // the client's own folder at the top, and nowhere else
                                         {".cache/huggingface/download/config.json.metadata", false},
                                         {".cache/huggingface/download/config.json.lock", false},
                                         {".cache", false},
                                         {"sub/.cache/x", true},
                                         {".cached/x", true},
                                         // control characters and line breaks
                                         {"a\nb", false},
                                         {"config.json\r", false},
                                         {"a\tb", false},
                                         {"a\x7f", false},
                                         {"a\xc2\x85" "b", false},
                                         {"a\xc2\x9f" "b", false},
                                         {"a\xe2\x80\xa8" "b", false},
                                         {"a\xe2\x80\xa9" "b", false},
                                         {"caf\xc3\xa9/\xe2\x80\x94.json", true}})
    EXPECT_EQ(isSafeRelativePath(c.name), c.safe) << ::testing::PrintToString(c.name);
}

TEST(SafeNamesTest, EtagsThatCanBePartOfAFileName) {
  struct Case {
    std::string etag;
    bool safe;
  };
  for (const Case& c : std::vector<Case>{{std::string(64, 'a'), true},
                                         {"d41d8cd98f00b204e9800998ecf8427e-12", true},
                                         {"", true},
                                         {"abc.def_+=~", true},
                                         {"../x", false},
                                         {"a/b", false},
                                         {"a\\b", false},
                                         {std::string("a\0b", 3), false},
                                         {"a b", false},
                                         {"a\nb", false},
                                         {std::string(256, 'a'), false}})
    EXPECT_EQ(isSafeEtag(c.etag), c.safe) << ::testing::PrintToString(c.etag);
}

// Nothing that breaks a line reaches a message raw: C0 controls, DEL, C1 controls such as U+0085,
// and U+2028, U+2029; other characters, also of several bytes, stay as they are.
TEST(SafeNamesTest, MessagesKeepNamesOnOneLine) {
  struct Case {
    std::string text;
    std::string quoted;   // escapedForMessage
    std::string oneLine;  // oneLine
  };
  const Case cases[] = {
      {"plain é € 😀", "\"plain é € 😀\"", "plain é € 😀"},
      {std::string("a\0b", 3), "\"a\\x00b\"", "a\\x00b"},
      {"a\nb\tc", "\"a\\x0ab\\x09c\"", "a\\x0ab\tc"},
      {"a\u0085b", "\"a\\u0085b\"", "a\\u0085b"},
      {"a\u009fb\u00a0c", "\"a\\u009fb\u00a0c\"", "a\\u009fb\u00a0c"},  // U+00A0 is no control
      {"a\u2028b\u2029c\u2027d", "\"a\\u2028b\\u2029c\u2027d\"", "a\\u2028b\\u2029c\u2027d"},
      {"say \"x\\y\"", "\"say \\x22x\\x5cy\\x22\"", "say \"x\\y\""},
      {"cut \xc2", "\"cut \xc2\"", "cut \xc2"},  // a lone lead byte at the end is left
  };
  for (const Case& c : cases) {
    EXPECT_EQ(detail::escapedForMessage(c.text), c.quoted) << ::testing::PrintToString(c.text);
    EXPECT_EQ(detail::oneLine(c.text), c.oneLine) << ::testing::PrintToString(c.text);
  }
  std::vector<std::string> lines;
  HubApi::setLogHandler([&](platform::system::LogType, const std::string& line) { lines.push_back(line); });
  HubApi::log(platform::system::LogType::error, "name a\u2028b\nc");
  HubApi::setLogHandler(nullptr);
  EXPECT_EQ(lines, std::vector<std::string>{"name a\\u2028b\\x0ac"});
}

TEST_F(HubApiSafetyTest, ListingWithAHostileNameFailsWithAClientError) {
  for (const std::string& hostile :
       {std::string("../x"), std::string("/abs"), std::string("a\\b"), std::string("a\0b", 3), std::string("a/../../b"),
        std::string("dir/"), std::string(".cache/huggingface/download/config.json.metadata"),
        std::string("config.json\nX-Injected: 1")}) {
    HubTestServer fresh;
    fresh.addRepository("models", "owner/model");
    fresh.addFile("models", "owner/model", "config.json", "{}");
    fresh.addListingName("models", "owner/model", hostile);
    HubApi client(cache.path(), std::string(), fresh.endpoint());
    try {
      client.getFilenames(kRepo, "main", {});
      ADD_FAILURE() << ::testing::PrintToString(hostile) << " was listed";
    } catch (const Error& e) {
      EXPECT_EQ(e.kind(), Error::Kind::parseError) << e.what();
      EXPECT_EQ(std::string(e.what()).find('\0'), std::string::npos);
    }
    // Globs that leave the hostile name out list normally.
    EXPECT_EQ(client.getFilenames(kRepo, "main", {"*.json"}), std::vector<std::string>{"config.json"});
  }
}

// The message names the tag, but a server's 90 KB tag shows as its first bytes only.
TEST_F(HubApiSafetyTest, MetadataWithAHostileEtagFailsWithAClientError) {
  const std::string huge = "\"" + std::string(90000, 'e') + "/\"";
  for (const std::string& hostile :
       {std::string("\"../../x\""), std::string("\"a/b\""), std::string("\"a\\\\b\""), huge}) {
    HubTestServer::FileFaults f;
    f.linkedEtag = hostile;
    server.setFaults("models", "owner/model", "config.json", f);
    try {
      api().getFileMetadata(resolve("config.json"));
      ADD_FAILURE() << hostile.substr(0, 20);
    } catch (const Error& e) {
      EXPECT_EQ(e.kind(), Error::Kind::parseError) << e.what();
      const std::string text = e.what();
      EXPECT_LT(text.size(), 400u) << text.substr(0, 400);
      EXPECT_NE(text.find(hostile.size() > 200 ? "\"eeeeeeee" : "unsafe entity tag"), std::string::npos) << text;
      if (hostile.size() > 200) {
        EXPECT_NE(text.find("e\xE2\x80\xA6\""), std::string::npos) << text;
      }
    }
  }
}

TEST_F(HubApiSafetyTest, TokenWithControlCharactersIsNeverSent) {
  // Given explicitly, it cannot be refused at construction, so every request refuses it.
  HubApi client = api(std::string("tok\r\nX-Injected: 1"));
  try {
    client.getFilenames(kRepo, "main", {});
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), Error::Kind::authorizationRequired);
  }
  EXPECT_THROW(client.httpHead(resolve("config.json")), Error);
  EXPECT_TRUE(server.requests().empty());
}

TEST_F(HubApiSafetyTest, TokenFileLineEndNeverReachesTheHeader) {
  testsupport::TempDir home;
  testsupport::EnvironmentGuard env;
  env.set("HOME", home.path().string());
  for (const char* name : {"HF_TOKEN", "HUGGING_FACE_HUB_TOKEN", "HF_HOME"}) env.set(name, std::nullopt);
  env.set("HF_TOKEN_PATH", (home.path() / "token").string());
  std::ofstream(home.path() / "token") << "hf_file_token\n";
  HubApi(cache.path(), std::nullopt, server.endpoint()).getFilenames(kRepo, "main", {});
  EXPECT_EQ(server.requests().back().header("Authorization"), "Bearer hf_file_token");
}

TEST_F(HubApiSafetyTest, TokenStaysOnItsOriginAcrossRedirects) {
  HubApi client = api(std::string("hf_secret"));
  // GET follows the absolute redirect to the content origin, without the token.
  auto response = client.httpGet(resolve("weights.bin"));
  EXPECT_EQ(response.body, std::string(100, 'w'));
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].header("Authorization"), "Bearer hf_secret");
  EXPECT_EQ(requests[1].server, "content");
  EXPECT_FALSE(requests[1].header("Authorization"));

  // HEAD never follows an absolute redirect, so the other host is never asked.
  server.clearRequests();
  HubTestServer::FileFaults f;
  f.absoluteRedirect = server.contentEndpoint() + "/blobs/x";
  server.setFaults("models", "owner/model", "config.json", f);
  client.getFileMetadata(resolve("config.json"));
  for (const auto& r : server.requests()) EXPECT_EQ(r.server, "hub");
}

// The texts of the errors that the operations given to collect() throw, and the client's log
// lines meanwhile: where a secret must show in neither.
struct TextsAndLogLines {
  TextsAndLogLines() {
    HubApi::setLogHandler([this](platform::system::LogType, const std::string& line) {
      std::lock_guard lock(mutex);
      logged.push_back(line);
    });
  }
  ~TextsAndLogLines() { stop(); }
  void stop() { HubApi::setLogHandler(nullptr); }
  template <class F> void collect(F&& operation) {
    try {
      operation();
      ADD_FAILURE() << "no error";
    } catch (const std::exception& e) {
      texts.push_back(e.what());
    }
  }
  std::mutex mutex;
  std::vector<std::string> texts, logged;
};

TEST_F(HubApiSafetyTest, TokenNeverAppearsInErrorTextsOrLogLines) {
  const std::string token = "hf_SECRET_42";
  TextsAndLogLines captured;
  auto& texts = captured.texts;
  auto& logged = captured.logged;
  auto collect = [&](auto&& operation) { captured.collect(operation); };
  HubApi client = api(token);
  HubApi unreachable(cache.path(), token, std::string("http://127.0.0.1:1"));
  for (int status : {401, 404, 500}) {
    server.failNextRequests(status);
    collect([&] { client.getFilenames(kRepo, "main", {}); });
    server.failNextRequests(status);
    collect([&] { client.getFileMetadata(resolve("config.json")); });
  }
  collect([&] { unreachable.getFilenames(kRepo, "main", {}); });
  collect([&] { unreachable.getFileMetadata("http://127.0.0.1:1/owner/model/resolve/main/config.json"); });
  collect([&] { client.whoami(); });
  fs::path bad = cache.path() / "x.metadata";
  std::ofstream(bad) << "one line";
  client.readDownloadMetadata(bad);
  captured.stop();

  EXPECT_EQ(texts.size(), 9u) << ::testing::PrintToString(texts);
  EXPECT_EQ(logged.size(), 1u);
  for (const auto& text : texts) EXPECT_EQ(text.find(token), std::string::npos) << text;
  for (const auto& line : logged) EXPECT_EQ(line.find(token), std::string::npos) << line;
}

// HF_ENDPOINT may carry a password or a token in its query, in any spelling the transfer library
// takes as a URL: neither shows in an error text or a log line, whichever step of a request fails.
TEST_F(HubApiSafetyTest, UrlCredentialsAndQueriesNeverAppearInErrorTextsOrLogLines) {
  const std::string port = server.endpoint().substr(server.endpoint().rfind(':') + 1);
  // Each spelling puts "secret" in the password, behind the characters that used to end a URL.
  const struct {
    const char* name;
    std::string before;  // what stands before "127.0.0.1:<port>"
  } spellings[] = {
      {"plain", "http://user:secret@"},
      {"quote", "http://user:x'secret@"},
      {"double quote", "http://user:x\"secret@"},
      {"space", "http://user:x secret@"},
      {"backtick", "http://user:x`secret@"},
      {"angle brackets", "http://user:<x>secret@"},
      {"one slash", "http:/user:secret@"},
      {"three slashes", "http:///user:secret@"},
      {"no scheme", "user:secret@"},
      {"no scheme, two slashes", "//user:secret@"},
      {"user only", "http://secret@"},
  };
  for (const auto& spelling : spellings) {
    SCOPED_TRACE(spelling.name);
    const std::string served = spelling.before + "127.0.0.1:" + port;  // with a query added per file
    const std::string endpoint = served + "/?token=x";
    TextsAndLogLines captured;
    auto& texts = captured.texts;
    auto& logged = captured.logged;
    auto collect = [&](auto&& operation) { captured.collect(operation); };
    auto fileURL = [&](const std::string& name) { return served + "/owner/model/resolve/main/" + name + "?token=x"; };
    HubApi client(cache.path(), std::nullopt, endpoint, false, false);
    HubApi unreachable(cache.path(), std::nullopt, spelling.before + "127.0.0.1:1/?token=x", false, false);
    HubApi::TransferLimits quick;
    quick.requestDeadline = std::chrono::milliseconds(200);
    HubTestServer::FileFaults slow;
    slow.headStall = std::chrono::milliseconds(2000);
    server.setFaults("models", "owner/model", "weights.bin", slow);

    collect([&] { client.getFilenames(kRepo, "main", {}); });
    collect([&] { client.snapshot(kRepo, "main", std::vector<std::string>{}); });
    for (int status : {404, 500}) {
      server.failNextRequests(status);
      collect([&] { client.getFileMetadata(fileURL("config.json")); });
    }
    collect([&] { unreachable.getFilenames(kRepo, "main", {}); });
    collect([&] { unreachable.getFileMetadata(spelling.before + "127.0.0.1:1/a?token=x"); });
    collect([&] { client.withTransferLimits(quick).getFileMetadata(fileURL("weights.bin")); });
    // A transfer that fails: by its status, and by breaking off.
    for (bool breaks : {false, true}) {
      HubTestServer::FileFaults f;
      if (breaks) f.dropAfter = 1;
      else f.status = 503;
      server.setFaults("models", "owner/model", "config.json", f);
      const fs::path partial = cache.path() / "config.json.incomplete";
      std::ofstream(partial).close();
      Downloader d(cache.path() / "config.json", partial, false, Downloader::kDefaultChunkSize, std::chrono::milliseconds(1));
      auto states = d.startDownload(fileURL("config.json"), std::nullopt, {}, 2, std::chrono::seconds(10), 0);
      while (auto state = states.next()) {
        if (auto* failed = std::get_if<Downloader::Failed>(&*state)) {
          collect([&] { std::rethrow_exception(failed->error); });
          break;
        }
        if (std::holds_alternative<Downloader::Completed>(*state)) break;
      }
    }
    server.setFaults("models", "owner/model", "config.json", {});
    HubApi::log(platform::system::LogType::info, "asked " + fileURL("config.json"));
    captured.stop();

    EXPECT_EQ(texts.size(), 9u) << ::testing::PrintToString(texts);
    ASSERT_FALSE(logged.empty());
    for (const auto& text : texts) {
      EXPECT_EQ(text.find("secret"), std::string::npos) << text;
      EXPECT_EQ(text.find("token=x"), std::string::npos) << text;
    }
    for (const auto& line : logged) {
      EXPECT_EQ(line.find("secret"), std::string::npos) << line;
      EXPECT_EQ(line.find("token=x"), std::string::npos) << line;
    }
  }
}

}  // namespace
}  // namespace hub
