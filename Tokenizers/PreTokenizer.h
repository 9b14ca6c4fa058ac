// Pre-tokenizers cut one (normalized) text section into the pieces that the vocabulary model
// tokenizes one by one. PreTokenizerFactory::fromConfig builds one from the "pre_tokenizer" object
// of "tokenizer.json" by its "type"; it gives nullptr for a null configuration or one without a
// string "type", and throws StageConfigurationError for one it cannot build. Immutable after
// construction; one instance may serve several threads. Texts must be well-formed UTF-8.
//   ByteLevel: "Hello world" => ["Hello", "Ġworld"]
//   Metaspace (scheme always): "Hey friend" => ["▁Hey", "▁friend"]
#pragma once

#include <functional>
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

enum class PreTokenizerOption : unsigned { firstSection = 1 };
std::optional<PreTokenizerOption> preTokenizerOptionFromRawValue(std::string_view raw);  // "firstSection"

// A set of PreTokenizerOption values.
class PreTokenizerOptions {
 public:
  PreTokenizerOptions() = default;
  PreTokenizerOptions(std::initializer_list<PreTokenizerOption> options) {
    for (auto o : options) bits_ |= static_cast<unsigned>(o);
  }
  bool contains(PreTokenizerOption o) const { return (bits_ & static_cast<unsigned>(o)) != 0; }

 private:
  unsigned bits_ = 0;
};

class PreTokenizer {
 public:
  virtual ~PreTokenizer() = default;
  virtual std::vector<std::string> preTokenize(std::string_view text, PreTokenizerOptions options = {}) const = 0;
  // The pieces of preTokenize handed over one at a time, so that a long text needs no list of them.
  virtual void forEachPiece(std::string_view text, PreTokenizerOptions options,
                            const std::function<void(std::string&&)>& sink) const;
  // Each text in order with the same options, the pieces concatenated.
  std::vector<std::string> preTokenize(const std::vector<std::string>& texts, PreTokenizerOptions options = {}) const;
  std::vector<std::string> operator()(std::string_view text, PreTokenizerOptions options = {}) const {
    return preTokenize(text, options);
  }
  std::vector<std::string> operator()(const std::vector<std::string>& texts, PreTokenizerOptions options = {}) const {
    return preTokenize(texts, options);
  }
};

struct PreTokenizerFactory {
  static std::unique_ptr<PreTokenizer> fromConfig(const hub::Config& config);
};

// ---- String splitting ----------------------------------------------------------------------------

enum class SplitDelimiterBehavior { removed, isolated, mergedWithPrevious, mergedWithNext };

// The search options of the splits: a literal, case-sensitive search, or a regular expression.
enum class StringSearch { literal, regularExpression };

// The matches of `pattern`, in text order; after an empty match the next search starts one
// character on. A pattern that does not compile throws platform::text::RegexError.
std::vector<platform::text::ByteRange> ranges(std::string_view text, std::string_view pattern, StringSearch search);
// Separator split, never yielding empty pieces: "a-b" by "-" => ["a", "-", "b"] with separators.
std::vector<std::string> split(std::string_view text, std::string_view pattern, StringSearch search,
                               bool includeSeparators);
std::vector<std::string> split(std::string_view text, std::string_view pattern, StringSearch search,
                               SplitDelimiterBehavior behavior);
// Capture-group split: "a <tok> b" by "\s*(<tok>)\s*" => ["a", "<tok>", "b"]; no match gives [text].
std::vector<std::string> split(std::string_view text, const platform::text::Regex& regex);

// ---- The pre-tokenizers ------------------------------------------------------------------------

// A pre-tokenizer whose pieces are the matches of one fixed expression; text between matches drops.
class RegexPreTokenizer : public PreTokenizer {
 public:
  explicit RegexPreTokenizer(std::string_view re) : re_(re) {}
  const std::string& re() const { return re_.pattern(); }
  std::vector<std::string> preTokenize(std::string_view text, PreTokenizerOptions options = {}) const override;
  using PreTokenizer::preTokenize;

 private:
  platform::text::Regex re_;
};

// "Hello, world!" => ["Hello", ",", "world", "!"]
class BertPreTokenizer : public RegexPreTokenizer {
 public:
  static constexpr std::string_view kPattern =
      "[^\\s\\p{P}\\u0021-\\u002F\\u003A-\\u0040\\u005B-\\u0060\\u007B-\\u007E]+|"
      "[\\p{P}\\u0021-\\u002F\\u003A-\\u0040\\u005B-\\u0060\\u007B-\\u007E]";
  BertPreTokenizer() : RegexPreTokenizer(kPattern) {}
  explicit BertPreTokenizer(const hub::Config&) : BertPreTokenizer() {}
};

