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

// The URL an answer sends the request on to, when the request follows redirects and the answer
// is one with a "Location" of http or https (relative ones resolved against `url`).
std::optional<std::string> redirectTarget(const HttpRequest& request, const std::string& url, long status,
                                          const HttpHeaders& headers) {
  if (request.maxRedirects <= 0 || status < 300 || status > 399 || status == 304) return std::nullopt;
  auto location = headers.value("Location");
  if (!location) return std::nullopt;
  auto resolved = resolveReference(url, *location);
  auto parts = resolved ? parseAbsoluteUrl(*resolved) : std::nullopt;
  if (!parts || (parts->scheme != "http" && parts->scheme != "https")) return std::nullopt;
  return resolved;
}

// How a body reaches the handler: as stored (the downloader counts and ranges those bytes), or
// decoded from whatever content coding the server chose, unless the request names its own
// "Accept-Encoding".
enum class Coding { asStored, decoded };

// One request of a chain. Its head is gathered line by line; at its first body byte, or at its
// end for an answer without a body, it is either to be followed (the transfer ends there, so a
// redirect's body is never read) or handed to the handler, which then gets the body.
struct Hop {
  Hop(const HttpRequest& request, const HttpStreamHandler& handler, const std::stop_token& stop, std::string url,
      CURL* easy, RateFloor floor)
      : request(request), handler(handler), stop(stop), url(std::move(url)), easy(easy), floor(std::move(floor)) {}

  const HttpRequest& request;
  const HttpStreamHandler& handler;
  const std::stop_token& stop;
  std::string url;
  CURL* easy;
  HttpHeaders headers;
  RateFloor floor;
  bool decided = false;
  std::optional<std::string> next;  // where the answer is followed to
  long status = 0;
  std::exception_ptr error;  // thrown by the handler
  bool stopped = false;
  bool tooSlow = false;

  // Decides once whether to follow; false when the handler threw.
  bool decide() {
    if (decided) return !error;
    decided = true;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    next = redirectTarget(request, url, status, headers);
    if (next) return true;
    try {
      HttpResponse head;
      head.status = status;
      head.url = url;
      head.headers = headers;
      if (handler.onHead) handler.onHead(head);
    } catch (...) {
      error = std::current_exception();
      return false;
    }
    return true;
  }
};

std::size_t onHeaderLine(char* data, std::size_t size, std::size_t count, void* user) {
  auto* hop = static_cast<Hop*>(user);
  std::string_view line(data, size * count);
  if (line.starts_with("HTTP/")) {
    hop->headers = {};  // a new response (after 1xx): its fields replace the earlier ones
  } else if (auto colon = line.find(':'); colon != std::string_view::npos) {
    hop->headers.add(std::string(trimmed(line.substr(0, colon))), std::string(trimmed(line.substr(colon + 1))));
  }
  return size * count;
}

std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto* hop = static_cast<Hop*>(user);
  if (!hop->decide() || hop->next) return 0;  // ends the transfer
  try {
    if (hop->handler.onBody) hop->handler.onBody(std::string_view(data, size * count));
  } catch (...) {
    hop->error = std::current_exception();
    return 0;
  }
  return size * count;
}

int onProgress(void* user, curl_off_t, curl_off_t received, curl_off_t, curl_off_t) {
  auto* hop = static_cast<Hop*>(user);
  if (hop->stop.stop_requested()) {
    hop->stopped = true;
    return 1;  // aborts the transfer
  }
  if (hop->floor.tooSlow(received)) {
    hop->tooSlow = true;
    return 1;
  }
  return 0;
}

