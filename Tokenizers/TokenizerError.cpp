#include "Tokenizers/TokenizerError.h"

namespace tokenizers {

TokenizerError::TokenizerError(Kind kind, std::string payload)
    : std::runtime_error(describe(kind, payload)), kind_(kind), payload_(std::move(payload)) {}

std::string TokenizerError::describe(Kind kind, const std::string& payload) {
  switch (kind) {
    case Kind::unsupportedTokenizer: return "The tokenizer type '" + payload + "' is not supported.";
    case Kind::chatTemplate: return "Chat template error: " + payload;
    case Kind::tooLong: return "Input is too long: " + payload;
    case Kind::mismatchedConfig: return "Tokenizer configuration mismatch: " + payload;
    case Kind::missingConfig: return "Tokenizer configuration is missing.";
    case Kind::missingTokenizerClassInConfig: return "The tokenizer class is not specified in the configuration.";
    case Kind::missingVocab: return "Vocabulary file is missing from the tokenizer configuration.";
    case Kind::malformedVocab: return "The vocabulary file is malformed or corrupted.";
    case Kind::missingChatTemplate: return "This tokenizer does not have a chat template, and no template was passed.";
  }
  return {};
}

}  // namespace tokenizers
