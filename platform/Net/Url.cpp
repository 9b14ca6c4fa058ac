#include "platform/Net/Url.h"

#include <curl/curl.h>

#include <cctype>
#include <algorithm>
#include <memory>

#include "platform/System/Trimming.h"

namespace platform::net {
namespace {

struct UrlHandle {
  CURLU* handle = curl_url();
  ~UrlHandle() { curl_url_cleanup(handle); }
  std::optional<std::string> get(CURLUPart part) const {
    char* text = nullptr;
    if (curl_url_get(handle, part, &text, 0) != CURLUE_OK || text == nullptr) return std::nullopt;
    std::string result(text);
    curl_free(text);
    return result;
  }
};

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

int UrlParts::effectivePort() const {
  if (port) return *port;
  if (scheme == "http") return 80;
  if (scheme == "https") return 443;
  return -1;
}

std::optional<UrlParts> parseAbsoluteUrl(std::string_view url) {
  UrlHandle u;
  if (!u.handle) return std::nullopt;
  std::string text(url);
  if (text.find('\0') != std::string::npos) return std::nullopt;
  if (curl_url_set(u.handle, CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) return std::nullopt;
  UrlParts parts;
  auto scheme = u.get(CURLUPART_SCHEME);
  auto host = u.get(CURLUPART_HOST);
  if (!scheme || !host || host->empty()) return std::nullopt;
  parts.scheme = lower(*scheme);
  parts.host = *host;
  if (auto port = u.get(CURLUPART_PORT)) parts.port = std::stoi(*port);
  parts.path = u.get(CURLUPART_PATH).value_or("/");
  parts.query = u.get(CURLUPART_QUERY);
  parts.fragment = u.get(CURLUPART_FRAGMENT);
  return parts;
}

bool isAbsoluteReference(std::string_view reference) {
  if (reference.starts_with("//")) return true;
  std::size_t i = 0;
  if (reference.empty() || !std::isalpha(static_cast<unsigned char>(reference[0]))) return false;
  while (i < reference.size() && (std::isalnum(static_cast<unsigned char>(reference[i])) || reference[i] == '+' ||
                                  reference[i] == '-' || reference[i] == '.'))
    ++i;
  return i < reference.size() && reference[i] == ':';
}

std::optional<std::string> resolveReference(std::string_view base, std::string_view reference) {
  UrlHandle u;
  if (!u.handle) return std::nullopt;
  std::string baseText(base), referenceText(reference);
  if (baseText.find('\0') != std::string::npos || referenceText.find('\0') != std::string::npos) return std::nullopt;
  if (curl_url_set(u.handle, CURLUPART_URL, baseText.c_str(), 0) != CURLUE_OK) return std::nullopt;
  if (curl_url_set(u.handle, CURLUPART_URL, referenceText.c_str(), 0) != CURLUE_OK) return std::nullopt;
  return u.get(CURLUPART_URL);
}

std::string joinUrl(const UrlParts& parts) {
  std::string url = parts.scheme;
  url.append("://").append(parts.host);
  if (parts.port) url.append(":").append(std::to_string(*parts.port));
  if (parts.path.empty() || parts.path[0] != '/') url.push_back('/');
  url.append(parts.path);
  if (parts.query) url.append("?").append(*parts.query);
  if (parts.fragment) url.append("#").append(*parts.fragment);
  return url;
}

std::string percentEncodePath(std::string_view text, bool keepSlash) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    bool keep = std::isalnum(c) || std::string_view("-._~!$&'()*+,;=:@").find(static_cast<char>(c)) != std::string_view::npos ||
                (keepSlash && c == '/');
    if (c >= 0x80) keep = false;
    if (keep) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  return out;
}

namespace {
std::string redactOne(std::string_view url);
}  // namespace

std::string lastPathSegment(std::string_view url) {
  auto parts = parseAbsoluteUrl(url);
  // A URL the parser refuses still loses its user information and query.
  std::string path = parts ? parts->path : redactOne(url);
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  auto slash = path.rfind('/');
  std::string segment = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string decoded;
  for (std::size_t i = 0; i < segment.size(); ++i) {
    int hi, lo;
    if (segment[i] == '%' && i + 2 < segment.size() && (hi = hexValue(segment[i + 1])) >= 0 &&
        (lo = hexValue(segment[i + 2])) >= 0) {
      decoded.push_back(static_cast<char>(hi * 16 + lo));
      i += 2;
    } else {
      decoded.push_back(segment[i]);
    }
  }
  return decoded;
}

namespace {

constexpr std::size_t kShownUrlBytes = 300;

bool isSchemeCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
}

bool endsUrl(char c) {
  return std::isspace(static_cast<unsigned char>(c)) || c == '"' || c == '\'' || c == '<' || c == '>' || c == '`';
}

// Where a word may begin: the start of the text, or after white space, a quotation mark or a bracket.
bool startsWord(std::string_view text, std::size_t at) {
  return at == 0 || endsUrl(text[at - 1]) || text[at - 1] == '(' || text[at - 1] == '[';
}

// The length of a leading "scheme:" that the transfer library takes as a scheme, that is one
// followed by "/"; else 0 ("u:pw@h" names the user u, not a scheme).
std::size_t schemeLength(std::string_view text) {
  if (text.empty() || !std::isalpha(static_cast<unsigned char>(text[0]))) return 0;
  std::size_t i = 1;
  while (i < text.size() && isSchemeCharacter(text[i])) ++i;
  return i + 1 < text.size() && text[i] == ':' && text[i + 1] == '/' ? i + 1 : 0;
}

// Where the authority begins: after the scheme and every slash that follows it.
std::size_t authorityStart(std::string_view url) {
  std::size_t at = schemeLength(url);
  while (at < url.size() && url[at] == '/') ++at;
  return at;
}

// "http://u:pw@h/a?q#f" => "http://h/a", "u:p w@h/a" => "h/a": the authority after its last "@",
// the rest up to "?".
std::string redactOne(std::string_view url) {
  const std::size_t start = authorityStart(url);
  std::size_t end = url.find_first_of("/?#", start);
  if (end == std::string_view::npos) end = url.size();
  std::string_view authority = url.substr(start, end - start);
  if (auto at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
  std::string_view tail = url.substr(end);
  tail = tail.substr(0, tail.find('?'));
  std::string out(url.substr(0, start));
  out.append(authority).append(tail);
  return out;
}

std::size_t wordEnd(std::string_view text, std::size_t from) {
  while (from < text.size() && !endsUrl(text[from])) ++from;
  return from;
}

}  // namespace

std::string redactUrl(std::string_view url) {
  return platform::system::shortenedForMessage(redactOne(url), kShownUrlBytes);
}

std::string redactUrls(std::string_view text) {
  std::string out;
  std::size_t copied = 0;
  // The first "/", "?", "#" or line break at or after a point, and the last "@" before it; kept,
  // since the points asked about only grow, so that the scan stays linear.
  std::size_t separator = 0, lastAt = std::string_view::npos;
  bool known = false;
  auto authorityEndFrom = [&](std::size_t from) {
    if (!known || separator < from) {
      separator = std::min(text.find_first_of("/?#\r\n", from), text.size());
      lastAt = separator == 0 ? std::string_view::npos : text.rfind('@', separator - 1);
      known = true;
    }
  };
  for (std::size_t i = 0; i < text.size();) {
    // A URL begins a word, or follows a character that cannot be part of a scheme ("url=http://").
    const bool mayBegin =
        startsWord(text, i) || (std::isalpha(static_cast<unsigned char>(text[i])) && !isSchemeCharacter(text[i - 1]));
    if (!mayBegin) {
      ++i;
      continue;
    }
    const std::string_view rest = text.substr(i);
    std::size_t end = 0;
    if (schemeLength(rest) > 0 || (startsWord(text, i) && rest.starts_with("//"))) {
      // A URL: its authority may hold white space and quotes when an "@" ends it on this line.
      const std::size_t start = i + authorityStart(rest);
      authorityEndFrom(start);
      const bool userInformation = lastAt != std::string_view::npos && lastAt >= start && lastAt < separator;
      end = wordEnd(text, userInformation ? lastAt + 1 : start);
    } else if (startsWord(text, i)) {
      // A word "user:pw@host/...", which the transfer library takes as an http URL.
      const std::size_t word = wordEnd(text, i);
      const std::string_view candidate = text.substr(i, word - i);
      const std::size_t at = candidate.substr(0, candidate.find_first_of("/?#")).rfind('@');
      if (at != std::string_view::npos && candidate.substr(0, at).find(':') != std::string_view::npos) end = word;
    }
    if (end == 0) {
      ++i;
      continue;
    }
    out.append(text.substr(copied, i - copied));
    out.append(redactUrl(text.substr(i, end - i)));
    copied = i = end;
  }
  out.append(text.substr(copied));
  return out;
}

}  // namespace platform::net
