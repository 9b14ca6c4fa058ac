// A byte-level tokenizer for engine tests: each id spells a fixed byte string; decoding joins the
// bytes (broken UTF-8 stays broken, as a byte-level decoder leaves it). Unknown ids decode to "".
#pragma once

#include <map>
#include <string>
#include <vector>

#include "Tokenizers/Tokenizer.h"

namespace murmel::testing {

class FakeTokenizer : public tokenizers::Tokenizer {
 public:
  explicit FakeTokenizer(std::map<tokenizers::TokenId, std::string> pieces) : pieces_(std::move(pieces)) {}

  std::vector<std::string> tokenize(std::string_view) const override { return {}; }
  std::vector<tokenizers::TokenId> encode(std::string_view text) const override { return encode(text, true); }
  std::vector<tokenizers::TokenId> encode(std::string_view text, bool) const override {
    for (const auto& [id, piece] : pieces_)
      if (piece == text) return {id};
    return {};
  }
  using tokenizers::Tokenizer::decode;
  std::string decode(const std::vector<tokenizers::TokenId>& tokens, bool) const override {
    std::string out;
    for (auto id : tokens)
      if (auto it = pieces_.find(id); it != pieces_.end()) out += it->second;
    return out;
  }
  std::optional<tokenizers::TokenId> convertTokenToId(std::string_view token) const override {
    for (const auto& [id, piece] : pieces_)
      if (piece == token) return id;
    return std::nullopt;
  }
  std::optional<std::string> convertIdToToken(tokenizers::TokenId id) const override {
    if (auto it = pieces_.find(id); it != pieces_.end()) return it->second;
    return std::nullopt;
  }
  std::optional<std::string> bosToken() const override { return std::nullopt; }
  std::optional<tokenizers::TokenId> bosTokenId() const override { return std::nullopt; }
  std::optional<std::string> eosToken() const override { return std::nullopt; }
  std::optional<tokenizers::TokenId> eosTokenId() const override { return std::nullopt; }
  std::optional<std::string> unknownToken() const override { return std::nullopt; }
  std::optional<tokenizers::TokenId> unknownTokenId() const override { return std::nullopt; }

 private:
  std::map<tokenizers::TokenId, std::string> pieces_;
};

}  // namespace murmel::testing