// "a, b" => ["a,", "b"] (both "Whitespace" and "WhitespaceSplit"): the runs of scalars without
// the White_Space property, which is what kPattern matches; cut without the regular expression.
class WhitespacePreTokenizer : public RegexPreTokenizer {
 public:
  static constexpr std::string_view kPattern = "\\S+";
  WhitespacePreTokenizer() : RegexPreTokenizer(kPattern) {}
  explicit WhitespacePreTokenizer(const hub::Config&) : WhitespacePreTokenizer() {}
  std::vector<std::string> preTokenize(std::string_view text, PreTokenizerOptions options = {}) const override;
  using PreTokenizer::preTokenize;
  void forEachPiece(std::string_view text, PreTokenizerOptions options,
                    const std::function<void(std::string&&)>& sink) const override;
};

// "Hello, world!" => ["Hello", ",", " world", "!"]
class PunctuationPreTokenizer : public RegexPreTokenizer {
 public:
  static constexpr std::string_view kPattern =
      "[^\\p{P}\\u0021-\\u002F\\u003A-\\u0040\\u005B-\\u0060\\u007B-\\u007E]+|"
      "[\\p{P}\\u0021-\\u002F\\u003A-\\u0040\\u005B-\\u0060\\u007B-\\u007E]+";
  PunctuationPreTokenizer() : RegexPreTokenizer(kPattern) {}
  explicit PunctuationPreTokenizer(const hub::Config&) : PunctuationPreTokenizer() {}
};

// "abc123" => ["abc", "123"], or ["abc", "1", "2", "3"] with individual digits.
class DigitsPreTokenizer : public RegexPreTokenizer {
 public:
  explicit DigitsPreTokenizer(const hub::Config& config);
};

class PreTokenizerSequence : public PreTokenizer {
 public:
  explicit PreTokenizerSequence(const hub::Config& config);
  std::vector<std::string> preTokenize(std::string_view text, PreTokenizerOptions options = {}) const override;
  using PreTokenizer::preTokenize;
  void forEachPiece(std::string_view text, PreTokenizerOptions options,
                    const std::function<void(std::string&&)>& sink) const override;
  const std::vector<std::unique_ptr<PreTokenizer>>& preTokenizers() const { return preTokenizers_; }

 private:
  std::vector<std::unique_ptr<PreTokenizer>> preTokenizers_;
};

// Splits with the GPT-2 expression and shows every UTF-8 byte of a piece as its byte-encoder
// character: "don't" => ["don", "'t"]; "é" => ["Ã©"].
class ByteLevelPreTokenizer : public PreTokenizer {
 public:
  static constexpr std::string_view kPattern =
      "'s|'t|'re|'ve|'m|'ll|'d| ?\\p{L}+| ?\\p{N}+| ?[^\\s\\p{L}\\p{N}]+|\\s+(?!\\S)|\\s+";
  explicit ByteLevelPreTokenizer(const hub::Config& config);
  std::vector<std::string> preTokenize(std::string_view text, PreTokenizerOptions options = {}) const override;
  using PreTokenizer::preTokenize;
  void forEachPiece(std::string_view text, PreTokenizerOptions options,
                    const std::function<void(std::string&&)>& sink) const override;

  bool addPrefixSpace() const { return addPrefixSpace_; }
  bool trimOffsets() const { return trimOffsets_; }
  bool useRegex() const { return useRegex_; }
  std::string_view re() const { return kPattern; }

 private:
  bool addPrefixSpace_ = false;  // a space in front of every piece that lacks one
  bool trimOffsets_ = true;      // read, no effect on the pieces
  bool useRegex_ = true;         // off: the whole text is one piece
};

class SplitPreTokenizer : public PreTokenizer {
 public:
  explicit SplitPreTokenizer(const hub::Config& config);
  std::vector<std::string> preTokenize(std::string_view text, PreTokenizerOptions options = {}) const override;
  using PreTokenizer::preTokenize;

 private:
  enum class PatternKind { none, string, regexp };
  PatternKind kind_ = PatternKind::none;
  std::string pattern_;
  bool invert_ = false;  // literal patterns only: drop the separators
  std::optional<platform::text::Regex> regex_;
};

// Spaces become the replacement ("▁"), a prefix replacement is added by the prepend scheme, and
// the text is cut in front of every replacement.
class MetaspacePreTokenizer : public PreTokenizer {
 public:
  enum class PrependScheme { first, never, always };
  explicit MetaspacePreTokenizer(const hub::Config& config);
  std::vector<std::string> preTokenize(std::string_view text, PreTokenizerOptions options = {}) const override;
  using PreTokenizer::preTokenize;
  void forEachPiece(std::string_view text, PreTokenizerOptions options,
                    const std::function<void(std::string&&)>& sink) const override;

  bool addPrefixSpace() const { return addPrefixSpace_; }
  const std::string& replacement() const { return replacement_; }
  const std::string& stringReplacement() const { return stringReplacement_; }
  PrependScheme prependScheme() const { return prependScheme_; }

 private:
  bool addPrefixSpace_ = false;
  std::string replacement_ = " ";
  std::string stringReplacement_ = " ";
  PrependScheme prependScheme_ = PrependScheme::always;
  std::optional<platform::text::Regex> replacementRegex_;
  bool literalReplacement_ = false;  // no metacharacter: cut by plain search
};

}  // namespace tokenizers
