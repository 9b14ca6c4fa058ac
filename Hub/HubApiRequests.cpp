// Requests, listing and file metadata.
#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <unordered_set>

#include "Hub/HubApi.h"
#include "Hub/detail/ResponseHeaders.h"
#include "Hub/detail/SafeNames.h"
#include "Hub/JSONParser.h"
#include "KestrumCore/Extensions.h"
#include "platform/Net/Url.h"
#include "platform/System/Json.h"

namespace hub {
namespace fs = std::filesystem;
using platform::net::HttpResponse;
using Error = Hub::HubClientError;
using detail::escapedForMessage;
using detail::isSafeEtag;
using detail::isSafeRelativePath;
using detail::normalizeEtag;
using detail::parseSize;
using detail::parseXetFileDataFromResponse;

namespace {

constexpr int kMaxRedirects = 16;
// Listing and identity answers are JSON documents of a few hundred KiB at most; a longer one
// (decoded: a small compressed answer can unpack to gigabytes) is refused rather than held.
constexpr std::size_t kMaxDocumentSize = std::size_t(8) << 20;
constexpr std::size_t kMaxListedFiles = 100'000;

bool hasControlCharacters(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7f;
  });
}

// The status mapping shared by GET and HEAD; 3xx is the caller's.
void checkStatus(const HttpResponse& response, const std::string& requestedURL) {
  long status = response.status;
  if (status >= 200 && status <= 299) return;
  if (status == 401 || status == 403) throw Error::authorizationRequired();
  if (status == 404) throw Error::fileNotFound(platform::net::lastPathSegment(requestedURL));
  throw Error::httpStatusCode(status);
}

std::optional<std::string> header(const HttpResponse& response, std::string_view name) {
  return response.headers.value(name);
}

}  // namespace

// ---- URL forms ---------------------------------------------------------------------------------

std::string HubApi::listingURL(const Hub::Repo& repo, const std::string& revision) const {
  return endpoint_ + "/api/" + std::string(Hub::rawValue(repo.type)) + "/" +
         platform::net::percentEncodePath(repo.id, true) + "/revision/" +
         platform::net::percentEncodePath(revision, false);
}

std::string HubApi::whoamiURL() const { return endpoint_ + "/api/whoami-v2"; }

std::string HubApi::resolveURL(std::string_view endpoint, const Hub::Repo& repo, const std::string& revision,
                               const std::string& filename) {
  std::string url(endpoint);
  if (repo.type != Hub::RepoType::models) url.append("/").append(Hub::rawValue(repo.type));
  url.append("/").append(platform::net::percentEncodePath(repo.id, true));
  url.append("/resolve/").append(platform::net::percentEncodePath(revision, false));
  url.append("/").append(platform::net::percentEncodePath(filename, true));
  return url;
}

// ---- Requests ----------------------------------------------------------------------------------

platform::net::HttpRequest HubApi::makeRequest(const std::string& method, const std::string& url) const {
  platform::net::HttpRequest request;
  request.method = method;
  request.url = url;
  request.timeout = std::chrono::seconds(60);
  request.deadline = transferLimits_.requestDeadline;
  if (hfToken_ && !hfToken_->empty()) {
    // A line break in the token would end the header and start another one.
    if (hasControlCharacters(*hfToken_)) throw Error::authorizationRequired();
    request.headers.set("Authorization", "Bearer " + *hfToken_);
  }
  return request;
}

HttpResponse HubApi::httpGet(const std::string& url) const {
  auto request = makeRequest("GET", url);
  request.maxRedirects = kMaxRedirects;
  request.maxBodySize = kMaxDocumentSize;
  HttpResponse response;
  try {
    response = platform::net::perform(request);
  } catch (const platform::net::TransferError& e) {
    if (e.kind == platform::net::TransferError::Kind::tooLarge)
      throw Error::parseError("the answer of " + platform::net::redactUrl(url) + " is larger than " +
                              std::to_string(kMaxDocumentSize >> 20) + " MiB");
    throw Error::downloadError(e.what());
  }
  if (response.status >= 300 && response.status <= 399) throw Error::httpStatusCode(response.status);
  checkStatus(response, url);
  return response;
}

