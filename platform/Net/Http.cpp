#include "platform/Net/Http.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>

#include "platform/Net/Url.h"

namespace platform::net {
namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n'))
    text.remove_suffix(1);
  return text;
}

void initialiseOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// The rate floor, measured from the progress callback over a sliding window: fewer bytes than
// `minimumRate` per second on average over the last `window` end the transfer. (curl's own
// low-speed check starts counting again at every burst, so a server that sends a burst now and
// then would stay under the floor for ever.) The window opens with the transfer.
class RateFloor {
 public:
  using Clock = std::chrono::steady_clock;
  RateFloor(long minimumRate, std::chrono::milliseconds window)
      : minimumRate_(minimumRate), window_(std::max(window, std::chrono::milliseconds(1))) {}

  // Whether the body bytes so far leave the last full window under the floor.
  bool tooSlow(std::int64_t bytes) {
    const Clock::time_point now = Clock::now();
    // Samples a sixteenth of a window apart: the oldest one kept is the last at or before the
    // window's start, so the span measured exceeds the window by that much at most.
    if (samples_.empty() || now - samples_.back().at >= window_ / 16) samples_.push_back({now, bytes});
    while (samples_.size() > 1 && samples_[1].at <= now - window_) samples_.pop_front();
    const Sample& oldest = samples_.front();
    if (now - oldest.at < window_) return false;
    const double seconds = std::chrono::duration<double>(now - oldest.at).count();
    return double(bytes - oldest.bytes) < double(minimumRate_) * seconds;
  }

  std::string describe() const {
    const auto ms = window_.count();
    return "fewer than " + std::to_string(minimumRate_) + " bytes per second arrived over " +
           (ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms");
  }

 private:
  struct Sample {
    Clock::time_point at;
    std::int64_t bytes;
  };
  long minimumRate_;
  std::chrono::milliseconds window_;
  std::deque<Sample> samples_;
};

struct Collected {
  HttpHeaders headers;
  std::string body;
  std::size_t maxBodySize = 0;
  bool tooLarge = false;
  std::optional<RateFloor> floor;
  bool tooSlow = false;
};

std::size_t onHeaderLine(char* data, std::size_t size, std::size_t count, void* user) {
  auto* collected = static_cast<Collected*>(user);
  std::string_view line(data, size * count);
  if (line.starts_with("HTTP/")) {
    collected->headers = {};  // a new response (after 1xx): its fields replace the earlier ones
  } else if (auto colon = line.find(':'); colon != std::string_view::npos) {
    collected->headers.add(std::string(trimmed(line.substr(0, colon))), std::string(trimmed(line.substr(colon + 1))));
  }
  return size * count;
}

std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto* collected = static_cast<Collected*>(user);
  if (collected->maxBodySize && collected->body.size() + size * count > collected->maxBodySize) {
    collected->tooLarge = true;
    return 0;  // ends the transfer
  }
  collected->body.append(data, size * count);
  return size * count;
}

int onProgress(void* user, curl_off_t, curl_off_t received, curl_off_t, curl_off_t) {
  auto* collected = static_cast<Collected*>(user);
  if (collected->floor && collected->floor->tooSlow(received)) {
    collected->tooSlow = true;
    return 1;  // aborts the transfer
  }
  return 0;
}

struct EasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct ListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

TransferError::Kind kindOf(CURLcode code) {
  switch (code) {
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL: return TransferError::Kind::badUrl;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT: return TransferError::Kind::cannotConnect;
    case CURLE_OPERATION_TIMEDOUT: return TransferError::Kind::timedOut;
    default: return TransferError::Kind::failed;
  }
}

// A fresh handle for one transfer of `url` with the header fields and the settings every transfer
// shares: no redirects followed by curl, TLS verified, http/https only, connect and idle time-outs.
struct Transfer {
  std::unique_ptr<CURL, EasyDeleter> easy;
  std::unique_ptr<curl_slist, ListDeleter> list;
};

// What every hop of one request shares: the time-outs and the point in time the request must end by.
struct Limits {
  std::chrono::milliseconds timeout;
  long minimumRate;
  std::chrono::milliseconds rateWindow;  // the request's, else the time-out
  std::optional<std::chrono::steady_clock::time_point> endBy;

  explicit Limits(const HttpRequest& request)
      : timeout(request.timeout),
        minimumRate(std::max(1L, request.minimumRate)),
        rateWindow(request.rateWindow.count() > 0 ? std::chrono::milliseconds(request.rateWindow) : request.timeout) {
    if (request.deadline.count() > 0) endBy = std::chrono::steady_clock::now() + request.deadline;
  }
  RateFloor rateFloor() const { return RateFloor(minimumRate, rateWindow); }
};

