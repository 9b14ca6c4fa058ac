#include "platform/Net/Http.h"

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "testsupport/HubTestServer.h"

namespace platform::net {
namespace {

using testsupport::HubTestServer;

HttpRequest request(std::string url, std::string method = "GET", HttpHeaders headers = {}, int maxRedirects = 0) {
  HttpRequest r;
  r.method = std::move(method);
  r.url = std::move(url);
  r.headers = std::move(headers);
  r.maxRedirects = maxRedirects;
  return r;
}

HubTestServer::FileFaults stallFor(std::chrono::milliseconds wait) {
  HubTestServer::FileFaults f;
  f.stall = wait;
  return f;
}

class HttpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server.addRepository("models", "owner/repo");
    server.addFile("models", "owner/repo", "config.json", R"({"a": 1})");
    server.addFile("models", "owner/repo", "weights.bin", std::string(3000, 'w'), /*large=*/true);
  }
  std::string resolveUrl(const std::string& file) const { return server.endpoint() + "/owner/repo/resolve/main/" + file; }

  HubTestServer server;
};

TEST_F(HttpTest, GetReturnsStatusHeadersAndBody) {
  HttpResponse r = perform(request(resolveUrl("config.json")));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, R"({"a": 1})");
  EXPECT_EQ(r.url, resolveUrl("config.json"));
  // Header names match in any letter case.
  EXPECT_EQ(r.headers.value("x-repo-commit"), HubTestServer::kDefaultCommit);
  EXPECT_EQ(r.headers.value("X-REPO-COMMIT"), HubTestServer::kDefaultCommit);
  EXPECT_EQ(r.headers.value("etag"), "\"" + HubTestServer::gitBlobSha1(R"({"a": 1})") + "\"");
  EXPECT_FALSE(r.headers.value("X-Absent").has_value());
}

TEST_F(HttpTest, HeadHasHeadersButNoBody) {
  HttpResponse r = perform(request(resolveUrl("config.json"), "HEAD"));
  EXPECT_EQ(r.status, 200);
  EXPECT_TRUE(r.body.empty());
  EXPECT_EQ(r.headers.value("Content-Length"), "8");
  EXPECT_EQ(server.requests().back().method, "HEAD");
}

TEST_F(HttpTest, SendsTheRequestHeadersAsGiven) {
  perform(request(resolveUrl("config.json"), "GET", {{"Authorization", "Bearer abc"}, {"Accept-Encoding", "identity"}}));
  auto sent = server.requests().back();
  EXPECT_EQ(sent.header("Authorization"), "Bearer abc");
  EXPECT_EQ(sent.header("Accept-Encoding"), "identity");
}

TEST_F(HttpTest, ErrorStatusesAreResponsesNotErrors) {
  for (int status : {401, 403, 404, 500, 503}) {
    server.failNextRequests(status);
    EXPECT_EQ(perform(request(resolveUrl("config.json"))).status, status);
  }
}

TEST_F(HttpTest, RedirectsAreNotFollowedUnlessAsked) {
  HttpResponse r = perform(request(resolveUrl("weights.bin")));
  EXPECT_EQ(r.status, 302);
  EXPECT_EQ(r.headers.value("Location"), server.contentEndpoint() + "/blobs/" + HubTestServer::sha256Hex(std::string(3000, 'w')));
  EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(HttpTest, FollowedRedirectToAnotherOriginDropsAuthorization) {
  HttpResponse r = perform(request(resolveUrl("weights.bin"), "GET",
                                    {{"Authorization", "Bearer secret"}, {"X-Kept", "1"}}, 5));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, std::string(3000, 'w'));
  EXPECT_TRUE(r.url.starts_with(server.contentEndpoint()));
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].header("Authorization"), "Bearer secret");
  EXPECT_EQ(requests[1].server, "content");
  EXPECT_FALSE(requests[1].header("Authorization").has_value());
  EXPECT_EQ(requests[1].header("X-Kept"), "1");
}

