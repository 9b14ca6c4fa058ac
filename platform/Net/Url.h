// URL text helpers over libcurl's URL parser (RFC 3986): splitting into parts, resolving a
// reference against a base, and percent-encoding path text. Pure functions, thread-safe.
//   resolveReference("http://h:8/a/b?x", "../c?y") == "http://h:8/c?y"
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform::net {

struct UrlParts {
  std::string scheme;  // lower case
  std::string host;    // empty for a relative reference
  std::optional<int> port;  // as written; nothing when absent
  std::string path;    // percent-encoded as written
  std::optional<std::string> query;     // without "?"
  std::optional<std::string> fragment;  // without "#"
  int effectivePort() const;  // the port, else the scheme's default (80, 443), else -1
};

// An absolute URL split into parts; nothing when it does not parse or has no scheme and host.
std::optional<UrlParts> parseAbsoluteUrl(std::string_view url);

// True when `reference` names a host of its own ("https://b/x", "//b/x").
bool isAbsoluteReference(std::string_view reference);

// `reference` resolved against the absolute `base`; nothing when either does not parse.
std::optional<std::string> resolveReference(std::string_view base, std::string_view reference);

// The parts joined into URL text.
std::string joinUrl(const UrlParts& parts);

// Percent-encodes every byte outside the unreserved set, the sub-delimiters, ":" and "@";
// with `keepSlash`, "/" also stays (a path), else it becomes %2F (one segment).
//   percentEncodePath("a b/c", true) == "a%20b/c"
std::string percentEncodePath(std::string_view text, bool keepSlash);

// The last segment of the URL's path, percent-decoded ("https://h/a/b%20c?q" => "b c").
std::string lastPathSegment(std::string_view url);

// The text fit for a message or a log line: every URL in it ("scheme://" up to white space or a
// quotation mark) loses its user information and its query, where passwords and tokens travel.
// Applied to a bare URL as well as to a whole message.
//   "GET http://u:pw@h:8/a?token=x failed" => "GET http://h:8/a failed"
std::string redactUrls(std::string_view text);

}  // namespace platform::net