Transfer startTransfer(const std::string& url, const HttpHeaders& headers, const Limits& limits) {
  const std::chrono::milliseconds timeout = limits.timeout;
  Transfer t{std::unique_ptr<CURL, EasyDeleter>(curl_easy_init()), nullptr};
  if (!t.easy) throw TransferError(TransferError::Kind::failed, "Could not start a transfer for " + redactUrl(url));
  for (const auto& [name, value] : headers.fields()) {
    // "Name;" sends a field with an empty value; "Name:" would remove it.
    std::string line = value.empty() ? name + ";" : name + ": " + value;
    curl_slist* grown = curl_slist_append(t.list.get(), line.c_str());
    if (!grown) throw TransferError(TransferError::Kind::failed, "Out of memory preparing " + redactUrl(url));
    t.list.release();
    t.list.reset(grown);
  }
  CURL* h = t.easy.get();
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout.count()));
  if (limits.endBy) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*limits.endBy - std::chrono::steady_clock::now());
    if (left.count() <= 0)
      throw TransferError(TransferError::Kind::timedOut, "The request for " + redactUrl(url) + " ran out of time");
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(left.count()));
  }
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, t.list.get());
  return t;
}

HttpResponse performOnce(const std::string& method, const std::string& url, const HttpHeaders& headers,
                         const Limits& limits, std::size_t maxBodySize) {
  Transfer transfer = startTransfer(url, headers, limits);
  Collected collected;
  collected.maxBodySize = maxBodySize;
  collected.floor = limits.rateFloor();
  char errorText[CURL_ERROR_SIZE] = {};
  CURL* h = transfer.easy.get();
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, onHeaderLine);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &collected);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, onBody);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &collected);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, onProgress);
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, &collected);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
  if (method == "HEAD") {
    curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
  } else if (method != "GET") {
    throw TransferError(TransferError::Kind::failed, "Unsupported method " + method + " for " + redactUrl(url));
  }
  if (!headers.contains("Accept-Encoding")) curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "");

  CURLcode code = curl_easy_perform(h);
  if (collected.tooLarge)
    throw TransferError(TransferError::Kind::tooLarge,
                        method + " " + redactUrl(url) + " failed: the answer is longer than " + std::to_string(maxBodySize) +
                            " bytes");
  if (collected.tooSlow)
    throw TransferError(TransferError::Kind::timedOut, method + " " + redactUrl(url) + " failed: " + collected.floor->describe());
  if (code != CURLE_OK) {
    std::string reason = errorText[0] ? std::string(errorText) : std::string(curl_easy_strerror(code));
    throw TransferError(kindOf(code), method + " " + redactUrl(url) + " failed: " + reason);
  }
  HttpResponse response;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &response.status);
  response.url = url;
  response.headers = std::move(collected.headers);
  response.body = std::move(collected.body);
  return response;
}

// One answer of a streaming GET. The body of an answer that `follow` says will be followed is
// dropped; any other answer goes to the handler.
struct Streamed {
  const HttpStreamHandler* handler = nullptr;
  CURL* easy = nullptr;
  std::string url;
  HttpHeaders headers;
  std::function<bool(long, const HttpHeaders&)> follow;
  bool headDelivered = false;
  bool following = false;
  long status = 0;
  std::exception_ptr error;
  std::stop_token stop;
  bool stopped = false;
  std::optional<RateFloor> floor;  // of the current hop
  bool tooSlow = false;

  // Runs once the head is complete; false when the handler threw.
  bool deliverHead() {
    if (headDelivered || following) return !error;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    if (follow(status, headers)) {
      following = true;
      return true;
    }
    headDelivered = true;
    try {
      HttpResponse head;
      head.status = status;
      head.url = url;
      head.headers = headers;
      if (handler->onHead) handler->onHead(head);
    } catch (...) {
      error = std::current_exception();
      return false;
    }
    return true;
  }
};

std::size_t onStreamHeaderLine(char* data, std::size_t size, std::size_t count, void* user) {
  auto* streamed = static_cast<Streamed*>(user);
  std::string_view line(data, size * count);
  if (line.starts_with("HTTP/")) {
    streamed->headers = {};
  } else if (auto colon = line.find(':'); colon != std::string_view::npos) {
    streamed->headers.add(std::string(trimmed(line.substr(0, colon))), std::string(trimmed(line.substr(colon + 1))));
  }
  return size * count;
}

std::size_t onStreamBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto* streamed = static_cast<Streamed*>(user);
  if (!streamed->deliverHead()) return 0;
  if (streamed->following) return size * count;
  try {
    if (streamed->handler->onBody) streamed->handler->onBody(std::string_view(data, size * count));
  } catch (...) {
    streamed->error = std::current_exception();
    return 0;
  }
  return size * count;
}

int onStreamProgress(void* user, curl_off_t, curl_off_t received, curl_off_t, curl_off_t) {
  auto* streamed = static_cast<Streamed*>(user);
  if (streamed->stop.stop_requested()) {
    streamed->stopped = true;
    return 1;  // aborts the transfer
  }
  if (streamed->floor && streamed->floor->tooSlow(received)) {
    streamed->tooSlow = true;
    return 1;
  }
  return 0;
}

