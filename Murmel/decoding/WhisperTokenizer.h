// The engine's only view of the text tokenizer: encoding, decoding, the ids of the special tokens
// and of all language tokens, and grouping a token sequence into words. `WhisperTokenizerWrapper`
// serves any tokenizers::Tokenizer; it is immutable after construction and as thread-safe as the
// tokenizer it wraps (the library's tokenizers are). Ids at or above `specialTokenBegin` are special,
// ids at or above `timeTokenBegin` timestamps ((id − timeTokenBegin) × 0.02 s).
//   WhisperTokenizerWrapper t(tokenizer);  t.specialTokens().endToken == 50257
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Tokenizers/Tokenizer.h"

namespace murmel {

struct SpecialTokens {
  std::int64_t endToken = 50257;                // "<|endoftext|>"
  std::int64_t englishToken = 50259;            // "<|en|>"
  std::int64_t noSpeechToken = 50362;           // "<|nospeech|>", else "<|nocaptions|>"
  std::int64_t noTimestampsToken = 50363;       // "<|notimestamps|>"
  std::int64_t specialTokenBegin = 50257;       // "<|endoftext|>" again
  std::int64_t startOfPreviousToken = 50361;    // "<|startofprev|>"
  std::int64_t startOfTranscriptToken = 50258;  // "<|startoftranscript|>"
  std::int64_t timeTokenBegin = 50364;          // "<|0.00|>"
  std::int64_t transcribeToken = 50359;         // "<|transcribe|>"
  std::int64_t translateToken = 50358;          // "<|translate|>"
  std::int64_t whitespaceToken = 220;           // " "

  friend bool operator==(const SpecialTokens&, const SpecialTokens&) = default;
};

struct WordTokens {
  std::vector<std::string> words;
  std::vector<std::vector<std::int64_t>> wordTokens;  // wordTokens[k] spell words[k]
};

class WhisperTokenizer {
 public:
  virtual ~WhisperTokenizer() = default;
  virtual std::vector<std::int64_t> encode(const std::string& text) const = 0;
  virtual std::string decode(const std::vector<std::int64_t>& tokens) const = 0;  // keeps special tokens
  virtual std::optional<std::int64_t> convertTokenToId(const std::string& token) const = 0;
  virtual std::optional<std::string> convertIdToToken(std::int64_t id) const = 0;
  virtual const SpecialTokens& specialTokens() const = 0;
  virtual const std::set<std::int64_t>& allLanguageTokens() const = 0;
  virtual WordTokens splitToWordTokens(const std::vector<std::int64_t>& tokenIds) const = 0;
};

class WhisperTokenizerWrapper : public WhisperTokenizer {
 public:
  // Looks the special texts up (fixed fallback ids for unknown texts) and collects the language
  // tokens "<|code|>" of Constants::languages() whose ids lie above specialTokenBegin.
  explicit WhisperTokenizerWrapper(std::shared_ptr<const tokenizers::Tokenizer> tokenizer,
                                   std::optional<std::filesystem::path> tokenizerFolder = std::nullopt);

  std::vector<std::int64_t> encode(const std::string& text) const override;
  std::string decode(const std::vector<std::int64_t>& tokens) const override;
  // Absent also when the tokenizer answers its unknown token's id for another text.
  std::optional<std::int64_t> convertTokenToId(const std::string& token) const override;
  std::optional<std::string> convertIdToToken(std::int64_t id) const override;
  const SpecialTokens& specialTokens() const override { return specialTokens_; }
  const std::set<std::int64_t>& allLanguageTokens() const override { return allLanguageTokens_; }
  // Per complete character run for text whose dominant script is Chinese, Japanese, Thai, Lao or
  // Burmese; otherwise per blank-separated word. Special tokens stay in and start words of their own.
  WordTokens splitToWordTokens(const std::vector<std::int64_t>& tokenIds) const override;

  const std::optional<std::filesystem::path>& tokenizerFolder() const { return tokenizerFolder_; }
  const tokenizers::Tokenizer& tokenizer() const { return *tokenizer_; }

  // Cuts where the decoded text holds no broken multi-byte character (U+FFFD that the full text
  // does not have at that place): [" Hel", "lo"] => [" Hel", "lo"]; ["\xC3", "\xA9"] => ["é"].
  WordTokens splitTokensOnUnicode(const std::vector<std::int64_t>& tokens) const;
  // Merges those pieces into words that start at a blank, a lone punctuation mark or a special
  // token: [" Hel", "lo", ",", " world"] => [" Hello", ",", " world"].
  WordTokens splitTokensOnSpaces(const std::vector<std::int64_t>& tokens) const;

 private:
  std::shared_ptr<const tokenizers::Tokenizer> tokenizer_;
  std::optional<std::filesystem::path> tokenizerFolder_;
  SpecialTokens specialTokens_;
  std::set<std::int64_t> allLanguageTokens_;
};

// The language code ("zh", "ja", "th", "lo", "my") of the script most letters of the text belong to,
// when that script is one the word grouping splits per character; absent otherwise.
std::optional<std::string> dominantUnsegmentedScript(std::string_view text);

}  // namespace murmel
