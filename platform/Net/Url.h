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

// One URL (an endpoint, a request's URL) as a message or a log line may show it, whichever way it
// is spelled that the transfer library takes as a URL ("http://u:pw@h", "http:/u:pw@h",
// "u:pw@h", "//u:pw@h"): without its user information, which is everything of the authority (up
// to the first "/", "?" or "#") before its last "@", whatever characters the password holds; without
// its query, where tokens travel; and shortened to 300 bytes.
//   redactUrl("http://u:p'w @h:8/a?token=x") == "http://h:8/a"
std::string redactUrl(std::string_view url);

// A whole message or log line with every URL in it redacted as by redactUrl: those with a scheme
// ("http:/", "hub+https://"), those that begin with "//", and words of the form "user:pw@host".
// A URL's authority may run over white space and quotation marks up to the end of the line, so a
// password holding them is found too; otherwise a URL ends at white space, a quotation mark, "<",
// ">" or "`". Applied to a message whose URLs were already redacted, it changes nothing.
//   "GET http://u:pw@h:8/a?token=x failed" => "GET http://h:8/a failed"
std::string redactUrls(std::string_view text);

}  // namespace platform::net
