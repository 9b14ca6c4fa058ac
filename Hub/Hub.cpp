#include "Hub/Hub.h"

#include "platform/Net/Url.h"
#include "platform/System/Json.h"

namespace hub {

using platform::json::DecodingError;
using platform::json::Value;
using Error = Hub::HubClientError;

std::optional<Hub::RepoType> Hub::repoType(std::string_view rawValue) {
  if (rawValue == "models") return RepoType::models;
  if (rawValue == "datasets") return RepoType::datasets;
  if (rawValue == "spaces") return RepoType::spaces;
  return std::nullopt;
}

std::string_view Hub::rawValue(RepoType type) {
  switch (type) {
    case RepoType::models: return "models";
    case RepoType::datasets: return "datasets";
    case RepoType::spaces: return "spaces";
  }
  return "models";
}

Value Hub::encode(const Repo& repo) {
  return Value(platform::json::Object{{"id", Value(repo.id)}, {"type", Value(rawValue(repo.type))}});
}

Hub::RepoType Hub::decodeRepoType(const Value& value) {
  const std::string& text = value.asString();
  auto type = repoType(text);
  if (!type) throw DecodingError(DecodingError::Kind::dataCorrupted, "Cannot initialize RepoType from invalid String value " + text);
  return *type;
}

Hub::Repo Hub::decodeRepo(const Value& value) {
  return Repo{value.at("id").asString(), decodeRepoType(value.at("type"))};
}

Error Error::httpStatusCode(std::int64_t code) {
  Error e(Kind::httpStatusCode, "HTTP error with status code: " + std::to_string(code));
  e.statusCode_ = code;
  return e;
}

Error Error::jsonSerialization(std::string fileURL, std::string message) {
  Error e(Kind::jsonSerialization, message);
  e.payload_ = std::move(message);
  e.fileURL_ = std::move(fileURL);
  return e;
}

// A text payload may name a URL; its user information and query never show.
Error Error::withText(Kind kind, std::string_view prefix, std::string text) {
  text = platform::net::redactUrls(text);
  Error e(kind, std::string(prefix) + text);
  e.payload_ = std::move(text);
  return e;
}

Error Error::downloadError(std::string text) { return withText(Kind::downloadError, "Download failed: ", std::move(text)); }
Error Error::fileNotFound(std::string text) { return withText(Kind::fileNotFound, "File not found: ", std::move(text)); }
Error Error::networkError(std::string description) {
  return withText(Kind::networkError, "Network error: ", std::move(description));
}
Error Error::resourceNotFound(std::string text) {
  return withText(Kind::resourceNotFound, "Resource not found: ", std::move(text));
}
Error Error::configurationMissing(std::string fileName) {
  return withText(Kind::configurationMissing, "Required configuration file missing: ", std::move(fileName));
}
Error Error::fileSystemError(std::string description) {
  return withText(Kind::fileSystemError, "File system error: ", std::move(description));
}
Error Error::parseError(std::string text) { return withText(Kind::parseError, "Parse error: ", std::move(text)); }

Error Error::authorizationRequired() {
  return Error(Kind::authorizationRequired, "Authentication required. Please provide a valid Hugging Face token.");
}
Error Error::parse() { return Error(Kind::parse, "Failed to parse server response."); }
Error Error::unexpectedError() { return Error(Kind::unexpectedError, "An unexpected error occurred."); }

}  // namespace hub