TEST_F(HttpTest, FollowedRedirectOnTheSameOriginKeepsAuthorization) {
  server.addRename("models", "owner/repo", "old.json", "config.json");
  HttpResponse r = perform(request(resolveUrl("old.json"), "GET", {{"Authorization", "Bearer secret"}}, 5));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.url, resolveUrl("config.json"));
  EXPECT_EQ(server.requests().back().header("Authorization"), "Bearer secret");
}

TEST_F(HttpTest, RedirectLoopStopsAtTheLimit) {
  server.addRename("models", "owner/repo", "loop.json", "loop.json");
  EXPECT_EQ(perform(request(resolveUrl("loop.json"))).status, 307);
  try {
    perform(request(resolveUrl("loop.json"), "GET", {}, 3));
    FAIL() << "a redirect loop must fail";
  } catch (const TransferError& e) {
    EXPECT_EQ(e.kind, TransferError::Kind::tooManyRedirects);
  }
  EXPECT_EQ(server.requests().size(), 1u + 4u);
}

TEST_F(HttpTest, TransferFailuresThrowWithTheirKind) {
  struct Case {
    std::string url;
    TransferError::Kind kind;
  };
  // Port 1 on loopback is closed on these machines.
  for (const Case& c : std::vector<Case>{{"http://127.0.0.1:1/x", TransferError::Kind::cannotConnect},
                                         {"ftp://127.0.0.1/x", TransferError::Kind::badUrl},
                                         {"not a url", TransferError::Kind::badUrl}}) {
    try {
      perform(request(c.url));
      ADD_FAILURE() << c.url << " did not fail";
    } catch (const TransferError& e) {
      EXPECT_EQ(e.kind, c.kind) << c.url << ": " << e.what();
    }
  }
}

TEST_F(HttpTest, ErrorTextsNeverCarryHeaders) {
  try {
    perform(request("http://127.0.0.1:1/x", "GET", {{"Authorization", "Bearer hush"}}));
    FAIL();
  } catch (const TransferError& e) {
    EXPECT_EQ(std::string(e.what()).find("hush"), std::string::npos) << e.what();
  }
}

TEST_F(HttpTest, StalledAnswerTimesOut) {
  server.setFaults("models", "owner/repo", "config.json", stallFor(std::chrono::milliseconds(4000)));
  try {
    HttpRequest r = request(resolveUrl("config.json"));
    r.timeout = std::chrono::milliseconds(1000);
    perform(r);
    FAIL() << "a stalled answer must time out";
  } catch (const TransferError& e) {
    EXPECT_EQ(e.kind, TransferError::Kind::timedOut) << e.what();
  }
}

TEST_F(HttpTest, DroppedConnectionIsATransferError) {
  HubTestServer::FileFaults drop;
  drop.dropAfter = 3;
  server.setFaults("models", "owner/repo", "config.json", drop);
  EXPECT_THROW(perform(request(resolveUrl("config.json"))), TransferError);
}

TEST_F(HttpTest, BodyLimitEndsALongerTransfer) {
  HttpRequest limited = request(resolveUrl("weights.bin"), "GET", {}, 5);
  limited.maxBodySize = 3000;  // the file's size exactly: accepted
  EXPECT_EQ(perform(limited).body.size(), 3000u);
  limited.maxBodySize = 2999;
  try {
    perform(limited);
    FAIL() << "a body past the limit must fail";
  } catch (const TransferError& e) {
    EXPECT_EQ(e.kind, TransferError::Kind::tooLarge) << e.what();
  }
}

