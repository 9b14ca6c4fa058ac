// The byte-pair-encoding vocabulary model, built from "tokenizer.json" (model.vocab, model.merges)
// and "tokenizer_config.json" (unk_token, bos_token, eos_token, fuse_unk). It merges the
// scalars of one pre-tokenized piece by merge rank and looks the results up, both by exact text
// (no Unicode equivalence, so a merged symbol always has its own entry); a result missing from the
// vocabulary becomes byte fallback tokens ("é" => ["<0xC3>", "<0xA9>"]). Immutable after construction; thread-safe.
// Construction throws TokenizerError: missingVocab; mismatchedConfig "BPETokenizer requires merges",
// or naming a merge whose parts or result are not in the vocabulary.
//   merges "a b", "ab c": bpe("abc") == "abc"
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "Tokenizers/Tokenizer.h"
#include "Tokenizers/detail/PairTable.h"
#include "Tokenizers/detail/Text.h"

namespace tokenizers {

// Two adjacent symbols, compared by exact text.
struct BytePair {
  std::string a;
  std::string b;
  friend bool operator==(const BytePair&, const BytePair&) = default;
};

class BPETokenizer : public TokenizingModel {
 public:
  BPETokenizer(const hub::Config& tokenizerConfig, const hub::Config& tokenizerData, const AddedTokens& addedTokens);

  // The merge list: a string cut at every space (empty parts kept) or an array's strings; other
  // elements skipped. Nothing when the value is not an array.
  static std::optional<std::vector<std::vector<std::string>>> mergesFromConfig(const hub::Config& config);

  // The merged symbols of one piece joined by single spaces.
  std::string bpe(std::string_view token) const;
  std::vector<std::string> tokenize(std::string_view text) const override;
  // One "<0xNN>" token per UTF-8 byte.
  static std::vector<std::string> hexaEncode(std::string_view text);

  // The rank of a merge.
  std::optional<std::int64_t> rank(const BytePair& pair) const;

  std::optional<TokenId> convertTokenToId(std::string_view token) const override;
  std::optional<std::string> convertIdToToken(TokenId id) const override;
  bool fuseUnknownTokens() const override { return fuseUnknownTokens_; }

 private:
  // A symbol of the merge tables, by its text; -1 for a symbol no merge knows.
  using SymbolId = std::int32_t;
  using Merge = detail::PairTable::Value;
  struct Symbol {
    std::size_t begin;  // byte range in the piece
    std::size_t end;
    SymbolId id;
  };

  SymbolId symbolId(std::string_view text) const;
  SymbolId internSymbol(const std::string& text);
  const Merge* findMerge(SymbolId left, SymbolId right) const;
  std::vector<Symbol> initialSymbols(std::string_view token) const;
  std::vector<Symbol> merge(std::string_view token) const;
  void mergeByRescan(std::vector<Symbol>& symbols) const;
  void mergeWithHeap(std::vector<Symbol>& symbols) const;

  detail::StringMap<SymbolId> symbols_;                              // text => symbol
  std::vector<SymbolId> scalarSymbols_;                              // symbol of each scalar below U+0300
  detail::PairTable merges_;                                         // (left, right) symbols => merge
  detail::StringMap<TokenId> tokensToIds_;                           // exact text
  std::unordered_map<TokenId, std::string> idsToTokens_;
  bool fuseUnknownTokens_ = false;
};

}  // namespace tokenizers
