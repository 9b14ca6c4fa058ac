#include "Tokenizers/BertTokenizer.h"

#include <algorithm>
#include <unordered_set>

#include "Hub/Config.h"
#include "Tokenizers/TokenizerError.h"
#include "Tokenizers/detail/Text.h"
#include "platform/Text/Unicode.h"

namespace tokenizers {

namespace text = platform::text;

void CanonicalVocabulary::assign(std::string_view t, TokenId id) { ids_[detail::canonicalKey(t)] = id; }

std::optional<TokenId> CanonicalVocabulary::find(std::string_view t) const {
  auto found = detail::isBelowCombiningMarks(t) ? ids_.find(std::string(t)) : ids_.find(detail::canonicalKey(t));
  if (found == ids_.end()) return std::nullopt;
  return found->second;
}

// ---- BasicTokenizer ----------------------------------------------------------------------------

const std::vector<std::string>& BasicTokenizer::neverSplit() {
  static const std::vector<std::string> list{"[UNK]", "[SEP]", "[PAD]", "[CLS]", "[MASK]"};
  return list;
}

namespace {

// The platform's white-space set of this splitter: general category Zs and CHARACTER TABULATION.
bool cutsWords(char32_t c) { return c == U'\t' || text::generalCategory(c) == text::GeneralCategory::Zs; }

bool isPunctuationCharacter(std::string_view ch) {
  char32_t c = detail::firstScalar(ch);
  return text::isPunctuation(c) || detail::isAsciiPunctuation(c);
}

}  // namespace

std::vector<std::string> BasicTokenizer::tokenize(std::string_view input) const {
  std::string folded = doLowerCase_ ? detail::withoutNonSpacingMarks(input) : std::string(input);
  std::vector<std::string> components;
  {
    std::string current;
    std::size_t offset = 0;
    while (offset < folded.size()) {
      std::size_t begin = offset;
      char32_t c = text::nextScalar(folded, offset);
      if (cutsWords(c)) {
        components.push_back(std::move(current));
        current.clear();
      } else {
        current.append(folded, begin, offset - begin);
      }
    }
    components.push_back(std::move(current));
  }
  std::vector<std::string> words;
  const auto& never = neverSplit();
  for (auto& component : components) {
    if (component.empty()) continue;
    if (std::find(never.begin(), never.end(), component) != never.end()) {
      words.push_back(component);
      continue;
    }
    std::string word = doLowerCase_ ? text::lowercased(component) : component;
    std::string current;
    for (std::string_view ch : detail::scalars(word)) {
      if (isPunctuationCharacter(ch)) {
        if (!current.empty()) words.push_back(std::move(current));
        current.clear();
        words.emplace_back(ch);
      } else {
        current.append(ch);
      }
    }
    if (!current.empty()) words.push_back(std::move(current));
  }
  return words;
}

// ---- WordpieceTokenizer ------------------------------------------------------------------------

std::vector<std::string> WordpieceTokenizer::tokenize(std::string_view word) const {
  auto chars = detail::scalars(word);
  if (chars.size() > maxInputCharsPerWord) return {std::string(unkToken)};
  if (chars.empty()) return {};
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (start < chars.size()) {
    std::size_t end = chars.size();
    std::string candidate;
    while (true) {
      const char* from = chars[start].data();
      const char* to = chars[end - 1].data() + chars[end - 1].size();
      candidate = start > 0 ? "##" + std::string(from, to) : std::string(from, to);
      if (vocab_.contains(candidate)) break;
      --end;
      if (end <= start) return {std::string(unkToken)};
    }
    pieces.push_back(std::move(candidate));
    start = end;
  }
  return pieces;
}

// ---- BertTokenizer -----------------------------------------------------------------------------

BertTokenizer::BertTokenizer(std::unordered_map<std::string, TokenId> vocab, std::optional<std::vector<std::string>>,
                             bool tokenizeChineseChars, std::optional<std::string> bosToken,
                             std::optional<std::string> eosToken, bool fuseUnknownTokens, bool doLowerCase)
    : basicTokenizer_(doLowerCase),
      wordpieceTokenizer_(vocab_),
      tokenizeChineseChars_(tokenizeChineseChars),
      fuseUnknownTokens_(fuseUnknownTokens) {
  // Canonically equivalent texts share one entry; visiting in text order makes the winner (the
  // greatest text) independent of hash order. Several texts of one id: the smallest text.
  std::vector<std::pair<std::string, TokenId>> entries(vocab.begin(), vocab.end());
  std::sort(entries.begin(), entries.end());
  for (const auto& [t, id] : entries) {
    vocab_.assign(t, id);
    idsToTokens_.try_emplace(id, t);
  }
  special_.bos = std::move(bosToken);
  special_.eos = std::move(eosToken);
  if (special_.bos) special_.bosId = vocab_.find(*special_.bos);
  if (special_.eos) special_.eosId = vocab_.find(*special_.eos);
  special_.unknown = std::string(WordpieceTokenizer::unkToken);
  special_.unknownId = vocab_.find(WordpieceTokenizer::unkToken);
}

namespace {

// Added texts replace the entries they are canonically equivalent to, not only the exact ones,
// since the vocabulary compares by canonical equivalence.
void overlay(std::unordered_map<std::string, TokenId>& vocab, const std::unordered_map<std::string, TokenId>& layer) {
  if (layer.empty()) return;
  std::unordered_set<std::string> keys;
  for (const auto& [t, id] : layer) keys.insert(detail::canonicalKey(t));
  for (auto it = vocab.begin(); it != vocab.end();) {
    const bool below = detail::isBelowCombiningMarks(it->first);
    const bool equivalent = below ? keys.count(it->first) > 0 : keys.count(detail::canonicalKey(it->first)) > 0;
    if (equivalent && !layer.count(it->first)) {
      it = vocab.erase(it);
    } else {
      ++it;
    }
  }
  for (const auto& [t, id] : layer) vocab[t] = id;
}

std::unordered_map<std::string, TokenId> vocabularyOf(const hub::Config& tokenizerData, const AddedTokens& addedTokens) {
  const auto* vocab = tokenizerData["model"]["vocab"].dictionary();
  if (!vocab) throw TokenizerError::missingVocab();
  std::unordered_map<std::string, TokenId> out;
  out.reserve(vocab->size());
  for (const auto& [t, value] : *vocab)
    if (auto id = value.integer()) out[t.utf8()] = *id;
  if (const auto* added = tokenizerData["addedTokens"].array()) {
    std::unordered_map<std::string, TokenId> collected;
    for (const auto& entry : *added) {
      auto id = entry["id"].integer();
      auto content = entry["content"].string();
      if (id && content) collected[*content] = *id;
    }
    overlay(out, collected);
  }
  overlay(out, addedTokens);
  return out;
}

}  // namespace

BertTokenizer::BertTokenizer(const hub::Config& tokenizerConfig, const hub::Config& tokenizerData,
                             const AddedTokens& addedTokens)
    : BertTokenizer(vocabularyOf(tokenizerData, addedTokens), tokenizerData["model"]["merges"].stringArray(),
                    tokenizerConfig["handleChineseChars"].boolean(true), tokenizerConfig["bosToken"].string(),
                    tokenizerConfig["eosToken"].string(), tokenizerConfig["fuseUnk"].boolean(false),
                    tokenizerConfig["doLowerCase"].boolean(true)) {}

std::string BertTokenizer::tokenizeChineseCharsIfNeed(std::string_view input) const {
  if (!tokenizeChineseChars_) return std::string(input);
  std::string out;
  out.reserve(input.size());
  for (std::string_view ch : detail::scalars(input)) {
    if (detail::isChineseIdeograph(detail::firstScalar(ch))) {
      out.push_back(' ');
      out.append(ch);
      out.push_back(' ');
    } else {
      out.append(ch);
    }
  }
  return out;
}

std::vector<std::string> BertTokenizer::tokenize(std::string_view input) const {
  std::vector<std::string> tokens;
  for (const auto& word : basicTokenizer_.tokenize(tokenizeChineseCharsIfNeed(input)))
    for (auto& piece : wordpieceTokenizer_.tokenize(word)) tokens.push_back(std::move(piece));
  return tokens;
}

std::optional<TokenId> BertTokenizer::convertTokenToId(std::string_view token) const {
  if (auto id = vocab_.find(token)) return id;
  return unknownTokenId();
}

std::optional<std::string> BertTokenizer::convertIdToToken(TokenId id) const {
  auto found = idsToTokens_.find(id);
  if (found == idsToTokens_.end()) return std::nullopt;
  return found->second;
}

}  // namespace tokenizers
