// Repository identity and the client's error: `Hub::RepoType` (the kind of a repository and its
// path word), `Hub::Repo` (id and kind) and `Hub::HubClientError`, the exception of every client
// operation that has no error type of its own, whose what() is one of twelve fixed messages.
// Values only; thread-safe. JSON decoding throws platform::json::DecodingError.
// The static shortcuts at the end forward to HubApi::shared() at revision "main" (whoami to a new
// client with the given token); they are defined in Hub/HubApi.h.
//   throw Hub::HubClientError::httpStatusCode(503);  // "HTTP error with status code: 503"
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace platform::json {
class Value;
}

namespace kestrum {
class Progress;
}

namespace hub {

class Config;

class Hub {
 public:
  Hub() = delete;

  enum class RepoType { models, datasets, spaces };
  // Exact, case-sensitive: "Models" is no kind.
  static std::optional<RepoType> repoType(std::string_view rawValue);
  static std::string_view rawValue(RepoType type);

  struct Repo {
    std::string id;  // "owner/name", as the service names it; never split or checked here
    RepoType type;
    friend bool operator==(const Repo&, const Repo&) = default;
  };

  class HubClientError;

  // {"id": ..., "type": "models"} in that order; decoding needs both keys and a known kind.
  static platform::json::Value encode(const Repo& repo);
  static Repo decodeRepo(const platform::json::Value& value);
  static RepoType decodeRepoType(const platform::json::Value& value);

  // ---- Shortcuts --------------------------------------------------------------------------------
  // A repository as a Repo, or as a bare id of a model repository.
  struct RepoArgument {
    RepoArgument(Repo r) : repo(std::move(r)) {}
    RepoArgument(std::string id) : repo{std::move(id), RepoType::models} {}
    RepoArgument(const char* id) : repo{id, RepoType::models} {}
    Repo repo;
  };
  // Globs as a list, or one glob.
  struct GlobsArgument {
    GlobsArgument(std::vector<std::string> g) : globs(std::move(g)) {}
    GlobsArgument(std::initializer_list<std::string> g) : globs(g) {}
    GlobsArgument(std::string glob) : globs{std::move(glob)} {}
    GlobsArgument(const char* glob) : globs{std::string(glob)} {}
    std::vector<std::string> globs;
  };

  static std::vector<std::string> getFilenames(const RepoArgument& repo, const GlobsArgument& globs);
  static std::filesystem::path snapshot(const RepoArgument& repo, const GlobsArgument& globs,
                                        const std::function<void(const kestrum::Progress&)>& progressHandler = {});
  static std::filesystem::path snapshot(const RepoArgument& repo, const GlobsArgument& globs,
                                        const std::function<void(const kestrum::Progress&, std::optional<double>)>& progressHandler);
  static Config whoami(const std::string& token);
  // HubApi::FileMetadata, and a list of them.
  static auto getFileMetadata(const std::string& fileURL);
  static auto getFileMetadata(const RepoArgument& repo, const GlobsArgument& globs);
};

class Hub::HubClientError : public std::runtime_error {
 public:
  // In declaration order: the cases with a payload, then the three without.
  enum class Kind {
    httpStatusCode,
    jsonSerialization,
    downloadError,
    fileNotFound,
    networkError,
    resourceNotFound,
    configurationMissing,
    fileSystemError,
    parseError,
    authorizationRequired,
    parse,
    unexpectedError,
  };

  static HubClientError httpStatusCode(std::int64_t code);
  // The message alone is the description; the file URL is kept beside it.
  static HubClientError jsonSerialization(std::string fileURL, std::string message);
  static HubClientError downloadError(std::string text);
  static HubClientError fileNotFound(std::string text);
  // Network and file-system failures carry the wrapped error's description.
  static HubClientError networkError(std::string description);
  static HubClientError resourceNotFound(std::string text);
  static HubClientError configurationMissing(std::string fileName);
  static HubClientError fileSystemError(std::string description);
  static HubClientError parseError(std::string text);
  static HubClientError authorizationRequired();
  static HubClientError parse();
  static HubClientError unexpectedError();

  Kind kind() const { return kind_; }
  std::int64_t statusCode() const { return statusCode_; }  // httpStatusCode only
  const std::string& payload() const { return payload_; }  // the text payload or wrapped description
  const std::string& fileURL() const { return fileURL_; }  // jsonSerialization only
  std::string errorDescription() const { return what(); }

 private:
  HubClientError(Kind kind, const std::string& description) : std::runtime_error(description), kind_(kind) {}
  static HubClientError withText(Kind kind, std::string_view prefix, std::string text);

  Kind kind_;
  std::int64_t statusCode_ = 0;
  std::string payload_;
  std::string fileURL_;
};

}  // namespace hub
