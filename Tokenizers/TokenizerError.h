// The errors of the tokenizers. TokenizerError is the one error enumeration of the tokenizer
// front end and its models; its what() is the user-facing text ("Vocabulary file is missing from
// the tokenizer configuration."). StageConfigurationError rejects a normalizer, pre-tokenizer,
// post-processor or decoder configuration that its factory cannot build ("Unsupported Decoder
// type: Foo"); it makes the tokenizer's construction fail. Both are plain values, safe to copy.
#pragma once

#include <stdexcept>
#include <string>

namespace tokenizers {

class TokenizerError : public std::runtime_error {
 public:
  // In declaration order.
  enum class Kind {
    unsupportedTokenizer,  // payload: the class or model name
    chatTemplate,          // payload: a description
    tooLong,               // payload: a description
    mismatchedConfig,      // payload: a description
    missingConfig,
    missingTokenizerClassInConfig,
    missingVocab,
    malformedVocab,
    missingChatTemplate,
  };

  static TokenizerError unsupportedTokenizer(std::string name) { return {Kind::unsupportedTokenizer, std::move(name)}; }
  static TokenizerError chatTemplate(std::string message) { return {Kind::chatTemplate, std::move(message)}; }
  static TokenizerError tooLong(std::string message) { return {Kind::tooLong, std::move(message)}; }
  static TokenizerError mismatchedConfig(std::string message) { return {Kind::mismatchedConfig, std::move(message)}; }
  static TokenizerError missingConfig() { return {Kind::missingConfig, {}}; }
  static TokenizerError missingTokenizerClassInConfig() { return {Kind::missingTokenizerClassInConfig, {}}; }
  static TokenizerError missingVocab() { return {Kind::missingVocab, {}}; }
  static TokenizerError malformedVocab() { return {Kind::malformedVocab, {}}; }
  static TokenizerError missingChatTemplate() { return {Kind::missingChatTemplate, {}}; }

  Kind kind() const { return kind_; }
  // The case's payload; empty for the cases without one.
  const std::string& payload() const { return payload_; }

  // The English text of a case; there is no translation table on Linux.
  static std::string describe(Kind kind, const std::string& payload);

 private:
  TokenizerError(Kind kind, std::string payload);
  Kind kind_;
  std::string payload_;
};

class StageConfigurationError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace tokenizers
