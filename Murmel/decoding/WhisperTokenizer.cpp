#include "Murmel/decoding/WhisperTokenizer.h"

#include <unicode/uchar.h>
#include <unicode/uscript.h>

#include <map>

#include "Murmel/data/Constants.h"
#include "platform/Text/Unicode.h"

namespace murmel {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// The id of a token text; absent when the tokenizer only answers its unknown token's id for it.
std::optional<std::int64_t> knownId(const tokenizers::Tokenizer& tokenizer, std::string_view text) {
  auto id = tokenizer.convertTokenToId(text);
  if (id && id == tokenizer.unknownTokenId() && tokenizer.unknownToken() != std::optional<std::string>(text)) return std::nullopt;
  return id;
}

std::int64_t lookup(const tokenizers::Tokenizer& tokenizer, const char* text, std::int64_t fallback) {
  return knownId(tokenizer, text).value_or(fallback);
}

// The scalars of decoded text; broken byte sequences count as U+FFFD each.
std::vector<char32_t> scalarsOf(const std::string& text) {
  return platform::text::scalars(platform::text::repairUtf8(text));
}

bool isWhitespace(char32_t c) { return c == U' ' || c == U'\t' || (c != U'\n' && c != U'\r' && u_charType(c) == U_SPACE_SEPARATOR); }

// Older tokenizer files name the no-speech token "<|nocaptions|>"; in an English-only vocabulary
// it sits one below the multilingual id, where the fallback would name "<|notimestamps|>".
std::int64_t noSpeechId(const tokenizers::Tokenizer& tokenizer) {
  if (auto id = knownId(tokenizer, "<|nospeech|>")) return *id;
  return lookup(tokenizer, "<|nocaptions|>", 50362);
}

}  // namespace

WhisperTokenizerWrapper::WhisperTokenizerWrapper(std::shared_ptr<const tokenizers::Tokenizer> tokenizer,
                                                 std::optional<std::filesystem::path> tokenizerFolder)
    : tokenizer_(std::move(tokenizer)), tokenizerFolder_(std::move(tokenizerFolder)) {
  const auto& t = *tokenizer_;
  specialTokens_ = SpecialTokens{
      lookup(t, "<|endoftext|>", 50257),   lookup(t, "<|en|>", 50259),         noSpeechId(t),
      lookup(t, "<|notimestamps|>", 50363), lookup(t, "<|endoftext|>", 50257), lookup(t, "<|startofprev|>", 50361),
      lookup(t, "<|startoftranscript|>", 50258), lookup(t, "<|0.00|>", 50364), lookup(t, "<|transcribe|>", 50359),
      lookup(t, "<|translate|>", 50358),    lookup(t, " ", 220)};
  for (const auto& [name, code] : Constants::languages()) {
    auto id = knownId(t, "<|" + code + "|>");
    if (id && *id > specialTokens_.specialTokenBegin) allLanguageTokens_.insert(*id);
  }
}

std::vector<std::int64_t> WhisperTokenizerWrapper::encode(const std::string& text) const { return tokenizer_->encode(text); }

std::string WhisperTokenizerWrapper::decode(const std::vector<std::int64_t>& tokens) const { return tokenizer_->decode(tokens); }

std::optional<std::int64_t> WhisperTokenizerWrapper::convertTokenToId(const std::string& token) const {
  return knownId(*tokenizer_, token);
}

std::optional<std::string> WhisperTokenizerWrapper::convertIdToToken(std::int64_t id) const {
  return tokenizer_->convertIdToToken(id);
}

