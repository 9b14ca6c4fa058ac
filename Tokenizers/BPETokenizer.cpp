#include "Tokenizers/BPETokenizer.h"

#include <algorithm>
#include <cstdio>
#include <queue>

#include "Hub/Config.h"
#include "Tokenizers/TokenizerError.h"
#include "Tokenizers/detail/Text.h"
#include "platform/Text/Unicode.h"

namespace tokenizers {

namespace {

std::vector<std::string> splitAtSpaces(std::string_view text, bool keepEmpty) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    std::size_t space = text.find(' ', start);
    std::string_view part = text.substr(start, space == std::string_view::npos ? std::string_view::npos : space - start);
    if (keepEmpty || !part.empty()) parts.emplace_back(part);
    if (space == std::string_view::npos) break;
    start = space + 1;
  }
  return parts;
}

std::optional<std::string> tokenText(const hub::Config& value) {
  if (auto s = value.string()) return s;
  return value["content"].string();
}

}  // namespace

std::optional<std::vector<std::vector<std::string>>> BPETokenizer::mergesFromConfig(const hub::Config& config) {
  const auto* elements = config.array();
  if (!elements) return std::nullopt;
  std::vector<std::vector<std::string>> merges;
  merges.reserve(elements->size());
  for (const auto& element : *elements) {
    if (auto s = element.string()) {
      merges.push_back(splitAtSpaces(*s, true));
    } else if (element.array()) {
      merges.push_back(element.stringArray({}));
    }
  }
  return merges;
}

BPETokenizer::SymbolId BPETokenizer::internSymbol(const std::string& text) {
  auto [it, inserted] = symbols_.try_emplace(text, static_cast<SymbolId>(symbols_.size()));
  return it->second;
}

BPETokenizer::BPETokenizer(const hub::Config& tokenizerConfig, const hub::Config& tokenizerData,
                           const AddedTokens& addedTokens) {
  const hub::Config& model = tokenizerData["model"];
  auto merges = mergesFromConfig(model["merges"]);
  if (!merges) throw TokenizerError::mismatchedConfig("BPETokenizer requires merges");
  const auto* vocab = model["vocab"].dictionary();
  if (!vocab) throw TokenizerError::missingVocab();

  tokensToIds_.reserve(vocab->size() + addedTokens.size());
  for (const auto& [text, value] : *vocab)
    if (auto id = value.integer()) tokensToIds_[text.utf8()] = *id;
  for (const auto& [text, id] : addedTokens) tokensToIds_[text] = id;

  // A merge of fewer than two parts is outside the format: skipped, its position unused. A merge
  // whose parts or result the vocabulary lacks would make tokens without ids: the file is broken.
  symbols_.reserve(merges->size() * 2);
  for (std::size_t i = 0; i < merges->size(); ++i) {
    const auto& parts = (*merges)[i];
    if (parts.size() < 2) continue;
    const std::string joined = parts[0] + parts[1];
    for (const std::string* token : {&parts[0], &parts[1], &joined}) {
      if (!tokensToIds_.count(*token))
        throw TokenizerError::mismatchedConfig("merge \"" + parts[0] + " " + parts[1] + "\" at model.merges[" +
                                               std::to_string(i) + "] names \"" + *token +
                                               "\", which is not in the vocabulary");
    }
    SymbolId left = internSymbol(parts[0]);
    SymbolId right = internSymbol(parts[1]);
    SymbolId merged = internSymbol(joined);
    merges_.insert(left, right, Merge{static_cast<std::int64_t>(i), merged});
  }

  scalarSymbols_.assign(0x300, -1);
  for (char32_t c = 0; c < 0x300; ++c) {
    std::string ch;
    platform::text::appendUtf8(ch, c);
    if (auto found = symbols_.find(ch); found != symbols_.end()) scalarSymbols_[c] = found->second;
  }

  // Several texts of one id: an added token's text wins, else the smallest text, so the choice
  // does not depend on hash order.
  for (const auto& [text, id] : tokensToIds_) {
    auto [it, inserted] = idsToTokens_.try_emplace(id, text);
    if (inserted || it->second == text) continue;
    auto isAdded = [&](const std::string& t) {
      auto found = addedTokens.find(t);
      return found != addedTokens.end() && found->second == id;
    };
    bool candidateAdded = isAdded(text), currentAdded = isAdded(it->second);
    if ((candidateAdded && !currentAdded) || (candidateAdded == currentAdded && text < it->second)) it->second = text;
  }

  auto lookup = [&](const std::optional<std::string>& token) -> std::optional<TokenId> {
    if (!token) return std::nullopt;
    auto found = tokensToIds_.find(*token);
    if (found == tokensToIds_.end()) return std::nullopt;
    return found->second;
  };
  special_.unknown = tokenText(tokenizerConfig["unkToken"]);
  special_.unknownId = lookup(special_.unknown);
  special_.eos = tokenText(tokenizerConfig["eosToken"]);
  special_.eosId = lookup(special_.eos);
  special_.bos = tokenText(tokenizerConfig["bosToken"]);
  special_.bosId = lookup(special_.bos);
  fuseUnknownTokens_ = tokenizerConfig["fuseUnk"].boolean(false);
}

