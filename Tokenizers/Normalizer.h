// Normalizers rewrite a text section before it is pre-tokenized. NormalizerFactory::fromConfig
// builds one from the "normalizer" object of "tokenizer.json" by its "type"; nullptr for a null
// configuration or one without a string "type"; StageConfigurationError for one it cannot build.
// StringReplacePattern is the replacement rule shared with the replace decoder. A normalizer's
// output is bounded by 16 times its input plus 4 KiB (a Sequence's, by that of the text it was
// given): past it, normalize throws TokenizerError::tooLong rather than growing without end.
// Immutable after construction, usable from several threads; texts must be well-formed UTF-8.
//   Bert: "Héllo\tWORLD" => "hello world";  Precompiled: "a\u200Bb" => "a b"
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Text/Regex.h"

namespace hub {
class Config;
}

namespace tokenizers {

class StringReplacePattern {
 public:
  enum class Kind { regexp, string };

  static StringReplacePattern regexp(platform::text::Regex regex, std::string replacement);
  static StringReplacePattern string(std::string pattern, std::string replacement);
  // "content" (the replacement) and "pattern" with "String" or "Regex"; nothing when either is
  // missing. A "Regex" that does not compile throws StageConfigurationError.
  static std::optional<StringReplacePattern> from(const hub::Config& config);

  Kind kind() const { return kind_; }
  // Literal: every occurrence, left to right without overlaps. Regex: every match, the
  // replacement read as a template ("$1" a capture group, "\" escapes the next character).
  std::string apply(std::string_view text) const;
  // The same, or nothing once the result would be longer than maxBytes.
  std::optional<std::string> apply(std::string_view text, std::size_t maxBytes) const;

 private:
  StringReplacePattern(Kind kind, std::string pattern, std::optional<platform::text::Regex> regex, std::string replacement);
  Kind kind_;
  std::string pattern_;
  std::optional<platform::text::Regex> regex_;
  std::string replacement_;
};

class Normalizer {
 public:
  virtual ~Normalizer() = default;
  std::string normalize(std::string_view text) const { return normalizeWithin(text, outputBound(text.size())); }
  std::string operator()(std::string_view text) const { return normalize(text); }

  // The longest output allowed for an input of this many bytes.
  static std::size_t outputBound(std::size_t inputBytes);
  // The normalized text, never longer than maxBytes: TokenizerError::tooLong instead.
  virtual std::string normalizeWithin(std::string_view text, std::size_t maxBytes) const = 0;

 protected:
  // The output when it is within the bound; throws tooLong otherwise.
  static std::string within(std::string output, std::size_t maxBytes);
  [[noreturn]] static void throwTooLong(std::size_t maxBytes);
};

struct NormalizerFactory {
  static std::unique_ptr<Normalizer> fromConfig(const hub::Config& config);
};

class NormalizerSequence : public Normalizer {
 public:
  explicit NormalizerSequence(const hub::Config& config);
  std::string normalizeWithin(std::string_view text, std::size_t maxBytes) const override;

 private:
  std::vector<std::unique_ptr<Normalizer>> normalizers_;
};

// "" => "▁" with prepend "▁"
class PrependNormalizer : public Normalizer {
 public:
  explicit PrependNormalizer(const hub::Config& config);
  std::string normalizeWithin(std::string_view text, std::size_t maxBytes) const override;

 private:
  std::string prepend_;
};

class ReplaceNormalizer : public Normalizer {
 public:
  explicit ReplaceNormalizer(const hub::Config& config);
  std::string normalizeWithin(std::string_view text, std::size_t maxBytes) const override;

 private:
  std::optional<StringReplacePattern> pattern_;
};

class LowercaseNormalizer : public Normalizer {
 public:
  LowercaseNormalizer() = default;
  explicit LowercaseNormalizer(const hub::Config&) {}
  std::string normalizeWithin(std::string_view text, std::size_t maxBytes) const override;
};

// "NFD", "NFC", "NFKD", "NFKC"; "StripAccents" is NFKC as well (no marks are removed).
class UnicodeFormNormalizer : public Normalizer {
 public:
  enum class Form { nfd, nfc, nfkd, nfkc };
  explicit UnicodeFormNormalizer(Form form) : form_(form) {}
  std::string normalizeWithin(std::string_view text, std::size_t maxBytes) const override;
  Form form() const { return form_; }

 private:
  Form form_;
};

class BertNormalizer : public Normalizer {
 public:
  explicit BertNormalizer(const hub::Config& config);
  std::string normalizeWithin(std::string_view text, std::size_t maxBytes) const override;

  bool shouldCleanText() const { return shouldCleanText_; }
  bool shouldHandleChineseChars() const { return shouldHandleChineseChars_; }
  bool shouldStripAccents() const { return shouldStripAccents_; }
  bool shouldLowercase() const { return shouldLowercase_; }

 private:
  bool shouldCleanText_ = true;           // tab, line feed, carriage return to a space; NUL, U+FFFD, other Cc, Cf, Co dropped
  bool shouldHandleChineseChars_ = true;  // a space on each side of an ideograph
  bool shouldStripAccents_ = true;        // NFD without non-spacing marks (Mn); defaults to shouldLowercase
  bool shouldLowercase_ = true;
};

// The SentencePiece-style cleaning: control characters dropped, separators to a space, then NFKC
// (a fullwidth tilde survives, runs of it shrink to one). The stored character map is not used.
class PrecompiledNormalizer : public Normalizer {
 public:
  PrecompiledNormalizer() = default;
  explicit PrecompiledNormalizer(const hub::Config&) {}
  std::string normalizeWithin(std::string_view text, std::size_t maxBytes) const override;
};

// "  hi \n" => "hi"
class StripNormalizer : public Normalizer {
 public:
  explicit StripNormalizer(const hub::Config& config);
  std::string normalizeWithin(std::string_view text, std::size_t maxBytes) const override;

 private:
  bool leftStrip_ = true;
  bool rightStrip_ = true;
};

}  // namespace tokenizers
