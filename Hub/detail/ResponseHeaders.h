// Reading the headers of a HEAD answer into file metadata. Pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Hub/HubApi.h"
#include "platform/Net/Http.h"

namespace hub::detail {

// "W/\"abc\"" => "abc", "\"abc\"" => "abc"; absent stays absent.
std::optional<std::string> normalizeEtag(const std::optional<std::string>& etag);
// Decimal with an optional sign, in 64 signed bits; anything else gives nothing.  "+12" => 12
std::optional<std::int64_t> parseSize(std::string_view text);
// "x-xet-hash" with a refresh route ("Link" rel="xet-auth", else "X-Xet-Refresh-Route"), the
// default endpoint in the route replaced by `endpoint`; nothing without both.
std::optional<XetFileData> parseXetFileDataFromResponse(const platform::net::HttpResponse* response,
                                                        const std::optional<std::string>& endpoint);
// The URL of the first "Link" entry with that relation:  <https://a>; rel="xet-auth" => https://a
std::optional<std::string> getLinkURL(const platform::net::HttpResponse& response, std::string_view relation);

}  // namespace hub::detail