BPETokenizer::SymbolId BPETokenizer::symbolId(std::string_view text) const {
  auto found = symbols_.find(text);
  return found == symbols_.end() ? -1 : found->second;
}

const BPETokenizer::Merge* BPETokenizer::findMerge(SymbolId left, SymbolId right) const {
  if (left < 0 || right < 0) return nullptr;
  return merges_.find(left, right);
}

std::optional<std::int64_t> BPETokenizer::rank(const BytePair& pair) const {
  const Merge* m = findMerge(symbolId(pair.a), symbolId(pair.b));
  if (!m) return std::nullopt;
  return m->rank;
}

// One symbol per scalar; below U+0300 the symbol comes from a table.
std::vector<BPETokenizer::Symbol> BPETokenizer::initialSymbols(std::string_view token) const {
  std::vector<Symbol> symbols;
  symbols.reserve(token.size());
  std::size_t i = 0;
  while (i < token.size()) {
    const std::size_t begin = i;
    const char32_t scalar = platform::text::nextScalar(token, i);
    const SymbolId id = scalar < 0x300 ? scalarSymbols_[scalar] : symbolId(token.substr(begin, i - begin));
    symbols.push_back(Symbol{begin, i, id});
  }
  return symbols;
}

// Rounds of "merge every occurrence of the lowest-ranked pair, left to right, without overlap".
std::vector<BPETokenizer::Symbol> BPETokenizer::merge(std::string_view token) const {
  platform::text::requireValidUtf8(token);
  std::vector<Symbol> symbols = initialSymbols(token);
  if (symbols.size() < 2) return symbols;
  // Short pieces (nearly all) rescan their pairs each round; long ones use a heap, O(n log n).
  if (symbols.size() <= 48) {
    mergeByRescan(symbols);
  } else {
    mergeWithHeap(symbols);
  }
  return symbols;
}

void BPETokenizer::mergeByRescan(std::vector<Symbol>& symbols) const {
  while (symbols.size() > 1) {
    const Merge* best = nullptr;
    SymbolId bestLeft = -1, bestRight = -1;
    for (std::size_t i = 0; i + 1 < symbols.size(); ++i) {
      const Merge* m = findMerge(symbols[i].id, symbols[i + 1].id);
      if (m && (!best || m->rank < best->rank)) {
        best = m;
        bestLeft = symbols[i].id;
        bestRight = symbols[i + 1].id;
      }
    }
    if (!best) return;
    std::size_t out = 0;
    for (std::size_t i = 0; i < symbols.size();) {
      if (i + 1 < symbols.size() && symbols[i].id == bestLeft && symbols[i + 1].id == bestRight) {
        symbols[out++] = Symbol{symbols[i].begin, symbols[i + 1].end, best->merged};
        i += 2;
      } else {
        symbols[out++] = symbols[i++];
      }
    }
    symbols.resize(out);
  }
}

