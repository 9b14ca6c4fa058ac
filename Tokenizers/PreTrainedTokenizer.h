// The tokenizer built from a repository's two tokenizer documents: "tokenizer_config.json"
// (tokenizerConfig) and "tokenizer.json" (tokenizerData). It picks the vocabulary model by
// "tokenizer_class" (without "Fast"), collects the added and special tokens into one trie that
// cuts them out of a text as their alternation would (longest first, lstrip and rstrip absorbing
// white space), and builds normalizer, pre-tokenizer, post-processor and decoder by their
// factories. Encoding: added-token split, normalizer, pre-tokenizer, model, unknown fusion,
// post-processor, ids. Decoding: ids to texts, decoder, join, clean-up. Construction throws
// TokenizerError or StageConfigurationError; afterwards the tokenizer is immutable and may be used
// from several threads. Texts must be well-formed UTF-8 (platform::text::InvalidUtf8Error
// otherwise). The regular expressions of the files and the added-token split share one time
// budget per call (10 s plus 1 s per MiB of text, or a caller's tighter RegexTimeBudget); a call
// that runs past it throws platform::text::RegexTimeout. Empty text has no tokens.
//   PreTrainedTokenizer t(config, data, true);  t.decode(t.encode("Hello world")) == "Hello world"
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "Hub/Config.h"
#include "Tokenizers/Decoder.h"
#include "Tokenizers/Normalizer.h"
#include "Tokenizers/PostProcessor.h"
#include "Tokenizers/PreTokenizer.h"
#include "Tokenizers/Tokenizer.h"
#include "Tokenizers/detail/AddedTokenSplit.h"
#include "platform/Text/Regex.h"
#include "templates/Template.h"

namespace tokenizers {

class PreTrainedTokenizer : public Tokenizer {
 public:
  // strict: an unregistered class name throws unsupportedTokenizer; otherwise a warning goes to
  // the log (kestrum::Logging, level info) and the BPE model is used.
  PreTrainedTokenizer(const hub::Config& tokenizerConfig, const hub::Config& tokenizerData, bool strict);

  // ---- Tokenizer -----------------------------------------------------------------------------
  std::vector<std::string> tokenize(std::string_view text) const override;
  std::vector<TokenId> encode(std::string_view text) const override { return encode(text, true); }
  std::vector<TokenId> encode(std::string_view text, bool addSpecialTokens) const override;
  using Tokenizer::decode;
  std::string decode(const std::vector<TokenId>& tokens, bool skipSpecialTokens) const override;
  std::optional<TokenId> convertTokenToId(std::string_view token) const override { return model_->convertTokenToId(token); }
  std::optional<std::string> convertIdToToken(TokenId id) const override { return model_->convertIdToToken(id); }
  std::optional<std::string> bosToken() const override { return model_->bosToken(); }
  std::optional<TokenId> bosTokenId() const override { return model_->bosTokenId(); }
  std::optional<std::string> eosToken() const override { return model_->eosToken(); }
  std::optional<TokenId> eosTokenId() const override { return model_->eosTokenId(); }
  std::optional<std::string> unknownToken() const override { return model_->unknownToken(); }
  std::optional<TokenId> unknownTokenId() const override { return model_->unknownTokenId(); }
  bool fuseUnknownTokens() const { return model_->fuseUnknownTokens(); }
  // True when "chat_template" is present and not null, whatever its form.
  bool hasChatTemplate() const override;
  using Tokenizer::applyChatTemplate;
  std::vector<TokenId> applyChatTemplate(const std::vector<ChatMessage>& messages,
                                         const ChatTemplateOptions& options) const override;
  // The compiled template of `text`, compiled once per tokenizer; throws jinja::JinjaError.
  std::shared_ptr<const jinja::Template> compiledTemplate(const std::string& text) const;

  // ---- Stages --------------------------------------------------------------------------------
  // The pre-tokenizer's pieces, or [text] without one.
  std::vector<std::string> preTokenize(std::string_view text, PreTokenizerOptions options) const;
  std::string normalize(std::string_view text) const;
  std::vector<std::string> postProcess(const std::vector<std::string>& tokens, bool addSpecialTokens) const;
  std::vector<std::string> decodeTokens(const std::vector<std::string>& tokens) const;
  // " ." => ".", " n't" => "n't", " ' " => "'" ... when clean_up_tokenization_spaces is on.
  std::string cleanUp(std::string_view text) const;
  // Drops every unknown token that follows an unknown token.
  std::vector<std::string> fuseUnknown(const std::vector<std::string>& tokens) const;

  // ---- Fields --------------------------------------------------------------------------------
  const TokenizingModel& model() const { return *model_; }
  std::string_view modelName() const { return modelName_; }
  const std::unordered_set<std::string>& addedTokens() const { return addedTokens_; }
  const std::unordered_map<std::string, TokenId>& specialTokens() const { return specialTokens_; }
  // The alternation the added-token split follows: "(<abc>)\s*|\s*(<a>)"; empty without added tokens.
  std::string addedTokensPattern() const { return addedTokenSplitter_->pattern(); }
  const PreTokenizer* preTokenizer() const { return preTokenizer_.get(); }
  const Normalizer* normalizer() const { return normalizer_.get(); }
  const PostProcessor* postProcessor() const { return postProcessor_.get(); }
  const Decoder* decoder() const { return decoder_.get(); }
  const hub::Config& tokenizerConfig() const { return tokenizerConfig_; }
  bool cleanUpTokenizationSpaces() const { return cleanUpTokenizationSpaces_; }

 private:
  std::unique_ptr<TokenizingModel> model_;
  std::string_view modelName_;
  std::unordered_set<std::string> addedTokens_;
  std::unordered_map<std::string, TokenId> specialTokens_;
  std::unordered_set<TokenId> specialTokenIds_;
  std::unique_ptr<const detail::AddedTokenSplitter> addedTokenSplitter_;
  std::unique_ptr<PreTokenizer> preTokenizer_;
  std::unique_ptr<Normalizer> normalizer_;
  std::unique_ptr<PostProcessor> postProcessor_;
  std::unique_ptr<Decoder> decoder_;
  hub::Config tokenizerConfig_;
  bool cleanUpTokenizationSpaces_ = true;
  struct TemplateCache {
    std::mutex lock;
    std::unordered_map<std::string, std::shared_ptr<const jinja::Template>> compiled;
  };
  std::unique_ptr<TemplateCache> templateCache_ = std::make_unique<TemplateCache>();
};

}  // namespace tokenizers
