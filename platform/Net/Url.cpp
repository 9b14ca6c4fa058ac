#include "platform/Net/Url.h"

#include <curl/curl.h>

#include <cctype>
#include <memory>

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

std::string lastPathSegment(std::string_view url) {
  auto parts = parseAbsoluteUrl(url);
  std::string path = parts ? parts->path : std::string(url);
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

bool isSchemeCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
}

bool endsUrl(char c) {
  return std::isspace(static_cast<unsigned char>(c)) || c == '"' || c == '\'' || c == '<' || c == '>' || c == '`';
}

// "http://u:pw@h/a?q#f" => "http://h/a": the authority after its last "@", the rest up to "?".
std::string redactUrl(std::string_view url) {
  const std::size_t afterScheme = url.find("://") + 3;
  std::string_view rest = url.substr(afterScheme);
  std::size_t authorityEnd = rest.find_first_of("/?#");
  if (authorityEnd == std::string_view::npos) authorityEnd = rest.size();
  std::string_view authority = rest.substr(0, authorityEnd);
  if (auto at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
  std::string_view tail = rest.substr(authorityEnd);
  tail = tail.substr(0, tail.find('?'));
  std::string out(url.substr(0, afterScheme));
  out.append(authority).append(tail);
  return out;
}

}  // namespace

std::string redactUrls(std::string_view text) {
  std::string out;
  std::size_t copied = 0;
  for (std::size_t mark = text.find("://"); mark != std::string_view::npos; mark = text.find("://", mark + 3)) {
    if (mark < copied) continue;
    std::size_t start = mark;
    while (start > copied && isSchemeCharacter(text[start - 1])) --start;
    if (start == mark) continue;  // no scheme: not a URL
    std::size_t end = mark + 3;
    while (end < text.size() && !endsUrl(text[end])) ++end;
    out.append(text.substr(copied, start - copied));
    out.append(redactUrl(text.substr(start, end - start)));
    copied = end;
  }
  out.append(text.substr(copied));
  return out;
}

}  // namespace platform::net