// The same rounds driven by a heap of (rank, position): the entries of the lowest rank are merged
// in position order, skipping those whose pair has changed; pairs formed during a round join the
// heap when the round ends, as they would in the next rescan.
void BPETokenizer::mergeWithHeap(std::vector<Symbol>& symbols) const {
  const std::size_t n = symbols.size();
  std::vector<std::int64_t> next(n), prev(n);
  for (std::size_t i = 0; i < n; ++i) {
    next[i] = i + 1 < n ? static_cast<std::int64_t>(i + 1) : -1;
    prev[i] = static_cast<std::int64_t>(i) - 1;
  }
  std::vector<bool> alive(n, true);
  auto pairMerge = [&](std::int64_t left) -> const Merge* {
    std::int64_t right = next[left];
    return right < 0 ? nullptr : findMerge(symbols[left].id, symbols[right].id);
  };

  using Entry = std::pair<std::int64_t, std::int64_t>;  // (rank, left position)
  std::priority_queue<Entry, std::vector<Entry>, std::greater<>> heap;
  for (std::size_t i = 0; i + 1 < n; ++i)
    if (const Merge* m = pairMerge(static_cast<std::int64_t>(i))) heap.emplace(m->rank, static_cast<std::int64_t>(i));
  auto valid = [&](const Entry& e) {
    if (!alive[e.second]) return false;
    const Merge* m = pairMerge(e.second);
    return m && m->rank == e.first;
  };

  std::vector<std::int64_t> formed;
  while (!heap.empty()) {
    Entry top = heap.top();
    heap.pop();
    if (!valid(top)) continue;
    const std::int64_t rank = top.first;
    formed.clear();
    auto apply = [&](std::int64_t left) {
      const Merge* m = pairMerge(left);
      std::int64_t right = next[left];
      symbols[left].end = symbols[right].end;
      symbols[left].id = m->merged;
      alive[right] = false;
      next[left] = next[right];
      if (next[right] >= 0) prev[next[right]] = left;
      if (prev[left] >= 0) formed.push_back(prev[left]);
      formed.push_back(left);
    };
    apply(top.second);
    while (!heap.empty() && heap.top().first == rank) {
      Entry e = heap.top();
      heap.pop();
      if (valid(e)) apply(e.second);
    }
    for (std::int64_t left : formed)
      if (alive[left])
        if (const Merge* m = pairMerge(left)) heap.emplace(m->rank, left);
  }

  std::vector<Symbol> out;
  for (std::int64_t i = 0; i >= 0; i = next[i]) out.push_back(symbols[i]);
  symbols = std::move(out);
}

std::string BPETokenizer::bpe(std::string_view token) const {
  std::string out;
  for (const auto& s : merge(token)) {
    if (!out.empty()) out.push_back(' ');
    out.append(token.substr(s.begin, s.end - s.begin));
  }
  return out;
}

std::vector<std::string> BPETokenizer::tokenize(std::string_view text) const {
  std::vector<std::string> tokens;
  auto emit = [&](std::string_view part) {
    auto found = tokensToIds_.find(part);
    if (found != tokensToIds_.end() && (!special_.unknownId || found->second != *special_.unknownId)) {
      tokens.emplace_back(part);
    } else {
      for (auto& t : hexaEncode(part)) tokens.push_back(std::move(t));
    }
  };
  for (const auto& s : merge(text)) {
    std::string_view symbol = text.substr(s.begin, s.end - s.begin);
    if (symbol.find(' ') == std::string_view::npos) {
      emit(symbol);
      continue;
    }
    // A space inside a merged symbol ends a part and is dropped.
    for (const auto& part : splitAtSpaces(symbol, false)) emit(part);
  }
  return tokens;
}

// The GPT-2 split that this fallback applies first matches every character, so its matches cover
// the text in order and the result is simply every byte.
std::vector<std::string> BPETokenizer::hexaEncode(std::string_view text) {
  std::vector<std::string> out;
  out.reserve(text.size());
  char buffer[8];
  for (char c : text) {
    std::snprintf(buffer, sizeof buffer, "<0x%02X>", static_cast<unsigned>(static_cast<unsigned char>(c)));
    out.emplace_back(buffer);
  }
  return out;
}

std::optional<TokenId> BPETokenizer::convertTokenToId(std::string_view token) const {
  auto found = tokensToIds_.find(token);
  if (found != tokensToIds_.end()) return found->second;
  return special_.unknownId;
}

std::optional<std::string> BPETokenizer::convertIdToToken(TokenId id) const {
  auto found = idsToTokens_.find(id);
  if (found == idsToTokens_.end()) return std::nullopt;
  return found->second;
}

}  // namespace tokenizers
