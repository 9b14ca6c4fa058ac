#include "Hub/detail/ResponseHeaders.h"

#include <climits>
#include <cstdint>

namespace hub::detail {
namespace {

std::optional<std::string> header(const platform::net::HttpResponse& response, std::string_view name) {
  return response.headers.value(name);
}

}  // namespace

std::optional<std::string> normalizeEtag(const std::optional<std::string>& etag) {
  if (!etag) return std::nullopt;
  std::string_view text = *etag;
  if (text.starts_with("W/")) text.remove_prefix(2);
  while (!text.empty() && text.front() == '"') text.remove_prefix(1);
  while (!text.empty() && text.back() == '"') text.remove_suffix(1);
  return std::string(text);
}

std::optional<std::int64_t> parseSize(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  // Accumulated negatively so that the most negative value fits.
  std::int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    int digit = c - '0';
    if (value < (INT64_MIN + digit) / 10) return std::nullopt;
    value = value * 10 - digit;
  }
  if (!negative) {
    if (value == INT64_MIN) return std::nullopt;
    return -value;
  }
  return value;
}

std::optional<std::string> getLinkURL(const platform::net::HttpResponse& response, std::string_view relation) {
  auto link = header(response, "Link");
  if (!link) return std::nullopt;
  std::string quotedRelation = "rel=\"" + std::string(relation) + "\"";
  std::string bareRelation = "rel=" + std::string(relation);
  std::string_view rest = *link;
  while (!rest.empty()) {
    std::size_t comma = rest.find(',');
    std::string_view part = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    while (!part.empty() && (part.front() == ' ' || part.front() == '\t')) part.remove_prefix(1);
    while (!part.empty() && (part.back() == ' ' || part.back() == '\t')) part.remove_suffix(1);
    if (part.empty()) continue;
    if (part.find(quotedRelation) == std::string_view::npos && part.find(bareRelation) == std::string_view::npos)
      continue;
    std::size_t open = part.find('<');
    std::size_t close = part.find('>');
    if (open != std::string_view::npos && close != std::string_view::npos && open < close)
      return std::string(part.substr(open + 1, close - open - 1));
  }
  return std::nullopt;
}

std::optional<XetFileData> parseXetFileDataFromResponse(const platform::net::HttpResponse* response,
                                                        const std::optional<std::string>& endpoint) {
  if (!response) return std::nullopt;
  auto hash = header(*response, "x-xet-hash");
  if (!hash) return std::nullopt;
  auto route = getLinkURL(*response, "xet-auth");
  if (!route) route = header(*response, "X-Xet-Refresh-Route");
  if (!route) return std::nullopt;
  auto trimSlashes = [](std::string_view text) {
    while (!text.empty() && text.front() == '/') text.remove_prefix(1);
    while (!text.empty() && text.back() == '/') text.remove_suffix(1);
    return std::string(text);
  };
  std::string defaultEndpoint = HubApi::kDefaultEndpoint;
  if (route->starts_with(defaultEndpoint)) {
    std::string from = trimSlashes(defaultEndpoint);
    std::string to = trimSlashes(endpoint.value_or(defaultEndpoint));
    std::string replaced;
    std::size_t position = 0;
    for (std::size_t found; (found = route->find(from, position)) != std::string::npos; position = found + from.size())
      replaced.append(*route, position, found - position).append(to);
    replaced.append(*route, position);
    route = replaced;
  }
  return XetFileData{*hash, *route};
}

}  // namespace hub::detail