// Relative redirects are followed on the first request's origin, keeping its method and headers
// (a HEAD stays a HEAD: its point is not to fetch the body) plus "Location"; an absolute one
// is the answer.
HttpResponse HubApi::httpHead(const std::string& url) const {
  auto request = makeRequest("HEAD", url);
  request.headers.set("Accept-Encoding", "identity");
  const auto firstHeaders = request.headers;
  // One deadline for the whole chain of hops.
  const auto endBy = std::chrono::steady_clock::now() + transferLimits_.requestDeadline;
  HttpResponse response;
  for (int hops = 0;; ++hops) {
    if (transferLimits_.requestDeadline.count() > 0) {
      request.deadline = std::chrono::duration_cast<std::chrono::milliseconds>(endBy - std::chrono::steady_clock::now());
      if (request.deadline.count() <= 0)
        throw platform::net::TransferError(platform::net::TransferError::Kind::timedOut,
                                           "HEAD " + platform::net::redactUrl(url) + " ran out of time");
    }
    response = platform::net::perform(request);
    if (response.status < 300 || response.status > 399) break;
    auto location = header(response, "Location");
    if (!location || location->empty() || platform::net::isAbsoluteReference(*location)) break;
    auto next = platform::net::resolveReference(url, *location);
    if (!next || !platform::net::sameOrigin(url, *next)) break;
    if (hops >= kMaxRedirects)
      throw platform::net::TransferError(platform::net::TransferError::Kind::tooManyRedirects,
                                         "Too many redirects starting at " + platform::net::redactUrl(url));
    request.url = *next;
    request.headers = firstHeaders;
    request.headers.set("Location", *next);
  }
  if (response.status >= 300 && response.status <= 399) return response;
  checkStatus(response, url);
  return response;
}

// ---- Listing -----------------------------------------------------------------------------------

std::vector<std::string> HubApi::getFilenames(const Hub::Repo& repo, const std::string& revision,
                                              const std::vector<std::string>& globs) const {
  HttpResponse response = httpGet(listingURL(repo, revision));
  platform::json::Value document = platform::json::parse(response.body);
  const auto& siblings = document.at("siblings").asArray();
  if (siblings.size() > kMaxListedFiles)
    throw Error::parseError("the listing of " + repo.id + " names " + std::to_string(siblings.size()) +
                            " files, more than " + std::to_string(kMaxListedFiles));
  std::vector<std::string> names;
  for (const auto& sibling : siblings) names.push_back(sibling.at("rfilename").asString());

  std::vector<std::string> result;
  if (globs.empty()) {
    result = std::move(names);
  } else {
    std::unordered_set<std::string> seen;
    for (const auto& glob : globs)
      for (const auto& name : kestrum::matching(names, glob)) seen.insert(name);
    for (const auto& name : names)
      if (seen.erase(name)) result.push_back(name);
  }
  for (const auto& name : result)
    if (!isSafeRelativePath(name))
      throw Error::parseError("unsafe file name " + escapedForMessage(name) + " in the listing of " + repo.id);
  return result;
}

std::vector<std::string> HubApi::getFilenames(const std::string& repoId, const std::vector<std::string>& globs) const {
  return getFilenames(Hub::Repo{repoId, Hub::RepoType::models}, "main", globs);
}

std::vector<std::string> HubApi::getFilenames(const Hub::Repo& repo, const std::string& glob) const {
  return getFilenames(repo, "main", std::vector<std::string>{glob});
}

std::vector<std::string> HubApi::getFilenames(const std::string& repoId, const std::string& glob) const {
  return getFilenames(Hub::Repo{repoId, Hub::RepoType::models}, "main", std::vector<std::string>{glob});
}

Config HubApi::whoami() const {
  if (!hfToken_) throw Error::authorizationRequired();
  HttpResponse response = httpGet(whoamiURL());
  platform::json::Value document = platform::json::parse(response.body);
  if (document.kind() != platform::json::Value::Kind::object) throw Error::parse();
  return Config::convertToBinaryDistinctKeys(document);
}

