// The tokenizer contracts. `Tokenizer` is what the rest of the system holds (the speech engine
// encodes prompts and decodes model output through it without knowing the concrete type);
// `TokenizingModel` is a vocabulary model (BPE, WordPiece, Unigram) that tokenizes one
// pre-tokenized piece; `TokenizerModel::knownTokenizers()` maps a "tokenizer_class" name (without
// "Fast") to the model that serves it. Implementations are immutable after construction and may
// be shared between threads. Ids are signed 64-bit integers; texts are UTF-8.
//   std::vector<TokenId> ids = tokenizer.encode("Hello");  tokenizer.decode(ids) == "Hello"
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/System/Json.h"

namespace hub {
class Config;
}

namespace tokenizers {

using TokenId = std::int64_t;
// Added-token text to id, as the front end collects them from "added_tokens".
using AddedTokens = std::unordered_map<std::string, TokenId>;

// A chat template given by its text, or by the name of one of the configuration's named templates.
struct ChatTemplateArgument {
  enum class Kind { literal, name };
  Kind kind = Kind::literal;
  std::string value;

  static ChatTemplateArgument literal(std::string text) { return {Kind::literal, std::move(text)}; }
  static ChatTemplateArgument name(std::string name) { return {Kind::name, std::move(name)}; }
};

// One chat message: a JSON object such as {"role": "user", "content": "Hi"}.
using ChatMessage = platform::json::Value;

// How a conversation becomes ids; the defaults are those of applyChatTemplate(messages).
struct ChatTemplateOptions {
  std::optional<ChatTemplateArgument> chatTemplate;  // none: the configuration's template
  bool addGenerationPrompt = true;                   // add_generation_prompt in the template
  bool truncation = false;                           // off: the ids are returned whole
  std::optional<std::int64_t> maxLength;             // none: the number of ids
  std::optional<std::vector<platform::json::Value>> tools;  // none: no "tools" variable
  std::optional<platform::json::Value> additionalContext;   // an object whose entries become variables
};

// What both contracts answer about the vocabulary: token and id conversions (the batch forms map
// the single ones over their input) and the special tokens.
class TokenVocabulary {
 public:
  virtual ~TokenVocabulary() = default;

  virtual std::optional<TokenId> convertTokenToId(std::string_view token) const = 0;
  virtual std::vector<std::optional<TokenId>> convertTokensToIds(const std::vector<std::string>& tokens) const;
  virtual std::optional<std::string> convertIdToToken(TokenId id) const = 0;
  virtual std::vector<std::optional<std::string>> convertIdsToTokens(const std::vector<TokenId>& ids) const;

  virtual std::optional<std::string> bosToken() const = 0;
  virtual std::optional<TokenId> bosTokenId() const = 0;
  virtual std::optional<std::string> eosToken() const = 0;
  virtual std::optional<TokenId> eosTokenId() const = 0;
  virtual std::optional<std::string> unknownToken() const = 0;
  virtual std::optional<TokenId> unknownTokenId() const = 0;
};

// The special tokens of a vocabulary model, each text with its id in the vocabulary (none when the
// text is absent or the vocabulary lacks it).
struct SpecialTokens {
  std::optional<std::string> bos;
  std::optional<TokenId> bosId;
  std::optional<std::string> eos;
  std::optional<TokenId> eosId;
  std::optional<std::string> unknown;
  std::optional<TokenId> unknownId;
};

class TokenizingModel : public TokenVocabulary {
 public:
  // The model's tokens of one pre-tokenized piece.
  virtual std::vector<std::string> tokenize(std::string_view text) const = 0;
  std::vector<std::string> operator()(std::string_view text) const { return tokenize(text); }

  // Whether the front end fuses runs of unknown tokens into one.
  virtual bool fuseUnknownTokens() const = 0;

  std::optional<std::string> bosToken() const final { return special_.bos; }
  std::optional<TokenId> bosTokenId() const final { return special_.bosId; }
  std::optional<std::string> eosToken() const final { return special_.eos; }
  std::optional<TokenId> eosTokenId() const final { return special_.eosId; }
  std::optional<std::string> unknownToken() const final { return special_.unknown; }
  std::optional<TokenId> unknownTokenId() const final { return special_.unknownId; }

 protected:
  SpecialTokens special_;  // set by the model's constructor, never changed afterwards
};

// A model type of the registry: its name and its constructor from the two tokenizer documents
// ("tokenizer_config.json", "tokenizer.json") and the added tokens. The constructor throws
// TokenizerError when the documents do not describe such a model.
struct PreTrainedTokenizerModel {
  using Constructor = std::unique_ptr<TokenizingModel> (*)(const hub::Config& tokenizerConfig,
                                                           const hub::Config& tokenizerData,
                                                           const AddedTokens& addedTokens);
  std::string_view name;  // "BPETokenizer", "BertTokenizer", "UnigramTokenizer", "T5Tokenizer"
  Constructor construct = nullptr;
};

struct TokenizerModel {
  // The 18 class names, looked up exactly and case-sensitively; built once, thread-safely.
  static const std::unordered_map<std::string, PreTrainedTokenizerModel>& knownTokenizers();
};

class Tokenizer : public TokenVocabulary {
 public:
  virtual std::vector<std::string> tokenize(std::string_view text) const = 0;
  virtual std::vector<TokenId> encode(std::string_view text) const = 0;
  virtual std::vector<TokenId> encode(std::string_view text, bool addSpecialTokens) const = 0;
  std::vector<TokenId> operator()(std::string_view text, bool addSpecialTokens = true) const {
    return encode(text, addSpecialTokens);
  }

  // decode(ids) keeps special tokens.
  virtual std::string decode(const std::vector<TokenId>& tokens) const { return decode(tokens, false); }
  virtual std::string decode(const std::vector<TokenId>& tokens, bool skipSpecialTokens) const = 0;

  virtual bool hasChatTemplate() const { return false; }
  // Renders the chat template over the conversation and encodes the text without adding special
  // tokens. Throws TokenizerError (missingChatTemplate, chatTemplate), the template engine's
  // errors (jinja::JinjaError) and jinja::TemplateException raised by the template itself.
  virtual std::vector<TokenId> applyChatTemplate(const std::vector<ChatMessage>& messages,
                                                 const ChatTemplateOptions& options) const;
  std::vector<TokenId> applyChatTemplate(const std::vector<ChatMessage>& messages) const {
    return applyChatTemplate(messages, ChatTemplateOptions{});
  }
  std::vector<TokenId> applyChatTemplate(const std::vector<ChatMessage>& messages, const std::string& templateText) const {
    ChatTemplateOptions options;
    options.chatTemplate = ChatTemplateArgument::literal(templateText);
    return applyChatTemplate(messages, options);
  }
};

}  // namespace tokenizers
