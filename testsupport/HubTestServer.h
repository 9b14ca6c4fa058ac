// A local repository service for tests, speaking the Hub HTTP protocol on 127.0.0.1 with ephemeral
// ports. It serves an in-memory catalogue (repositories by kind and id, one commit each, files in
// order) from two listeners: the hub itself (listing, whoami, HEAD and GET of resolve URLs) and a
// content origin on a second port that holds the bytes of large files, reached through a 302 with
// an absolute Location. Fault switches per file and per request make it misbehave on purpose, and
// every request it receives is recorded. All members are thread-safe; the listeners stop when the
// object goes.
//   HubTestServer hub; hub.addRepository("models", "owner/name");
//   hub.addFile("models", "owner/name", "config.json", "{}");  HubApi api({.endpoint = hub.endpoint()});
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace testsupport {

class HubTestServer {
 public:
  static constexpr const char* kDefaultCommit = "0123456789abcdef0123456789abcdef01234567";

  // How one file misbehaves. Unset fields mean: behave.
  struct FileFaults {
    int status = 0;                                // answer HEAD and GET with this status
    std::optional<std::size_t> dropAfter;          // GET: close the connection after this many body bytes
    int dropCount = 0;                             // with dropAfter: only the first this many GETs drop (0: every one)
    std::optional<std::size_t> holdAfter;          // GET: after this many body bytes send nothing more, the
    int holdCount = 0;                             // connection open (a stalled line); only the first this many
                                                   // GETs (0: every one)
    bool ignoreRange = false;                      // GET: 200 with the whole file whatever Range asks
    int sizeSkew = 0;                              // GET: send this many bytes more (+1) or fewer (-1)
    std::chrono::milliseconds stall{0};            // GET: wait this long before the first body byte
    std::chrono::milliseconds headStall{0};        // HEAD: wait this long before answering...
    int headStallCount = 0;                        // ...only the first this many HEADs (0: every one)
    std::size_t trickle = 0;                       // GET: send the body at this many bytes per second
    std::size_t burst = 0;                         // GET: send the body in bursts of this many bytes...
    std::chrono::milliseconds burstEvery{0};       // ...one at the start and one after each such pause
    bool endless = false;                          // GET: a chunked body that never ends (HEAD still has the size)
    bool omitCommit = false;                       // no X-Repo-Commit
    std::optional<std::string> etag;               // raw ETag field instead of the right one
    std::optional<std::string> linkedEtag;         // raw X-Linked-Etag field (large files have a right one)
    std::optional<std::string> linkedSize;         // raw X-Linked-Size field (large files have a right one)
    std::optional<std::string> absoluteRedirect;   // answer 302 with this Location
    bool endlessRedirectBody = false;              // GET of a large file: its 302 carries a body that never ends
    std::vector<std::pair<std::string, std::string>> extraHeaders;  // sent with the file's answers
  };

  struct RecordedRequest {
    std::string server;  // "hub" or "content"
    std::string method;
    std::string target;  // path and query as sent
    std::vector<std::pair<std::string, std::string>> headers;
    std::optional<std::string> header(std::string_view name) const;  // any letter case
  };

  HubTestServer();
  ~HubTestServer();
  HubTestServer(const HubTestServer&) = delete;
  HubTestServer& operator=(const HubTestServer&) = delete;

  const std::string& endpoint() const { return endpoint_; }                // "http://127.0.0.1:<port>"
  const std::string& contentEndpoint() const { return contentEndpoint_; }  // the content origin

  // ---- Catalogue. Revisions "main" and the commit itself resolve; every other revision is 404.
  void addRepository(const std::string& kind, const std::string& id, const std::string& commit = kDefaultCommit);
  // A plain file has the git blob SHA-1 of its content as ETag; a large one answers HEAD and GET
  // with a 302 to the content origin and carries its SHA-256 as X-Linked-Etag and its size as
  // X-Linked-Size.
  void addFile(const std::string& kind, const std::string& id, const std::string& path, std::string content,
               bool large = false);
  // Every file directly in `folder`, under its own name; a file over 1 MiB is a large one.
  void addFolder(const std::string& kind, const std::string& id, const std::filesystem::path& folder);
  // The resolve URL of `from` answers 307 with a relative Location naming `to` in the same revision.
  void addRename(const std::string& kind, const std::string& id, const std::string& from, const std::string& to);
  // A name listed after the files, with nothing behind it ("../x", "a\\b", a NUL inside, ...).
  void addListingName(const std::string& kind, const std::string& id, const std::string& name);
  // The listing answers with this body (200) instead of the catalogue's; `gzipped`: compressed
  // once here and sent with "Content-Encoding: gzip" whatever the client accepts.
  void setListingBody(const std::string& kind, const std::string& id, std::string body, bool gzipped = false);
  // The listing's body goes out at this many bytes per second (0: at once).
  void setListingTrickle(const std::string& kind, const std::string& id, std::size_t bytesPerSecond);
  void setFaults(const std::string& kind, const std::string& id, const std::string& path, FileFaults faults);

  // ---- Identity. whoami answers {"name": "tester", ...} to "Bearer <token>" and 401 to anything else.
  void setToken(std::optional<std::string> token);
  void setWhoamiBody(std::optional<std::string> body);  // answer 200 with this body instead

  // ---- Per request: the next `count` requests to either listener are answered with `status`.
  void failNextRequests(int status, int count = 1);

  std::vector<RecordedRequest> requests() const;
  void clearRequests();

  // Reference values, computed here independently of the code under test.
  static std::string gitBlobSha1(std::string_view content);
  static std::string sha256Hex(std::string_view content);

 private:
  struct State;
  std::shared_ptr<State> state_;
  std::string endpoint_;
  std::string contentEndpoint_;
};

}  // namespace testsupport
