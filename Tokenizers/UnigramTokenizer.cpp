#include "Tokenizers/UnigramTokenizer.h"

#include <algorithm>
#include <stdexcept>

#include "Hub/Config.h"
#include "Tokenizers/TokenizerError.h"
#include "Tokenizers/detail/Text.h"
#include "platform/System/NumberText.h"

namespace tokenizers {

// ---- Trie --------------------------------------------------------------------------------------

Trie::Trie() : units_(1, Unit{-1, 0}), leaves_(1, Leaf{-1, 0}) {}

Trie::Trie(const std::vector<std::string_view>& texts, const std::vector<float>& scores) : Trie() {
  struct Slot {
    std::int32_t base = -1;   // -1 for a node without children
    std::int32_t check = -1;  // the parent's slot; -1 for a free slot
    std::int32_t id = -1;     // the text that ends here, -1 for none
  };
  std::vector<Slot> slots(1);
  slots[0].check = 0;
  // First as first-child / next-sibling lists with children in byte order, then placed breadth
  // first: each node takes the lowest base at which all its children's slots are free.
  struct Building {
    std::int32_t firstChild = -1, nextSibling = -1, id = -1;
    unsigned char label = 0;
  };
  std::vector<Building> built(1);  // 0 is the root
  std::int32_t rootChild[256];
  std::fill(std::begin(rootChild), std::end(rootChild), -1);
  for (std::size_t i = 0; i < texts.size(); ++i) {
    const std::string_view text = texts[i];
    if (text.empty()) continue;
    std::int32_t node = 0;
    for (char ch : text) {
      const auto byte = static_cast<unsigned char>(ch);
      std::int32_t child;
      std::int32_t previous = -1, at = node == 0 ? rootChild[byte] : built[static_cast<std::size_t>(node)].firstChild;
      if (node != 0)
        while (at >= 0 && built[static_cast<std::size_t>(at)].label < byte)
          previous = at, at = built[static_cast<std::size_t>(at)].nextSibling;
      if (at >= 0 && built[static_cast<std::size_t>(at)].label == byte) {
        child = at;
      } else {
        child = static_cast<std::int32_t>(built.size());
        built.push_back({-1, node == 0 ? -1 : at, -1, byte});
        if (node == 0) {
          rootChild[byte] = child;
        } else {
          (previous < 0 ? built[static_cast<std::size_t>(node)].firstChild
                        : built[static_cast<std::size_t>(previous)].nextSibling) = child;
        }
      }
      node = child;
    }
    auto& id = built[static_cast<std::size_t>(node)].id;
    if (id < 0) id = static_cast<std::int32_t>(i);
  }
  // The root's children as one sibling list, like any other node's.
  for (int byte = 255; byte >= 0; --byte)
    if (rootChild[byte] >= 0) {
      built[static_cast<std::size_t>(rootChild[byte])].nextSibling = built[0].firstChild;
      built[0].firstChild = rootChild[byte];
    }

  // From a taken slot i, every slot before skip[i] is taken too; the walk shortens the links it uses.
  std::vector<std::uint32_t> skip{1};
  auto freeFrom = [&](std::size_t i) {
    while (i < slots.size() && slots[i].check >= 0) {
      const std::size_t j = skip[i];
      if (j < slots.size() && slots[j].check >= 0) skip[i] = skip[j];
      i = j;
    }
    return i;
  };
  auto isFree = [&](std::size_t slot) { return slot >= slots.size() || slots[slot].check < 0; };
  // After this many candidate slots a node goes to the end of the array instead, which bounds the
  // search for nodes with many children among small holes.
  constexpr int kCandidates = 64;
  std::vector<unsigned char> labels;
  std::vector<std::pair<std::int32_t, std::int32_t>> queue{{0, 0}};  // (built node, slot)
  for (std::size_t next = 0; next < queue.size(); ++next) {
    const auto [node, slot] = queue[next];
    slots[static_cast<std::size_t>(slot)].id = built[static_cast<std::size_t>(node)].id;
    labels.clear();
    for (std::int32_t c = built[static_cast<std::size_t>(node)].firstChild; c >= 0;
         c = built[static_cast<std::size_t>(c)].nextSibling)
      labels.push_back(built[static_cast<std::size_t>(c)].label);
    if (labels.empty()) continue;
    std::size_t position = freeFrom(std::size_t{labels[0]} + 1);
    for (int tries = 0;; ++tries) {
      if (tries == kCandidates) position = std::max(position, slots.size());
      bool fits = true;
      for (std::size_t k = 1; k < labels.size() && fits; ++k) fits = isFree(position - labels[0] + labels[k]);
      if (fits) break;
      position = freeFrom(position + 1);
    }
    const std::size_t base = position - labels[0];
    if (base + 256 > static_cast<std::size_t>(INT32_MAX)) throw std::length_error("Unigram vocabulary too large");
    if (slots.size() < base + 256) {
      slots.resize(base + 256);
      const std::size_t from = skip.size();
      skip.resize(slots.size());
      for (std::size_t i = from; i < skip.size(); ++i) skip[i] = static_cast<std::uint32_t>(i + 1);
    }
    slots[static_cast<std::size_t>(slot)].base = static_cast<std::int32_t>(base);
    std::int32_t c = built[static_cast<std::size_t>(node)].firstChild;
    for (unsigned char label : labels) {
      slots[base + label].check = slot;
      queue.emplace_back(c, static_cast<std::int32_t>(base + label));
      c = built[static_cast<std::size_t>(c)].nextSibling;
    }
  }
  while (slots.size() > 1 && slots.back().check < 0) slots.pop_back();
  units_.resize(slots.size());
  leaves_.resize(slots.size(), Leaf{-1, 0});
  for (std::size_t i = 0; i < slots.size(); ++i) {
    const Slot& slot = slots[i];
    units_[i].base = slot.base;
    units_[i].check = slot.check < 0 ? kFree : static_cast<std::uint32_t>(slot.check) | (slot.id >= 0 ? kLeaf : 0);
    if (slot.id >= 0) leaves_[i] = Leaf{slot.id, scores[static_cast<std::size_t>(slot.id)]};
  }
  slots.clear();
  slots.shrink_to_fit();
}

void Trie::commonPrefixes(std::string_view text, std::vector<Match>& out) const {
  out.clear();
  const Unit* units = units_.data();
  const std::size_t count = units_.size();
  std::uint32_t at = 0;
  for (std::size_t k = 0; k < text.size(); ++k) {
    const std::int32_t base = units[at].base;
    if (base < 0) return;
    const std::size_t next = static_cast<std::size_t>(base) + static_cast<unsigned char>(text[k]);
    if (next >= count) return;
    const std::uint32_t check = units[next].check;
    if ((check & ~kLeaf) != at) return;
    at = static_cast<std::uint32_t>(next);
    if (check & kLeaf) out.push_back(Match{k + 1, leaves_[at].id, leaves_[at].score});
  }
}

std::optional<TokenId> Trie::find(std::string_view text) const {
  const Unit* units = units_.data();
  const std::size_t count = units_.size();
  std::uint32_t at = 0;
  for (char ch : text) {
    const std::int32_t base = units[at].base;
    if (base < 0) return std::nullopt;
    const std::size_t next = static_cast<std::size_t>(base) + static_cast<unsigned char>(ch);
    if (next >= count || (units[next].check & ~kLeaf) != at) return std::nullopt;
    at = static_cast<std::uint32_t>(next);
  }
  if (at == 0 || !(units[at].check & kLeaf)) return std::nullopt;
  return leaves_[at].id;
}

// ---- Lattice -----------------------------------------------------------------------------------

std::string TokenLatticeNode::description() const {
  // -1.5 => "-1.5", 3 => "3.0", 0.00001 => "1e-05", 16777218 => "1.6777218e+07".
  auto number = [](float f) { return platform::system::shortestText(f); };
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

  std::vector<std::string_view> texts;
  texts.reserve(vocab_.size());
  std::vector<float> scores;
  scores.reserve(vocab_.size());
  for (const auto& piece : vocab_) {
    texts.emplace_back(piece.token);
    scores.push_back(piece.score);
  }
  trie_ = Trie(texts, scores);
}

namespace {

// The lattice of one tokenize call over byte positions. Nodes ending at a position form a list in
// insertion order; the Viterbi step of a node runs as soon as it is inserted, since every node
// ending where it starts is in place by then.
struct LatticeBuffers {
  struct Node {
    std::uint32_t start, end;  // bytes
    std::int32_t prev;         // best predecessor, -1 for none
    std::int32_t nextEnding;   // the next node with the same end, -1 at the list's end
    float backtraceScore;
  };
  std::vector<Node> nodes;
  std::vector<std::int32_t> firstEnding, lastEnding;  // per position, -1 when empty
  std::vector<unsigned char> scalarStart;             // per position
  std::vector<Trie::Match> matches;
  std::vector<std::int32_t> path;