// Runs one request of the chain on a fresh handle with the settings every request shares: no
// redirects followed by curl, TLS verified, http/https only, the connect time-out, what is left of
// the deadline and the rate floor. The head, and the body of an answer not followed, go to the
// handler.
struct HopOutcome {
  long status;
  std::optional<std::string> next;  // where the answer is followed to, if it is
};
HopOutcome runHop(const HttpRequest& request, const HttpStreamHandler& handler,
                                  const std::stop_token& stop, const std::string& url, const HttpHeaders& headers,
                                  const Limits& limits, Coding coding) {
  const std::string& method = request.method;
  std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
  if (!easy) throw TransferError(TransferError::Kind::failed, "Could not start a transfer for " + redactUrl(url));
  std::unique_ptr<curl_slist, ListDeleter> list;
  for (const auto& [name, value] : headers.fields()) {
    // "Name;" sends a field with an empty value; "Name:" would remove it.
    std::string line = value.empty() ? name + ";" : name + ": " + value;
    curl_slist* grown = curl_slist_append(list.get(), line.c_str());
    if (!grown) throw TransferError(TransferError::Kind::failed, "Out of memory preparing " + redactUrl(url));
    list.release();
    list.reset(grown);
  }
  Hop hop(request, handler, stop, url, easy.get(), limits.rateFloor());
  char errorText[CURL_ERROR_SIZE] = {};
  CURL* h = easy.get();
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits.timeout.count()));
  if (limits.endBy) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*limits.endBy - std::chrono::steady_clock::now());
    if (left.count() <= 0)
      throw TransferError(TransferError::Kind::timedOut, "The request for " + redactUrl(url) + " ran out of time");
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(left.count()));
  }
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, list.get());
  curl_easy_setopt(h, CURLOPT_BUFFERSIZE, 512L * 1024L);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, onHeaderLine);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &hop);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, onBody);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &hop);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, onProgress);
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, &hop);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
  if (method == "HEAD") curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
  if (!headers.contains("Accept-Encoding"))
    curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, coding == Coding::decoded ? "" : nullptr);

  const CURLcode code = curl_easy_perform(h);
  if (hop.error) std::rethrow_exception(hop.error);
  if (hop.stopped) throw TransferError(TransferError::Kind::cancelled, method + " " + redactUrl(url) + " was cancelled");
  if (hop.tooSlow)
    throw TransferError(TransferError::Kind::timedOut, method + " " + redactUrl(url) + " failed: " + hop.floor.describe());
  // The write error is ours when the answer is followed: its body was not wanted.
  if (code != CURLE_OK && !(hop.next && code == CURLE_WRITE_ERROR)) {
    std::string reason = errorText[0] ? std::string(errorText) : std::string(curl_easy_strerror(code));
    throw TransferError(kindOf(code), method + " " + redactUrl(url) + " failed: " + reason);
  }
  // An answer without a body reaches the handler here.
  if (!hop.decide()) std::rethrow_exception(hop.error);
  return {hop.status, hop.next};
}

// The one transfer path: the request and the redirects it follows, each a hop of its own.
long transfer(const HttpRequest& request, const HttpStreamHandler& handler, const std::stop_token& stop, Coding coding) {
  initialiseOnce();
  if (request.method != "GET" && request.method != "HEAD")
    throw TransferError(TransferError::Kind::failed,
                        "Unsupported method " + request.method + " for " + redactUrl(request.url));
  const Limits limits(request);
  std::string url = request.url;
  HttpHeaders headers = request.headers;
  for (int hops = 0;; ++hops) {
    const HopOutcome hop = runHop(request, handler, stop, url, headers, limits, coding);
    if (!hop.next) return hop.status;
    if (hops >= request.maxRedirects)
      throw TransferError(TransferError::Kind::tooManyRedirects, "Too many redirects starting at " + redactUrl(request.url));
    // Credentials stay with the origin they were meant for, also if the chain comes back later.
    if (!sameOrigin(request.url, *hop.next)) headers.remove("Authorization");
    url = *hop.next;
  }
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
  HttpResponse response;
  HttpStreamHandler collect;
  collect.onHead = [&](const HttpResponse& head) { response = head; };
  collect.onBody = [&](std::string_view bytes) {
    if (request.maxBodySize && response.body.size() + bytes.size() > request.maxBodySize)
      throw TransferError(TransferError::Kind::tooLarge, request.method + " " + redactUrl(response.url) +
                                                             " failed: the answer is longer than " +
                                                             std::to_string(request.maxBodySize) + " bytes");
    response.body.append(bytes);
  };
  transfer(request, collect, {}, Coding::decoded);
  return response;
}

long performStreaming(const HttpRequest& request, const HttpStreamHandler& handler, std::stop_token stop) {
  return transfer(request, handler, stop, Coding::asStored);
}

}  // namespace platform::net