TEST_F(HttpTest, ManyThreadsTransferAtOnce) {
  std::atomic<int> ok{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 16; ++i)
    threads.emplace_back([&] {
      for (int j = 0; j < 4; ++j)
        if (perform(request(resolveUrl("config.json"))).body == R"({"a": 1})") ++ok;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(ok.load(), 64);
}

TEST(HttpHeadersTest, SetReplacesEveryFieldOfTheNameInAnyCase) {
  HttpHeaders h{{"Accept", "a"}, {"accept", "b"}, {"X", "1"}};
  h.set("ACCEPT", "c");
  EXPECT_EQ(h.fields().size(), 2u);
  EXPECT_EQ(h.value("accept"), "c");
  h.remove("x");
  EXPECT_FALSE(h.contains("X"));
}

TEST_F(HttpTest, StreamingGetDeliversTheFinalHeadOnceThenTheBodyAfterRedirects) {
  std::vector<long> heads;
  std::string body;
  long status = performStreaming(request(resolveUrl("weights.bin"), "GET", {{"Authorization", "Bearer t"}}, 5),
                                 {[&](const HttpResponse& head) {
                                    EXPECT_TRUE(body.empty());
                                    heads.push_back(head.status);
                                  },
                                  [&](std::string_view bytes) { body.append(bytes); }});
  EXPECT_EQ(status, 200);
  EXPECT_EQ(heads, std::vector<long>{200});
  EXPECT_EQ(body, std::string(3000, 'w'));
  for (const auto& r : server.requests())
    EXPECT_EQ(r.header("Authorization").has_value(), r.server == "hub");
}

TEST_F(HttpTest, StreamingGetPassesAHandlersExceptionOnAndStopsOnRequest) {
  struct Refused {};
  EXPECT_THROW(performStreaming(request(resolveUrl("config.json")), {nullptr, [](std::string_view) { throw Refused{}; }}),
               Refused);
  // A head without a body (404) still reaches the handler.
  std::vector<long> heads;
  EXPECT_EQ(performStreaming(request(resolveUrl("missing")), {[&](const HttpResponse& h) { heads.push_back(h.status); }, nullptr}),
            404);
  EXPECT_EQ(heads, std::vector<long>{404});

  server.setFaults("models", "owner/repo", "config.json", stallFor(std::chrono::milliseconds(5000)));
  std::stop_source stop;
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stop.request_stop();
  });
  try {
    performStreaming(request(resolveUrl("config.json")), {}, stop.get_token());
    ADD_FAILURE() << "the stalled transfer was not stopped";
  } catch (const TransferError& e) {
    EXPECT_EQ(e.kind, TransferError::Kind::cancelled);
  }
  stopper.join();
}

// The answer that is followed is not read: a redirect whose body never ends still leads to the file,
// collected or streamed.
TEST_F(HttpTest, FollowedRedirectsBodyIsNotRead) {
  HubTestServer::FileFaults endless;
  endless.endlessRedirectBody = true;
  server.setFaults("models", "owner/repo", "weights.bin", endless);
  HttpRequest r = request(resolveUrl("weights.bin"), "GET", {}, 5);
  r.deadline = std::chrono::milliseconds(5000);
  r.maxBodySize = 3000;
  struct Call {
    const char* name;
    std::function<std::string(const HttpRequest&)> fetch;
  };
  const std::vector<Call> calls{{"perform", [](const HttpRequest& q) { return perform(q).body; }},
                                {"performStreaming", [](const HttpRequest& q) {
                                   std::string body;
                                   performStreaming(q, {nullptr, [&](std::string_view bytes) { body.append(bytes); }});
                                   return body;
                                 }}};
  for (const Call& call : calls) {
    try {
      EXPECT_EQ(call.fetch(r), std::string(3000, 'w')) << call.name;
    } catch (const TransferError& e) {
      ADD_FAILURE() << call.name << ": " << e.what();
    }
  }
}

TEST(SameOriginTest, ComparesSchemeHostAndPort) {
  struct Case {
    const char* a;
    const char* b;
    bool same;
  };
  for (const Case& c : std::vector<Case>{{"http://h/a", "http://H:80/b?q", true},
                                         {"https://h/a", "https://h:443/", true},
                                         {"http://h/a", "https://h/a", false},
                                         {"http://h:1/a", "http://h:2/a", false},
                                         {"http://h/a", "http://g/a", false},
                                         {"http://h/a", "/relative", false}})
    EXPECT_EQ(sameOrigin(c.a, c.b), c.same) << c.a << " vs " << c.b;
}

}  // namespace
}  // namespace platform::net
