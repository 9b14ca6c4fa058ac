// The Unigram (SentencePiece-style) vocabulary model ("XLMRobertaTokenizer"; "T5Tokenizer" through
// T5Tokenizer): a piece is cut into the vocabulary tokens whose scores sum to the maximum, found
// with a prefix tree of the vocabulary's bytes, a token lattice over the byte positions where the
// piece's scalars start, and a Viterbi pass. A position no one-scalar token covers gets an unknown node scored minScore - 10.
// Immutable after construction; thread-safe (each thread keeps its own lattice buffers).
// Construction throws TokenizerError (missingVocab, malformedVocab).
//   vocab <unk> 0, a -1, b -2, ab -2.5: "ab" => ["ab"]
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "Tokenizers/Tokenizer.h"
#include "Tokenizers/detail/Text.h"

namespace tokenizers {

// A prefix tree over the UTF-8 bytes of the vocabulary, compared exactly, as a double array: the
// child of the node in slot s under byte c sits in slot base(s) + c when that slot's check is s,
// so each step of a walk reads one slot. Built once, then read-only; a token many thousand bytes
// long is a chain of slots, not of heap nodes.
class Trie {
 public:
  struct Match {
    std::size_t length;  // in bytes
    TokenId id;
    float score;
  };

  Trie();
  // Text i gets id i and scores[i]; a text listed twice keeps its first id. The empty text is
  // never found.
  Trie(const std::vector<std::string_view>& texts, const std::vector<float>& scores);

  // Every inserted text that is a prefix of `text`, shortest first, into `out` (cleared first);
  // the walk ends at the first byte that leaves the tree.
  void commonPrefixes(std::string_view text, std::vector<Match>& out) const;
  // The id of exactly this text, none for a text not inserted or empty.
  std::optional<TokenId> find(std::string_view text) const;

 private:
  struct Unit {
    std::int32_t base;    // -1 for a node without children
    std::uint32_t check;  // the parent's slot, with kLeaf when a text ends here; kFree for a free slot
  };
  static constexpr std::uint32_t kLeaf = 0x80000000u;
  static constexpr std::uint32_t kFree = 0xFFFFFFFFu;
  std::vector<Unit> units_;       // slot 0 is the root
  struct Leaf {
    std::int32_t id;  // the text that ends here, -1 for none
    float score;
  };
  std::vector<Leaf> leaves_;  // per slot, beside each other so that a match reads one place
};

struct TokenLatticeNode {
  TokenId tokenId = 0;
  std::size_t startOffset = 0;  // in scalars
  std::size_t length = 0;       // in scalars
  float score = 0;
  std::optional<std::size_t> prev;  // index of the best predecessor in the lattice's nodes
  float backtraceScore = 0;
  // "TokenLatticeNode(tokenId: 3, startOffset: 0, length: 1, score: -1.0, prev: false, backtraceScore: 0.0"
  std::string description() const;
};

// A lattice over a sentence's scalars with nodes inserted one by one. UnigramTokenizer::tokenize
// runs the same pass over byte positions without building one.
class TokenLattice {
 public:
  TokenLattice(std::string_view sentence, TokenId bosTokenId, TokenId eosTokenId);
  // Positions outside 0...N are ignored.
  void insert(std::size_t startOffset, std::size_t length, float score, TokenId tokenId);
  // The best path from start to end, without the begin and end nodes.
  std::vector<TokenLatticeNode> viterbi();
  std::vector<std::string> tokens();

  const std::vector<TokenLatticeNode>& nodes() const { return nodes_; }

 private:
  std::string sentence_;
  std::vector<std::string_view> scalars_;
  std::vector<TokenLatticeNode> nodes_;
  std::vector<std::vector<std::size_t>> beginNodes_;
  std::vector<std::vector<std::size_t>> endNodes_;
};

class UnigramTokenizer : public TokenizingModel {
 public:
  struct SentencePieceToken {
    std::string token;
    float score = 0;
  };

  UnigramTokenizer(const hub::Config& tokenizerConfig, const hub::Config& tokenizerData, const AddedTokens& addedTokens);

  std::vector<std::string> tokenize(std::string_view text) const override;

  std::optional<TokenId> convertTokenToId(std::string_view token) const override;
  std::optional<std::string> convertIdToToken(TokenId id) const override;
  bool fuseUnknownTokens() const override { return true; }

  float minScore() const { return minScore_; }
  const SentencePieceToken& unknownPiece() const { return unknownPiece_; }

 private:
  std::vector<SentencePieceToken> vocab_;
  SentencePieceToken unknownPiece_;
  float minScore_ = 999;
  detail::StringMap<TokenId> tokensToIds_;  // exact text; a text listed twice keeps its first id
  Trie trie_;
};

// The T5 tokenizer is the Unigram model unchanged.
class T5Tokenizer : public UnigramTokenizer {
 public:
  using UnigramTokenizer::UnigramTokenizer;
};

}  // namespace tokenizers
