// The WordPiece vocabulary model ("BertTokenizer", "DistilBertTokenizer"): spaces around CJK
// ideographs, a basic split into words and punctuation (with do_lower_case, non-spacing marks
// dropped from the decomposed text, then lower-casing), then greedy longest-match-first pieces
// with "##" continuations, cut at scalar boundaries. A word that cannot be covered, or is longer
// than 100 scalars, becomes "[UNK]". Vocabulary keys compare by canonical equivalence. Immutable
// after construction; thread-safe. Construction throws TokenizerError::missingVocab when
// model.vocab is not a dictionary.
//   vocab {"un", "##aff", "##able"}: "unaffable" => ["un", "##aff", "##able"]
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "Tokenizers/Tokenizer.h"

namespace tokenizers {

// Vocabulary keyed by canonical form (NFC), so that both spellings of a text find one entry.
class CanonicalVocabulary {
 public:
  void assign(std::string_view text, TokenId id);
  std::optional<TokenId> find(std::string_view text) const;
  bool contains(std::string_view text) const { return find(text).has_value(); }
  std::size_t size() const { return ids_.size(); }
  const std::unordered_map<std::string, TokenId>& entries() const { return ids_; }

 private:
  std::unordered_map<std::string, TokenId> ids_;
};

class BasicTokenizer {
 public:
  explicit BasicTokenizer(bool doLowerCase) : doLowerCase_(doLowerCase) {}
  // "Hello, World!" => ["hello", ",", "world", "!"] with doLowerCase.
  std::vector<std::string> tokenize(std::string_view text) const;
  bool doLowerCase() const { return doLowerCase_; }
  static const std::vector<std::string>& neverSplit();  // [UNK] [SEP] [PAD] [CLS] [MASK]

 private:
  bool doLowerCase_;
};

class WordpieceTokenizer {
 public:
  static constexpr std::string_view unkToken = "[UNK]";
  static constexpr std::size_t maxInputCharsPerWord = 100;
  explicit WordpieceTokenizer(const CanonicalVocabulary& vocab) : vocab_(vocab) {}
  std::vector<std::string> tokenize(std::string_view word) const;

 private:
  const CanonicalVocabulary& vocab_;
};

class BertTokenizer : public TokenizingModel {
 public:
  BertTokenizer(std::unordered_map<std::string, TokenId> vocab, std::optional<std::vector<std::string>> merges,
                bool tokenizeChineseChars, std::optional<std::string> bosToken, std::optional<std::string> eosToken,
                bool fuseUnknownTokens, bool doLowerCase);
  BertTokenizer(const hub::Config& tokenizerConfig, const hub::Config& tokenizerData, const AddedTokens& addedTokens);
  BertTokenizer(const BertTokenizer&) = delete;  // the WordPiece splitter refers to vocab_
  BertTokenizer& operator=(const BertTokenizer&) = delete;

  std::vector<std::string> tokenize(std::string_view text) const override;

  std::optional<TokenId> convertTokenToId(std::string_view token) const override;
  std::optional<std::string> convertIdToToken(TokenId id) const override;
  bool fuseUnknownTokens() const override { return fuseUnknownTokens_; }

 private:
  std::string tokenizeChineseCharsIfNeed(std::string_view text) const;

  CanonicalVocabulary vocab_;
  std::unordered_map<TokenId, std::string> idsToTokens_;
  BasicTokenizer basicTokenizer_;
  WordpieceTokenizer wordpieceTokenizer_;
  bool tokenizeChineseChars_;
  bool fuseUnknownTokens_;
};

}  // namespace tokenizers