Config HubApi::configuration(const fs::path& fileURL) const {
  std::ifstream in(fileURL, std::ios::binary);
  if (!in) throw fs::filesystem_error("Cannot read file", fileURL, std::make_error_code(std::errc::no_such_file_or_directory));
  auto tooLarge = [&] {
    return fs::filesystem_error("The file is larger than " + std::to_string(maxConfigurationBytes >> 20) +
                                    " MiB, far more than a configuration or tokenizer file holds; it is not read",
                                fileURL, std::make_error_code(std::errc::file_too_large));
  };
  std::error_code sizeError;
  if (const auto size = fs::file_size(fileURL, sizeError); !sizeError && size > maxConfigurationBytes) throw tooLarge();
  // Read in blocks up to the bound, as the file may grow while it is read.
  std::string bytes;
  char block[1 << 16];
  while (in.read(block, sizeof block) || in.gcount() > 0) {
    bytes.append(block, static_cast<std::size_t>(in.gcount()));
    if (bytes.size() > maxConfigurationBytes) throw tooLarge();
  }
  if (in.bad()) throw fs::filesystem_error("Cannot read file", fileURL, std::make_error_code(std::errc::io_error));
  try {
    return JSONParser::parseToConfig(bytes);
  } catch (const JSONParser::TreeTooLargeError& e) {
    throw fs::filesystem_error(e.what(), fileURL, std::make_error_code(std::errc::not_enough_memory));
  } catch (const JSONParser::ParseError& e) {
    std::string url = "file://" + fs::absolute(fileURL).string();
    throw Error::jsonSerialization(url, "JSON parsing failed for " + url + ": " + e.what() +
                                            ". If this is a private model, verify that HF_TOKEN is set.");
  }
}

Config HubApi::configuration(const std::string& filename, const Hub::Repo& repo) const {
  return configuration(localRepoLocation(repo) / filename);
}

// ---- File metadata -----------------------------------------------------------------------------

HubApi::FileMetadata HubApi::getFileMetadata(const std::string& url) const {
  HttpResponse response = httpHead(url);
  FileMetadata metadata;
  std::optional<std::string> location;
  if (response.status == 302) location = header(response, "Location");
  else if (!response.url.empty()) location = response.url;
  metadata.location = location.value_or(url);
  metadata.commitHash = header(response, "X-Repo-Commit");
  auto linkedEtag = header(response, "X-Linked-Etag");
  metadata.etag = normalizeEtag(linkedEtag ? linkedEtag : header(response, "ETag"));
  if (metadata.etag && !isSafeEtag(*metadata.etag))
    throw Error::parseError("unsafe entity tag " + escapedForMessage(*metadata.etag) + " in the answer for " +
                            platform::net::redactUrl(url));
  auto size = header(response, "X-Linked-Size");
  if (!size) size = header(response, "Content-Length");
  if (size) metadata.size = parseSize(*size);
  metadata.xetFileData = parseXetFileDataFromResponse(&response, endpoint_);
  return metadata;
}

std::vector<HubApi::FileMetadata> HubApi::getFileMetadata(const Hub::Repo& repo, const std::string& revision,
                                                          const std::vector<std::string>& globs) const {
  std::vector<FileMetadata> records;
  for (const auto& name : getFilenames(repo, revision, globs))
    records.push_back(getFileMetadata(resolveURL(endpoint_, repo, revision, name)));
  return records;
}

std::vector<HubApi::FileMetadata> HubApi::getFileMetadata(const std::string& repoId,
                                                          const std::vector<std::string>& globs) const {
  return getFileMetadata(Hub::Repo{repoId, Hub::RepoType::models}, "main", globs);
}

std::vector<HubApi::FileMetadata> HubApi::getFileMetadata(const Hub::Repo& repo, const std::string& glob) const {
  return getFileMetadata(repo, "main", std::vector<std::string>{glob});
}

std::vector<HubApi::FileMetadata> HubApi::getFileMetadata(const std::string& repoId, const std::string& glob) const {
  return getFileMetadata(Hub::Repo{repoId, Hub::RepoType::models}, "main", std::vector<std::string>{glob});
}

}  // namespace hub
