// The Unigram (SentencePiece-style) vocabulary model ("XLMRobertaTokenizer"; "T5Tokenizer" through
// T5Tokenizer): a piece is cut into the vocabulary tokens whose scores sum to the maximum, found
// with a prefix tree of the vocabulary's scalars, a token lattice and a Viterbi pass. A position
// no one-scalar token covers gets an unknown node scored minScore - 10. Immutable
// after construction; thread-safe. Construction throws TokenizerError (missingVocab, malformedVocab).
//   vocab <unk> 0, a -1, b -2, ab -2.5: "ab" => ["ab"]
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "Tokenizers/Tokenizer.h"
#include "Tokenizers/detail/Text.h"

namespace tokenizers {

// A prefix tree over scalars, compared exactly.
class Trie {
 public:
  struct Node {
    bool isLeaf = false;
    detail::StringMap<std::unique_ptr<Node>> children;  // by the scalar's UTF-8 bytes
  };

  Trie() = default;
  Trie(Trie&&) = default;
  // Frees the nodes without recursion: a vocabulary token of many thousand characters is a chain
  // as deep as it is long.
  ~Trie();

  void insert(const std::vector<std::string_view>& scalars);
  template <class Range>
  void append(const Range& sequences) {
    for (const auto& s : sequences) insert(s);
  }
  // Every prefix of scalars[from...] that was inserted, shortest first, as a count of scalars;
  // the walk ends at the first scalar that leaves the tree.
  std::vector<std::size_t> commonPrefixLengths(const std::vector<std::string_view>& scalars, std::size_t from) const;
  const Node& root() const { return root_; }

 private:
  Node root_;
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
