// HTTP transfers over libcurl: one request in, one response out, on the calling thread. Each call
// uses its own easy handle, so `perform` may run from many threads at once. TLS peers and host
// names are always verified; only http and https are spoken. Redirects are followed only when the
// request asks for it (`maxRedirects`), and then the "Authorization" header is dropped as soon as
// the chain leaves the first request's origin; the body of an answer that is followed is not read.
// A transfer that cannot complete (no connection, time-out, bad URL) throws TransferError; any HTTP
// status, 4xx and 5xx included, is a response. `perform` collects what `performStreaming` hands on.
//   auto r = perform({.method = "HEAD", .url = "https://example.org/a"});  r.headers.value("etag");
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Net/Url.h"

namespace platform::net {

// Header fields in arrival order. Names compare without regard to letter case.
class HttpHeaders {
 public:
  HttpHeaders() = default;
  HttpHeaders(std::initializer_list<std::pair<std::string, std::string>> fields) : fields_(fields) {}

  // The first field of that name, else nothing.
  std::optional<std::string> value(std::string_view name) const;
  bool contains(std::string_view name) const { return value(name).has_value(); }
  // Replaces every field of that name with one field.
  void set(std::string_view name, std::string value);
  void remove(std::string_view name);
  void add(std::string name, std::string value) { fields_.emplace_back(std::move(name), std::move(value)); }

  const std::vector<std::pair<std::string, std::string>>& fields() const { return fields_; }

 private:
  std::vector<std::pair<std::string, std::string>> fields_;
};

struct HttpRequest {
  std::string method = "GET";  // GET or HEAD
  std::string url;
  HttpHeaders headers;
  // The longest wait for the connection; also the window of the rate floor below.
  std::chrono::milliseconds timeout{60'000};
  // A transfer whose body bytes over the last `rateWindow` (0: `timeout`) average fewer than this
  // many per second ends with TransferError(timedOut); bursts in between do not reset the count.
  // The window opens with each request of a redirect chain. The default 1 is an idle time-out.
  long minimumRate = 1;
  std::chrono::seconds rateWindow{0};
  // The whole request, redirects included, ends with TransferError(timedOut) after this; 0: no limit.
  std::chrono::milliseconds deadline{0};
  int maxRedirects = 0;  // 0: a 3xx answer is the response
  std::size_t maxBodySize = 0;  // a longer body ends the transfer with TransferError(tooLarge); 0: no limit
};

struct HttpResponse {
  long status = 0;
  std::string url;  // the URL whose answer this is (the last one after followed redirects)
  HttpHeaders headers;
  std::string body;  // empty for HEAD
};

// A transfer that did not produce an HTTP answer. `what()` says why and names the URL, never a
// header, and never the URL's user information or query (redactUrls).
class TransferError : public std::runtime_error {
 public:
  enum class Kind { badUrl, cannotConnect, timedOut, tooManyRedirects, tooLarge, failed, cancelled };
  TransferError(Kind kind, const std::string& message) : std::runtime_error(redactUrls(message)), kind(kind) {}
  Kind kind;
};

// The final answer with its body in memory, decoded from the content coding the server chose
// unless the request sets "Accept-Encoding".
HttpResponse perform(const HttpRequest& request);

// A GET whose answer goes to the caller as it arrives instead of into memory. `onHead` gets the
// final answer's status and headers (its body empty) once, before any body byte, after followed
// redirects; `onBody` gets the body in pieces. Either may throw: the transfer ends and the
// exception leaves `performStreaming` unchanged. A stop requested on `stop` ends the transfer with
// TransferError(cancelled); a broken or stalled connection with TransferError as for `perform`.
// The body comes as stored (no content coding is asked for); `maxBodySize` plays no part. Returns
// the final answer's status.
struct HttpStreamHandler {
  std::function<void(const HttpResponse& head)> onHead;
  std::function<void(std::string_view bytes)> onBody;
};
long performStreaming(const HttpRequest& request, const HttpStreamHandler& handler, std::stop_token stop = {});

// True when a and b have the same scheme, host and port (default ports filled in).
bool sameOrigin(std::string_view a, std::string_view b);

}  // namespace platform::net
