#include "Hub/Hub.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Hub/HubApi.h"
#include "platform/System/Json.h"

namespace hub {
namespace {

using Error = Hub::HubClientError;
namespace json = platform::json;

TEST(RepoTypeTest, RawValuesAreExactAndCaseSensitive) {
  EXPECT_EQ(Hub::repoType("models"), Hub::RepoType::models);
  EXPECT_EQ(Hub::repoType("datasets"), Hub::RepoType::datasets);
  EXPECT_EQ(Hub::repoType("spaces"), Hub::RepoType::spaces);
  for (const char* text : {"Models", "model", "", " models", "SPACES"}) EXPECT_FALSE(Hub::repoType(text)) << text;
  EXPECT_EQ(Hub::rawValue(Hub::RepoType::datasets), "datasets");
}

TEST(RepoTest, EncodesIdThenTypeAndDecodesBack) {
  Hub::Repo repo{"openai/whisper-base", Hub::RepoType::models};
  json::WriteOptions options;
  options.escapeSlashes = false;
  EXPECT_EQ(json::write(Hub::encode(repo), options), R"({"id":"openai/whisper-base","type":"models"})");
  EXPECT_EQ(Hub::decodeRepo(json::parse(R"({"type": "spaces", "id": "a/b"})")), (Hub::Repo{"a/b", Hub::RepoType::spaces}));
}

TEST(RepoTest, DecodingRefusesMissingKeysWrongTypesAndUnknownKinds) {
  struct Case {
    const char* document;
    json::DecodingError::Kind kind;
  };
  for (const Case& c : std::vector<Case>{{R"({"id": "a/b"})", json::DecodingError::Kind::keyNotFound},
                                         {R"({"type": "models"})", json::DecodingError::Kind::keyNotFound},
                                         {R"({"id": 3, "type": "models"})", json::DecodingError::Kind::typeMismatch},
                                         {R"({"id": "a", "type": "Models"})", json::DecodingError::Kind::dataCorrupted}}) {
    try {
      Hub::decodeRepo(json::parse(c.document));
      ADD_FAILURE() << c.document << " decoded";
    } catch (const json::DecodingError& e) {
      EXPECT_EQ(e.kind, c.kind) << c.document;
    }
  }
}

TEST(HubClientErrorTest, DescribesEachCaseWithItsFixedMessage) {
  struct Case {
    Error error;
    Error::Kind kind;
    const char* description;
  };
  const std::vector<Case> cases = {
      {Error::httpStatusCode(503), Error::Kind::httpStatusCode, "HTTP error with status code: 503"},
      {Error::jsonSerialization("file:///x.json", "bad json"), Error::Kind::jsonSerialization, "bad json"},
      {Error::downloadError("t"), Error::Kind::downloadError, "Download failed: t"},
      {Error::fileNotFound("a.bin"), Error::Kind::fileNotFound, "File not found: a.bin"},
      {Error::networkError("The request timed out."), Error::Kind::networkError, "Network error: The request timed out."},
      {Error::resourceNotFound("r"), Error::Kind::resourceNotFound, "Resource not found: r"},
      {Error::configurationMissing("tokenizer.json"), Error::Kind::configurationMissing,
       "Required configuration file missing: tokenizer.json"},
      {Error::fileSystemError("No such file"), Error::Kind::fileSystemError, "File system error: No such file"},
      {Error::parseError("p"), Error::Kind::parseError, "Parse error: p"},
      {Error::authorizationRequired(), Error::Kind::authorizationRequired,
       "Authentication required. Please provide a valid Hugging Face token."},
      {Error::parse(), Error::Kind::parse, "Failed to parse server response."},
      {Error::unexpectedError(), Error::Kind::unexpectedError, "An unexpected error occurred."},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.error.kind(), c.kind);
    EXPECT_STREQ(c.error.what(), c.description);
    EXPECT_EQ(c.error.errorDescription(), c.description);
  }
  EXPECT_EQ(Error::httpStatusCode(-9223372036854775807LL - 1).errorDescription(),
            "HTTP error with status code: -9223372036854775808");
  EXPECT_EQ(Error::jsonSerialization("file:///x.json", "m").fileURL(), "file:///x.json");
}

TEST(EnvironmentErrorTest, PrefixesTheMessage) {
  using E = HubApi::EnvironmentError;
  EXPECT_STREQ(E::invalidMetadataError("x").what(), "Invalid metadata: x");
  EXPECT_STREQ(E::offlineModeError("x").what(), "Offline mode error: x");
  EXPECT_STREQ(E::fileIntegrityError("x").what(), "File integrity check failed: x");
  EXPECT_STREQ(E::fileWriteError("x").what(), "Failed to write file: x");
  EXPECT_EQ(E::fileWriteError("x").kind(), E::Kind::fileWriteError);
}

}  // namespace
}  // namespace hub
