#include "Tokenizers/UnigramTokenizer.h"

#include <charconv>
#include <cmath>

#include "Hub/Config.h"
#include "Tokenizers/TokenizerError.h"
#include "Tokenizers/detail/Text.h"

namespace tokenizers {

// ---- Trie --------------------------------------------------------------------------------------

Trie::~Trie() {
  std::vector<std::unique_ptr<Node>> pending;
  for (auto& [key, child] : root_.children) pending.push_back(std::move(child));
  while (!pending.empty()) {
    std::unique_ptr<Node> node = std::move(pending.back());
    pending.pop_back();
    for (auto& [key, child] : node->children) pending.push_back(std::move(child));
  }
}

void Trie::insert(const std::vector<std::string_view>& scalars) {
  Node* node = &root_;
  for (std::string_view ch : scalars) {
    auto found = node->children.find(ch);
    if (found == node->children.end()) found = node->children.emplace(std::string(ch), std::make_unique<Node>()).first;
    node = found->second.get();
  }
  node->isLeaf = true;
}

std::vector<std::size_t> Trie::commonPrefixLengths(const std::vector<std::string_view>& scalars, std::size_t from) const {
  std::vector<std::size_t> lengths;
  const Node* node = &root_;
  for (std::size_t i = from; i < scalars.size(); ++i) {
    auto found = node->children.find(scalars[i]);
    if (found == node->children.end()) break;
    node = found->second.get();
    if (node->isLeaf) lengths.push_back(i - from + 1);
  }
  return lengths;
}

// ---- Lattice -----------------------------------------------------------------------------------

std::string TokenLatticeNode::description() const {
  // Shortest round-trip digits; decimal from 1e-4 up to 2^24, exponential outside:
  // -1.5 => "-1.5", 3 => "3.0", 0.00001 => "1e-05", 16777218 => "1.6777218e+07".
  auto number = [](float f) {
    char buffer[64];
    const float magnitude = std::fabs(f);
    const bool exponential = std::isfinite(f) && magnitude != 0 && (magnitude < 1e-4f || magnitude > 16777216.0f);
    auto result = std::to_chars(buffer, buffer + sizeof buffer, f,
                                exponential ? std::chars_format::scientific : std::chars_format::fixed);
    std::string s(buffer, result.ptr);
    if (std::isfinite(f) && !exponential && s.find('.') == std::string::npos) s += ".0";
    return s;
  };
  return "TokenLatticeNode(tokenId: " + std::to_string(tokenId) + ", startOffset: " + std::to_string(startOffset) +
         ", length: " + std::to_string(length) + ", score: " + number(score) +
         ", prev: " + (prev ? "true" : "false") + ", backtraceScore: " + number(backtraceScore);
}

TokenLattice::TokenLattice(std::string_view sentence, TokenId bosTokenId, TokenId eosTokenId)
    : sentence_(sentence), scalars_() {
  scalars_ = detail::scalars(sentence_);
  const std::size_t n = scalars_.size();
  beginNodes_.resize(n + 1);
  endNodes_.resize(n + 1);
  nodes_.push_back(TokenLatticeNode{bosTokenId, 0, 0, 0, std::nullopt, 0});
  nodes_.push_back(TokenLatticeNode{eosTokenId, n, 0, 0, std::nullopt, 0});
  beginNodes_[n].push_back(1);
  endNodes_[0].push_back(0);
}

void TokenLattice::insert(std::size_t startOffset, std::size_t length, float score, TokenId tokenId) {
  const std::size_t n = scalars_.size();
  if (startOffset > n || length > n - startOffset) return;
  nodes_.push_back(TokenLatticeNode{tokenId, startOffset, length, score, std::nullopt, 0});
  std::size_t index = nodes_.size() - 1;
  beginNodes_[startOffset].push_back(index);
  endNodes_[startOffset + length].push_back(index);
}

std::vector<TokenLatticeNode> TokenLattice::viterbi() {
  const std::size_t n = scalars_.size();
  for (std::size_t p = 0; p <= n; ++p) {
    if (beginNodes_[p].empty()) return {};
    for (std::size_t r : beginNodes_[p]) {
      nodes_[r].prev.reset();
      std::optional<std::size_t> best;
      float bestScore = 0;
      for (std::size_t l : endNodes_[p]) {
        float s = nodes_[l].backtraceScore + nodes_[r].score;
        if (!best || s > bestScore) {
          best = l;
          bestScore = s;
        }
      }
      if (best) {
        nodes_[r].prev = best;
        nodes_[r].backtraceScore = bestScore;
      }
    }
  }
  const TokenLatticeNode& root = nodes_[beginNodes_[n][0]];
  if (!root.prev) return {};
  std::vector<TokenLatticeNode> path;
  std::size_t node = *root.prev;
  while (nodes_[node].prev) {
    path.push_back(nodes_[node]);
    node = *nodes_[node].prev;
  }
  return std::vector<TokenLatticeNode>(path.rbegin(), path.rend());
}

std::vector<std::string> TokenLattice::tokens() {
  std::vector<std::string> out;
  for (const auto& node : viterbi()) {
    std::string piece;
    for (std::size_t i = node.startOffset; i < node.startOffset + node.length; ++i) piece.append(scalars_[i]);
    out.push_back(std::move(piece));
  }
  return out;
}

// ---- UnigramTokenizer --------------------------------------------------------------------------

UnigramTokenizer::UnigramTokenizer(const hub::Config& tokenizerConfig, const hub::Config& tokenizerData,
                                   const AddedTokens&) {
  const hub::Config& model = tokenizerData["model"];
  const auto* entries = model["vocab"].array();
  if (!entries) throw TokenizerError::missingVocab();
  vocab_.reserve(entries->size());
  for (const auto& entry : *entries) {
    const auto* pair = entry.array();
    if (!pair || pair->empty()) throw TokenizerError::malformedVocab();
    auto token = pair->front().string();
    auto score = pair->back().floating();
    if (!token || !score) throw TokenizerError::malformedVocab();
    vocab_.push_back(SentencePieceToken{*token, *score});
  }
  for (const auto& piece : vocab_)
    if (piece.score < minScore_) minScore_ = piece.score;

  auto unkId = model["unkId"].integer();
  if (!unkId || *unkId < 0 || *unkId >= static_cast<std::int64_t>(vocab_.size())) throw TokenizerError::malformedVocab();
  unknownPiece_ = SentencePieceToken{vocab_[static_cast<std::size_t>(*unkId)].token, minScore_ - 10};
  special_.unknown = unknownPiece_.token;
  special_.unknownId = *unkId;

  // A text listed twice keeps its first position.
  tokensToIds_.reserve(vocab_.size());
  for (std::size_t i = 0; i < vocab_.size(); ++i) tokensToIds_.try_emplace(vocab_[i].token, static_cast<TokenId>(i));
  special_.bos.emplace(1, ' ');  // always one space
  if (auto found = tokensToIds_.find(" "); found != tokensToIds_.end()) special_.bosId = found->second;
  special_.eos = tokenizerConfig["eosToken"].string();
  if (special_.eos)
    if (auto found = tokensToIds_.find(*special_.eos); found != tokensToIds_.end()) special_.eosId = found->second;

  for (const auto& piece : vocab_) trie_.insert(detail::scalars(piece.token));
}

std::vector<std::string> UnigramTokenizer::tokenize(std::string_view input) const {
  TokenLattice lattice(input, special_.bosId.value_or(0), special_.eosId.value_or(0));
  const auto scalars = detail::scalars(input);
  for (std::size_t p = 0; p < scalars.size(); ++p) {
    bool hasSingle = false;
    for (std::size_t length : trie_.commonPrefixLengths(scalars, p)) {
      const char* from = scalars[p].data();
      const char* to = scalars[p + length - 1].data() + scalars[p + length - 1].size();
      auto found = tokensToIds_.find(std::string_view(from, static_cast<std::size_t>(to - from)));
      if (found == tokensToIds_.end()) continue;
      const TokenId id = found->second;
      lattice.insert(p, length, vocab_[static_cast<std::size_t>(id)].score, id);
      if (length == 1) hasSingle = true;
    }
    if (!hasSingle) lattice.insert(p, 1, unknownPiece_.score, special_.unknownId.value_or(0));
  }
  return lattice.tokens();
}

std::optional<TokenId> UnigramTokenizer::convertTokenToId(std::string_view token) const {
  if (auto found = tokensToIds_.find(token); found != tokensToIds_.end()) return found->second;
  return special_.unknownId;
}

std::optional<std::string> UnigramTokenizer::convertIdToToken(TokenId id) const {
  if (id < 0 || id >= static_cast<TokenId>(vocab_.size())) return std::nullopt;
  return vocab_[static_cast<std::size_t>(id)].token;
}

}  // namespace tokenizers