WordTokens WhisperTokenizerWrapper::splitTokensOnUnicode(const std::vector<std::int64_t>& tokens) const {
  WordTokens out;
  if (tokens.empty()) return out;
  const auto full = scalarsOf(decode(tokens));
  std::size_t emitted = 0;  // scalars of the words already cut off
  std::vector<std::int64_t> current;
  for (auto token : tokens) {
    current.push_back(token);
    const std::string decoded = decode(current);
    const auto scalars = scalarsOf(decoded);
    std::size_t broken = 0;
    while (broken < scalars.size() && scalars[broken] != kReplacement) ++broken;
    // A U+FFFD that the full text also has at that place is a real character, not a cut one.
    const std::size_t position = emitted + broken;
    if (broken == scalars.size() || (position < full.size() && full[position] == kReplacement)) {
      emitted += scalars.size();
      out.words.push_back(platform::text::repairUtf8(decoded));
      out.wordTokens.push_back(std::move(current));
      current.clear();
    }
  }
  return out;
}

WordTokens WhisperTokenizerWrapper::splitTokensOnSpaces(const std::vector<std::int64_t>& tokens) const {
  WordTokens pieces = splitTokensOnUnicode(tokens);
  WordTokens out;
  for (std::size_t i = 0; i < pieces.words.size(); ++i) {
    const std::string& subword = pieces.words[i];
    const auto& subwordTokens = pieces.wordTokens[i];
    const bool special = subwordTokens.front() >= specialTokens_.specialTokenBegin;
    const bool withSpace = !subword.empty() && subword.front() == ' ';
    auto scalars = platform::text::scalars(subword);
    std::size_t begin = 0, end = scalars.size();
    while (begin < end && isWhitespace(scalars[begin])) ++begin;
    while (end > begin && isWhitespace(scalars[end - 1])) --end;
    const bool punctuation = end - begin == 1 && platform::text::isPunctuation(scalars[begin]);
    if (special || withSpace || punctuation || out.words.empty()) {
      out.words.push_back(subword);
      out.wordTokens.push_back(subwordTokens);
    } else {
      out.words.back() += subword;
      out.wordTokens.back().insert(out.wordTokens.back().end(), subwordTokens.begin(), subwordTokens.end());
    }
  }
  return out;
}

WordTokens WhisperTokenizerWrapper::splitToWordTokens(const std::vector<std::int64_t>& tokenIds) const {
  std::vector<std::int64_t> text;
  for (auto id : tokenIds)
    if (id < specialTokens_.specialTokenBegin) text.push_back(id);
  if (dominantUnsegmentedScript(decode(text))) return splitTokensOnUnicode(tokenIds);
  return splitTokensOnSpaces(tokenIds);
}

std::optional<std::string> dominantUnsegmentedScript(std::string_view text) {
  // Counts letters per script; Han with kana reads as Japanese, Han alone as Chinese.
  std::map<UScriptCode, std::size_t> counts;
  for (char32_t c : platform::text::scalars(platform::text::repairUtf8(text))) {
    if (!u_isalpha(c)) continue;
    UErrorCode status = U_ZERO_ERROR;
    const UScriptCode script = uscript_getScript(static_cast<UChar32>(c), &status);
    if (U_SUCCESS(status) && script != USCRIPT_COMMON && script != USCRIPT_INHERITED) ++counts[script];
  }
  if (counts.empty()) return std::nullopt;
  const std::size_t kana = counts[USCRIPT_HIRAGANA] + counts[USCRIPT_KATAKANA];
  const std::size_t cjk = counts[USCRIPT_HAN] + kana;
  UScriptCode best = USCRIPT_INVALID_CODE;
  std::size_t bestCount = 0;
  for (const auto& [script, count] : counts) {
    const bool isCjk = script == USCRIPT_HAN || script == USCRIPT_HIRAGANA || script == USCRIPT_KATAKANA;
    const std::size_t n = isCjk ? cjk : count;
    if (n > bestCount) best = isCjk ? USCRIPT_HAN : script, bestCount = n;
  }
  switch (best) {
    case USCRIPT_HAN: return kana > 0 ? "ja" : "zh";
    case USCRIPT_THAI: return "th";
    case USCRIPT_LAO: return "lo";
    case USCRIPT_MYANMAR: return "my";
    default: return std::nullopt;
  }
}

}  // namespace murmel