// Returns whether the answer was one to follow; its head is then in `streamed.headers`.
bool performStreamOnce(Streamed& streamed, const HttpHeaders& headers, const Limits& limits) {
  const std::string& url = streamed.url;
  Transfer transfer = startTransfer(url, headers, limits);
  char errorText[CURL_ERROR_SIZE] = {};
  CURL* h = transfer.easy.get();
  streamed.easy = h;
  streamed.headers = {};
  streamed.following = false;
  streamed.status = 0;
  streamed.floor = limits.rateFloor();
  streamed.tooSlow = false;
  curl_easy_setopt(h, CURLOPT_BUFFERSIZE, 512L * 1024L);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, onStreamHeaderLine);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &streamed);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, onStreamBody);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &streamed);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, onStreamProgress);
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, &streamed);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
  // The bytes are counted and ranged as stored; no content coding.
  if (!headers.contains("Accept-Encoding")) curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, nullptr);

  CURLcode code = curl_easy_perform(h);
  if (streamed.error) std::rethrow_exception(streamed.error);
  if (streamed.stopped) throw TransferError(TransferError::Kind::cancelled, "GET " + redactUrl(url) + " was cancelled");
  if (streamed.tooSlow)
    throw TransferError(TransferError::Kind::timedOut, "GET " + redactUrl(url) + " failed: " + streamed.floor->describe());
  if (code != CURLE_OK) {
    std::string reason = errorText[0] ? std::string(errorText) : std::string(curl_easy_strerror(code));
    throw TransferError(kindOf(code), "GET " + redactUrl(url) + " failed: " + reason);
  }
  // An answer without a body reaches the handler here.
  if (!streamed.deliverHead()) std::rethrow_exception(streamed.error);
  return streamed.following;
}

}  // namespace

std::optional<std::string> HttpHeaders::value(std::string_view name) const {
  for (const auto& [n, v] : fields_)
    if (equalsIgnoringCase(n, name)) return v;
  return std::nullopt;
}

void HttpHeaders::set(std::string_view name, std::string value) {
  remove(name);
  fields_.emplace_back(std::string(name), std::move(value));
}

void HttpHeaders::remove(std::string_view name) {
  std::erase_if(fields_, [&](const auto& field) { return equalsIgnoringCase(field.first, name); });
}

bool sameOrigin(std::string_view a, std::string_view b) {
  auto x = parseAbsoluteUrl(a);
  auto y = parseAbsoluteUrl(b);
  return x && y && x->scheme == y->scheme && equalsIgnoringCase(x->host, y->host) &&
         x->effectivePort() == y->effectivePort();
}

HttpResponse perform(const HttpRequest& request) {
  initialiseOnce();
  std::string url = request.url;
  HttpHeaders headers = request.headers;
  const Limits limits(request);
  for (int hops = 0;; ++hops) {
    HttpResponse response = performOnce(request.method, url, headers, limits, request.maxBodySize);
    if (request.maxRedirects <= 0 || response.status < 300 || response.status > 399 || response.status == 304)
      return response;
    auto location = response.headers.value("Location");
    if (!location) return response;
    auto next = resolveReference(url, *location);
    auto nextParts = next ? parseAbsoluteUrl(*next) : std::nullopt;
    if (!nextParts || (nextParts->scheme != "http" && nextParts->scheme != "https")) return response;
    if (hops >= request.maxRedirects)
      throw TransferError(TransferError::Kind::tooManyRedirects, "Too many redirects starting at " + redactUrl(request.url));
    // Credentials stay with the origin they were meant for, also if the chain comes back later.
    if (!sameOrigin(request.url, *next)) headers.remove("Authorization");
    url = *next;
  }
}

long performStreaming(const HttpRequest& request, const HttpStreamHandler& handler, std::stop_token stop) {
  initialiseOnce();
  Streamed streamed;
  streamed.handler = &handler;
  streamed.url = request.url;
  streamed.stop = std::move(stop);
  HttpHeaders headers = request.headers;
  std::optional<std::string> next;
  streamed.follow = [&](long status, const HttpHeaders& answer) {
    next.reset();
    if (request.maxRedirects <= 0 || status < 300 || status > 399 || status == 304) return false;
    auto location = answer.value("Location");
    if (!location) return false;
    auto resolved = resolveReference(streamed.url, *location);
    auto parts = resolved ? parseAbsoluteUrl(*resolved) : std::nullopt;
    if (!parts || (parts->scheme != "http" && parts->scheme != "https")) return false;
    next = resolved;
    return true;
  };
  const Limits limits(request);
  for (int hops = 0;; ++hops) {
    if (!performStreamOnce(streamed, headers, limits)) return streamed.status;
    if (hops >= request.maxRedirects)
      throw TransferError(TransferError::Kind::tooManyRedirects, "Too many redirects starting at " + redactUrl(request.url));
    if (!sameOrigin(request.url, *next)) headers.remove("Authorization");
    streamed.url = *next;
  }
}

}  // namespace platform::net