  // Buffers this large are given back after the call instead of kept for the thread's next one.
  static constexpr std::size_t kKeptPositions = std::size_t{1} << 16;
  void releaseIfLarge() {
    if (firstEnding.capacity() > kKeptPositions || nodes.capacity() > 4 * kKeptPositions) *this = LatticeBuffers();
  }
};

// The byte length of the scalar led by `c`, from the lead byte alone.
inline std::size_t scalarLength(unsigned char c) { return c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4; }

}  // namespace

std::vector<std::string> UnigramTokenizer::tokenize(std::string_view input) const {
  const std::size_t n = input.size();
  if (n == 0) return {};
  if (n >= std::size_t{1} << 31) throw std::length_error("Unigram model: a piece of 2 GiB or more");
  thread_local LatticeBuffers buffers;
  LatticeBuffers& b = buffers;
  auto& nodes = b.nodes;
  nodes.clear();
  b.firstEnding.assign(n + 1, -1);
  b.lastEnding.assign(n + 1, -1);
  b.scalarStart.assign(n + 1, 0);
  for (std::size_t i = 0; i < n; i += scalarLength(static_cast<unsigned char>(input[i]))) b.scalarStart[i] = 1;
  b.scalarStart[n] = 1;

  // Appends a node from `start` to `end` after its Viterbi step: the first node ending at `start`
  // with the strictly best total wins.
  auto insert = [&](std::size_t start, std::size_t end, float score) {
    std::int32_t best = -1;
    float bestScore = 0;
    for (std::int32_t l = b.firstEnding[start]; l >= 0; l = nodes[static_cast<std::size_t>(l)].nextEnding) {
      const float s = nodes[static_cast<std::size_t>(l)].backtraceScore + score;
      if (best < 0 || s > bestScore) best = l, bestScore = s;
    }
    const auto index = static_cast<std::int32_t>(nodes.size());
    nodes.push_back({static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(end), best, -1,
                     best >= 0 ? bestScore : 0.0f});
    if (end > n) return;
    if (b.lastEnding[end] < 0) {
      b.firstEnding[end] = index;
    } else {
      nodes[static_cast<std::size_t>(b.lastEnding[end])].nextEnding = index;
    }
    b.lastEnding[end] = index;
  };

  nodes.push_back({0, 0, -1, -1, 0.0f});  // the begin node
  b.firstEnding[0] = b.lastEnding[0] = 0;
  const float unknownScore = unknownPiece_.score;
  for (std::size_t p = 0; p < n; p += scalarLength(static_cast<unsigned char>(input[p]))) {
    const std::size_t single = std::min(scalarLength(static_cast<unsigned char>(input[p])), n - p);
    bool hasSingle = false;
    trie_.commonPrefixes(input.substr(p), b.matches);
    for (const Trie::Match& m : b.matches) {
      if (!b.scalarStart[p + m.length]) continue;  // ends inside a scalar of the text
      insert(p, p + m.length, m.score);
      if (m.length == single) hasSingle = true;
    }
    if (!hasSingle) insert(p, p + single, unknownScore);
  }
  insert(n, n + 1, 0.0f);  // the end node, kept out of the lists

  auto& path = b.path;
  path.clear();
  for (std::int32_t node = nodes.back().prev; node >= 0 && nodes[static_cast<std::size_t>(node)].prev >= 0;
       node = nodes[static_cast<std::size_t>(node)].prev)
    path.push_back(node);
  std::vector<std::string> tokens;
  tokens.reserve(path.size());
  for (auto it = path.rbegin(); it != path.rend(); ++it) {
    const auto& node = nodes[static_cast<std::size_t>(*it)];
    tokens.emplace_back(input.substr(node.start, node.end - node.start));
  }
  b.releaseIfLarge();
  return tokens;
}

std::optional<TokenId> UnigramTokenizer::convertTokenToId(std::string_view token) const {
  // The tree holds the same first ids as the map but for the empty text.
  if (!token.empty()) {
    if (auto id = trie_.find(token)) return id;
    return special_.unknownId;
  }
  if (auto found = tokensToIds_.find(token); found != tokensToIds_.end()) return found->second;
  return special_.unknownId;
}

std::optional<std::string> UnigramTokenizer::convertIdToToken(TokenId id) const {
  if (id < 0 || id >= static_cast<TokenId>(vocab_.size())) return std::nullopt;
  return vocab_[static_cast<std::size_t>(id)].token;
}

}  // namespace tokenizers
