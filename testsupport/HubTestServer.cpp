#include "testsupport/HubTestServer.h"

#include <httplib.h>
#include <sys/socket.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "testsupport/Wait.h"

namespace testsupport {
namespace {

std::string digestHex(const EVP_MD* md, std::string_view data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), digest, &length, md, nullptr);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex.push_back(kHex[digest[i] >> 4]);
    hex.push_back(kHex[digest[i] & 15]);
  }
  return hex;
}

// The gzip form (RFC 1952) of the bytes.
std::string gzip(std::string_view bytes) {
  z_stream stream{};
  if (deflateInit2(&stream, Z_BEST_SPEED, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflateInit2 failed");
  std::string out(deflateBound(&stream, bytes.size()), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  stream.avail_in = static_cast<uInt>(bytes.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  int result = deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  if (result != Z_STREAM_END) throw std::runtime_error("deflate failed");
  return out;
}

std::string percentDecode(std::string_view text) {
  std::string out;
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

std::vector<std::string> decodedSegments(std::string_view target) {
  std::string_view path = target.substr(0, target.find('?'));
  std::vector<std::string> segments;
  std::size_t start = path.starts_with('/') ? 1 : 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    segments.push_back(percentDecode(path.substr(start, end - start)));
    start = end + 1;
  }
  return segments;
}

std::string join(const std::vector<std::string>& parts, std::size_t from, std::size_t to) {
  std::string out;
  for (std::size_t i = from; i < to; ++i) out += (i > from ? "/" : "") + parts[i];
  return out;
}

std::string jsonString(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// "bytes=a-b" or "bytes=a-"; nothing for any other form.
std::optional<std::pair<std::size_t, std::optional<std::size_t>>> parseRange(const std::string& header) {
  if (!header.starts_with("bytes=")) return std::nullopt;
  auto dash = header.find('-', 6);
  if (dash == std::string::npos || dash == 6) return std::nullopt;
  try {
    std::size_t first = std::stoull(header.substr(6, dash - 6));
    if (dash + 1 == header.size()) return std::make_pair(first, std::optional<std::size_t>());
    return std::make_pair(first, std::optional<std::size_t>(std::stoull(header.substr(dash + 1))));
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// The library listens with a backlog of 5, so a burst of connections (a test of 200 concurrent
// requests) would lose SYNs and wait for the client's retransmissions. listen() again on the
// bound socket widens the queue.
class Server : public httplib::Server {
 public:
  void widenBacklog() { ::listen(svr_sock_, 1024); }
};

}  // namespace

struct HubTestServer::State {
  struct File {
    std::string path;
    std::shared_ptr<const std::string> content;  // shared with the transfers under way
    bool large = false;
    FileFaults faults;
    int drops = 0;       // GETs cut off so far
    int holds = 0;       // GETs stalled so far
    int headStalls = 0;  // HEADs held back so far
    std::string sha256;  // of large files
  };
  struct Repository {
    std::string commit;
    std::vector<File> files;
    std::map<std::string, std::string> renames;
    std::vector<std::string> extraNames;
    std::optional<std::string> listingBody;
    bool listingGzipped = false;
    std::size_t listingTrickle = 0;
  };

  mutable std::mutex mutex;
  std::condition_variable stopped;
  bool stopping = false;
  std::map<std::pair<std::string, std::string>, Repository> repositories;
  std::optional<std::string> token;
  std::optional<std::string> whoamiBody;
  int failStatus = 0;
  int failCount = 0;
  std::vector<RecordedRequest> recorded;
  std::string contentEndpoint;

  Server hub;
  Server content;
  std::thread hubThread;
  std::thread contentThread;

  Repository& repository(const std::string& kind, const std::string& id) {
    auto it = repositories.find({kind, id});
    if (it == repositories.end()) throw std::invalid_argument("no test repository " + kind + "/" + id);
    return it->second;
  }

  File& file(const std::string& kind, const std::string& id, const std::string& path) {
    auto& files = repository(kind, id).files;
    auto it = std::find_if(files.begin(), files.end(), [&](const File& f) { return f.path == path; });
    if (it == files.end()) throw std::invalid_argument("no test file " + path);
    return *it;
  }

  // Records the request; answers it when a per-request failure is due. httplib's own range
  // handling is switched off so that the routes below decide Range, 206 and 416 themselves.
  httplib::Server::HandlerResponse preRoute(const std::string& server, const httplib::Request& request,
                                            httplib::Response& response) {
    const_cast<httplib::Request&>(request).ranges.clear();
    std::lock_guard lock(mutex);
    RecordedRequest record{server, request.method, request.target, {}};
    for (const auto& [name, value] : request.headers) record.headers.emplace_back(name, value);
    recorded.push_back(std::move(record));
    if (failCount > 0) {
      --failCount;
      response.status = failStatus;
      response.set_content("forced failure", "text/plain");
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  }

  void routeHub(const httplib::Request& request, httplib::Response& response) {
    auto segments = decodedSegments(request.target);
    std::unique_lock lock(mutex);
    if (segments.size() == 2 && segments[0] == "api" && segments[1] == "whoami-v2") return whoami(request, response);
    if (segments.size() >= 5 && segments[0] == "api" && segments[segments.size() - 2] == "revision")
      return listing(segments[1], join(segments, 2, segments.size() - 2), segments.back(), response);
    auto resolve = std::find(segments.begin(), segments.end(), "resolve");
    if (resolve != segments.end() && resolve != segments.begin() && segments.end() - resolve >= 3) {
      std::size_t r = resolve - segments.begin();
      std::string kind = "models";
      std::size_t idStart = 0;
      if ((segments[0] == "datasets" || segments[0] == "spaces") && r >= 2) {
        kind = segments[0];
        idStart = 1;
      }
      return resolveFile(request, kind, join(segments, idStart, r), segments[r + 1],
                         join(segments, r + 2, segments.size()), lock, response);
    }
    response.status = 404;
  }

  void whoami(const httplib::Request& request, httplib::Response& response) {
    if (!token || request.get_header_value("Authorization") != "Bearer " + *token) {
      response.status = 401;
      return;
    }
    response.set_content(whoamiBody.value_or(R"({"type": "user", "name": "tester", "orgs": []})"), "application/json");
  }

  const std::string* commitFor(const Repository& repo, const std::string& revision) const {
    return revision == "main" || revision == repo.commit ? &repo.commit : nullptr;
  }

  void listing(const std::string& kind, const std::string& id, const std::string& revision, httplib::Response& response) {
    auto it = repositories.find({kind, id});
    if (it == repositories.end() || !commitFor(it->second, revision)) {
      response.status = 404;
      return;
    }
    const Repository& repo = it->second;
    if (repo.listingBody && repo.listingGzipped) {
      // A content type the library does not compress again.
      response.set_header("Content-Encoding", "gzip");
      return response.set_content(*repo.listingBody, "application/octet-stream");
    }
    if (repo.listingBody) return sendListing(*repo.listingBody, repo.listingTrickle, response);
    std::string body = "{\"id\": " + jsonString(id) + ", \"sha\": " + jsonString(repo.commit) + ", \"siblings\": [";
    bool first = true;
    auto add = [&](const std::string& name) {
      body += (first ? "" : ", ") + std::string("{\"rfilename\": ") + jsonString(name) + "}";
      first = false;
    };
    for (const auto& file : repo.files) add(file.path);
    for (const auto& name : repo.extraNames) add(name);
    sendListing(body + "]}", repo.listingTrickle, response);
  }

  void sendListing(std::string body, std::size_t trickle, httplib::Response& response) {
    if (!trickle) return response.set_content(std::move(body), "application/json");
    auto shared = std::make_shared<const std::string>(std::move(body));
    response.set_content_provider(shared->size(), "application/json",
                                  [this, shared, trickle](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                    return trickleOne(*shared, offset, shared->size(), trickle, sink);
                                  });
  }

  // A body that sends nothing more until the client goes or the server stops; then the connection closes.
  bool hold(httplib::DataSink& sink) {
    std::unique_lock wait(mutex);
    while (!stopped.wait_for(wait, std::chrono::milliseconds(50), [this] { return stopping; }))
      if (sink.is_writable && !sink.is_writable()) break;
    return false;
  }

  // Sends the byte at `at` of `bytes` after 1/rate seconds; false once the server stops.
  bool trickleOne(const std::string& bytes, std::size_t at, std::size_t limit, std::size_t rate, httplib::DataSink& sink) {
    {
      std::unique_lock wait(mutex);
      if (stopped.wait_for(wait, std::chrono::microseconds(1'000'000 / rate), [this] { return stopping; })) return false;
    }
    if (at >= limit) return false;
    return sink.write(at < bytes.size() ? bytes.data() + at : "X", 1);
  }

  void resolveFile(const httplib::Request& request, const std::string& kind, const std::string& id,
                   const std::string& revision, const std::string& path, std::unique_lock<std::mutex>& lock,
                   httplib::Response& response) {
    auto it = repositories.find({kind, id});
    const std::string* commit = it == repositories.end() ? nullptr : commitFor(it->second, revision);
    if (!commit) {
      response.status = 404;
      return;
    }
    Repository& repo = it->second;
    if (auto rename = repo.renames.find(path); rename != repo.renames.end()) {
      std::string prefix = kind == "models" ? "" : "/" + kind;
      response.status = 307;
      response.set_header("Location", prefix + "/" + id + "/resolve/" + revision + "/" + rename->second);
      response.set_header("X-Repo-Commit", *commit);
      return;
    }
    auto file = std::find_if(repo.files.begin(), repo.files.end(), [&](const File& f) { return f.path == path; });
    if (file == repo.files.end()) {
      response.status = 404;
      response.set_header("X-Error-Code", "EntryNotFound");
      return;
    }
    if (request.method == "HEAD" && file->faults.headStall.count() > 0 &&
        (file->faults.headStallCount == 0 || file->headStalls < file->faults.headStallCount)) {
      ++file->headStalls;
      const auto stall = file->faults.headStall;
      // The catalogue is not changed while a test's requests run, so `file` stays valid.
      stopped.wait_for(lock, stall, [this] { return stopping; });
    }
    const FileFaults& faults = file->faults;
    if (faults.status) {
      response.status = faults.status;
      return;
    }
    if (!faults.omitCommit) response.set_header("X-Repo-Commit", *commit);
    for (const auto& [name, value] : faults.extraHeaders) response.set_header(name, value);
    if (faults.etag) response.set_header("ETag", *faults.etag);
    if (faults.linkedEtag) response.set_header("X-Linked-Etag", *faults.linkedEtag);
    if (faults.linkedSize) response.set_header("X-Linked-Size", *faults.linkedSize);
    if (faults.absoluteRedirect) {
      response.status = 302;
      response.set_header("Location", *faults.absoluteRedirect);
      return;
    }
    if (file->large) {
      const std::string& sha = file->sha256;
      if (!faults.linkedEtag) response.set_header("X-Linked-Etag", "\"" + sha + "\"");
      if (!faults.linkedSize) response.set_header("X-Linked-Size", std::to_string(file->content->size()));
      if (!faults.etag) response.set_header("ETag", "\"" + gitBlobSha1("version https://git-lfs\n" + sha) + "\"");
      response.status = 302;
      response.set_header("Location", contentEndpoint + "/blobs/" + sha);
      if (faults.endlessRedirectBody && request.method == "GET")
        response.set_chunked_content_provider("text/plain", [this](std::size_t, httplib::DataSink& sink) {
          {
            std::lock_guard check(mutex);
            if (stopping) return false;
          }
          static const std::string block(1024, 'R');
          return sink.write(block.data(), block.size());
        });
      return;
    }
    if (!faults.etag) response.set_header("ETag", "\"" + gitBlobSha1(*file->content) + "\"");
    serveBytes(request, *file, lock, response);
  }

  void routeContent(const httplib::Request& request, httplib::Response& response) {
    auto segments = decodedSegments(request.target);
    std::unique_lock lock(mutex);
    if (segments.size() == 2 && segments[0] == "blobs") {
      for (auto& [key, repo] : repositories)
        for (auto& file : repo.files)
          if (file.large && file.sha256 == segments[1]) {
            response.set_header("ETag", "\"" + segments[1] + "\"");
            return serveBytes(request, file, lock, response);
          }
    }
    response.status = 404;
  }

  // The body with Range (206, 416) and the transfer faults applied. The bytes are served from
  // the shared content without copies; a positive skew appends "X" bytes.
  void serveBytes(const httplib::Request& request, File& file, std::unique_lock<std::mutex>& lock,
                  httplib::Response& response) {
    std::shared_ptr<const std::string> content = file.content;
    const FileFaults& faults = file.faults;
    std::size_t total = content->size();
    if (faults.sizeSkew > 0) total += static_cast<std::size_t>(faults.sizeSkew);
    if (faults.sizeSkew < 0) total -= std::min<std::size_t>(total, -faults.sizeSkew);
    std::size_t begin = 0, end = total;
    response.status = 200;
    response.set_header("Accept-Ranges", "bytes");
    auto range = request.has_header("Range") && !faults.ignoreRange ? parseRange(request.get_header_value("Range"))
                                                                     : std::nullopt;
    if (faults.endless && request.method == "GET") {
      // Endless from wherever Range starts; dropAfter still cuts it.
      if (range) {
        response.status = 206;
        response.set_header("Content-Range", "bytes " + std::to_string(range->first) + "-*/*");
      }
      std::size_t sendLimit = faults.dropAfter ? *faults.dropAfter : SIZE_MAX;
      lock.unlock();
      auto sent = std::make_shared<std::size_t>(0);
      response.set_chunked_content_provider("application/octet-stream", [this, sent, sendLimit](std::size_t,
                                                                                                httplib::DataSink& sink) {
        {
          std::lock_guard check(mutex);
          if (stopping) return false;
        }
        static const std::string block(1024, 'X');
        std::size_t n = std::min(block.size(), sendLimit - *sent);
        if (n == 0) return false;  // drops the connection
        *sent += n;
        return sink.write(block.data(), n);
      });
      return;
    }
    if (range) {
      std::size_t first = range->first;
      if (first >= content->size()) {
        response.status = 416;
        response.set_header("Content-Range", "bytes */" + std::to_string(content->size()));
        return;
      }
      std::size_t last = total == 0 ? 0 : std::min(range->second.value_or(total - 1), total - 1);
      response.status = 206;
      response.set_header("Content-Range", "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
                                               std::to_string(content->size()));
      begin = first;
      end = first <= last ? last + 1 : first;
    }
    std::size_t sendLimit = end - begin;
    if (faults.dropAfter && (faults.dropCount == 0 || file.drops < faults.dropCount)) {
      ++file.drops;
      sendLimit = *faults.dropAfter;
    }
    std::size_t holdAt = SIZE_MAX;
    if (faults.holdAfter && (faults.holdCount == 0 || file.holds < faults.holdCount)) {
      ++file.holds;
      holdAt = *faults.holdAfter;
    }
    auto stall = faults.stall;
    const std::size_t trickle = faults.trickle;
    const std::size_t burst = faults.burst;
    const auto burstEvery = faults.burstEvery;
    lock.unlock();
    if (burst) {
      response.set_content_provider(
          end - begin, "application/octet-stream",
          [this, content, begin, sendLimit, burst, burstEvery, holdAt](std::size_t offset, std::size_t,
                                                                       httplib::DataSink& sink) {
            if (offset >= sendLimit) return false;
            if (offset >= holdAt) return hold(sink);
            if (offset > 0 && offset % burst == 0) {
              std::unique_lock wait(mutex);
              if (stopped.wait_for(wait, burstEvery, [this] { return stopping; })) return false;
            }
            const std::size_t at = begin + offset;
            if (at >= content->size()) return false;
            const std::size_t n =
                std::min({burst - offset % burst, sendLimit - offset, content->size() - at, holdAt - offset});
            return sink.write(content->data() + at, n);
          });
      return;
    }
    if (trickle) {
      response.set_content_provider(end - begin, "application/octet-stream",
                                    [this, content, begin, sendLimit, trickle](std::size_t offset, std::size_t,
                                                                               httplib::DataSink& sink) {
                                      return trickleOne(*content, begin + offset, begin + sendLimit, trickle, sink);
                                    });
      return;
    }
    response.set_content_provider(
        end - begin, "application/octet-stream",
        [this, content, begin, sendLimit, stall, holdAt](std::size_t offset, std::size_t length,
                                                          httplib::DataSink& sink) {
          if (offset == 0 && stall.count() > 0) {
            std::unique_lock wait(mutex);
            stopped.wait_for(wait, stall, [this] { return stopping; });
          }
          if (offset >= sendLimit) return false;  // drops the connection
          if (offset >= holdAt) return hold(sink);
          std::size_t n = std::min({length, sendLimit - offset, std::size_t(1) << 20, holdAt - offset});
          std::size_t at = begin + offset;
          if (at < content->size()) return sink.write(content->data() + at, std::min(n, content->size() - at));
          std::string extra(n, 'X');
          return sink.write(extra.data(), n);
        });
  }
};

std::optional<std::string> HubTestServer::RecordedRequest::header(std::string_view name) const {
  for (const auto& [n, v] : headers)
    if (n.size() == name.size() && std::equal(n.begin(), n.end(), name.begin(), [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
        }))
      return v;
  return std::nullopt;
}

HubTestServer::HubTestServer() : state_(std::make_shared<State>()) {
  State& s = *state_;
  s.hub.set_pre_routing_handler([&s](const auto& q, auto& r) { return s.preRoute("hub", q, r); });
  s.content.set_pre_routing_handler([&s](const auto& q, auto& r) { return s.preRoute("content", q, r); });
  s.hub.Get(".*", [&s](const httplib::Request& q, httplib::Response& r) { s.routeHub(q, r); });
  s.content.Get(".*", [&s](const httplib::Request& q, httplib::Response& r) { s.routeContent(q, r); });
  int hubPort = s.hub.bind_to_any_port("127.0.0.1");
  int contentPort = s.content.bind_to_any_port("127.0.0.1");
  if (hubPort <= 0 || contentPort <= 0) throw std::runtime_error("test server could not bind to 127.0.0.1");
  s.hub.widenBacklog();
  s.content.widenBacklog();
  endpoint_ = "http://127.0.0.1:" + std::to_string(hubPort);
  contentEndpoint_ = "http://127.0.0.1:" + std::to_string(contentPort);
  s.contentEndpoint = contentEndpoint_;
  s.hubThread = std::thread([&s] { s.hub.listen_after_bind(); });
  s.contentThread = std::thread([&s] { s.content.listen_after_bind(); });
  if (!waitUntil([&s] { return s.hub.is_running() && s.content.is_running(); })) {
    s.hub.stop();
    s.content.stop();
    s.hubThread.join();
    s.contentThread.join();
    throw std::runtime_error("test server did not start listening on 127.0.0.1 within 10 s");
  }
}

HubTestServer::~HubTestServer() {
  State& s = *state_;
  {
    std::lock_guard lock(s.mutex);
    s.stopping = true;
  }
  s.stopped.notify_all();
  s.hub.stop();
  s.content.stop();
  s.hubThread.join();
  s.contentThread.join();
}

void HubTestServer::addRepository(const std::string& kind, const std::string& id, const std::string& commit) {
  std::lock_guard lock(state_->mutex);
  state_->repositories[{kind, id}] = State::Repository{commit, {}, {}, {}, {}, false, 0};
}

void HubTestServer::addFolder(const std::string& kind, const std::string& id, const std::filesystem::path& folder) {
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const bool large = content.size() > 1024 * 1024;
    addFile(kind, id, entry.path().filename().string(), std::move(content), large);
  }
}

void HubTestServer::addFile(const std::string& kind, const std::string& id, const std::string& path,
                            std::string content, bool large) {
  std::string sha = large ? sha256Hex(content) : std::string();
  auto data = std::make_shared<const std::string>(std::move(content));
  std::lock_guard lock(state_->mutex);
  state_->repository(kind, id).files.push_back({path, std::move(data), large, {}, 0, 0, 0, std::move(sha)});
}

void HubTestServer::addRename(const std::string& kind, const std::string& id, const std::string& from,
                              const std::string& to) {
  std::lock_guard lock(state_->mutex);
  state_->repository(kind, id).renames[from] = to;
}

void HubTestServer::addListingName(const std::string& kind, const std::string& id, const std::string& name) {
  std::lock_guard lock(state_->mutex);
  state_->repository(kind, id).extraNames.push_back(name);
}

void HubTestServer::setListingBody(const std::string& kind, const std::string& id, std::string body, bool gzipped) {
  if (gzipped) body = gzip(body);
  std::lock_guard lock(state_->mutex);
  state_->repository(kind, id).listingBody = std::move(body);
  state_->repository(kind, id).listingGzipped = gzipped;
}

void HubTestServer::setListingTrickle(const std::string& kind, const std::string& id, std::size_t bytesPerSecond) {
  std::lock_guard lock(state_->mutex);
  state_->repository(kind, id).listingTrickle = bytesPerSecond;
}

void HubTestServer::setFaults(const std::string& kind, const std::string& id, const std::string& path,
                              FileFaults faults) {
  std::lock_guard lock(state_->mutex);
  auto& file = state_->file(kind, id, path);
  file.faults = std::move(faults);
  file.drops = 0;
  file.headStalls = 0;
}

void HubTestServer::setToken(std::optional<std::string> token) {
  std::lock_guard lock(state_->mutex);
  state_->token = std::move(token);
}

void HubTestServer::setWhoamiBody(std::optional<std::string> body) {
  std::lock_guard lock(state_->mutex);
  state_->whoamiBody = std::move(body);
}

void HubTestServer::failNextRequests(int status, int count) {
  std::lock_guard lock(state_->mutex);
  state_->failStatus = status;
  state_->failCount = count;
}

std::vector<HubTestServer::RecordedRequest> HubTestServer::requests() const {
  std::lock_guard lock(state_->mutex);
  return state_->recorded;
}

void HubTestServer::clearRequests() {
  std::lock_guard lock(state_->mutex);
  state_->recorded.clear();
}

std::string HubTestServer::gitBlobSha1(std::string_view content) {
  std::string object = "blob " + std::to_string(content.size());
  object.push_back('\0');
  object.append(content);
  return digestHex(EVP_sha1(), object);
}

std::string HubTestServer::sha256Hex(std::string_view content) { return digestHex(EVP_sha256(), content); }

}  // namespace testsupport
