#include "Tokenizers/PreTokenizer.h"

#include "Hub/Config.h"
#include "Tokenizers/ByteEncoder.h"
#include "Tokenizers/TokenizerError.h"
#include "Tokenizers/detail/ByteLevelSplit.h"
#include "Tokenizers/detail/Text.h"
#include "platform/Text/Unicode.h"

namespace tokenizers {

using platform::text::ByteRange;
using platform::text::Regex;

std::optional<PreTokenizerOption> preTokenizerOptionFromRawValue(std::string_view raw) {
  if (raw == "firstSection") return PreTokenizerOption::firstSection;
  return std::nullopt;
}

void PreTokenizer::forEachPiece(std::string_view text, PreTokenizerOptions options,
                                const std::function<void(std::string&&)>& sink) const {
  for (auto& piece : preTokenize(text, options)) sink(std::move(piece));
}

std::vector<std::string> PreTokenizer::preTokenize(const std::vector<std::string>& texts,
                                                   PreTokenizerOptions options) const {
  std::vector<std::string> out;
  for (const auto& text : texts) {
    auto pieces = preTokenize(std::string_view(text), options);
    for (auto& p : pieces) out.push_back(std::move(p));
  }
  return out;
}

// ---- String splitting ----------------------------------------------------------------------------

namespace {

Regex compileSearch(std::string_view pattern, StringSearch search) {
  Regex::Options options;
  options.ignoreMetacharacters = search == StringSearch::literal;
  return Regex(pattern, options);
}

std::vector<std::string> toStrings(const std::vector<std::string_view>& views) {
  return std::vector<std::string>(views.begin(), views.end());
}

platform::text::SplitBehavior toPlatform(SplitDelimiterBehavior b) {
  switch (b) {
    case SplitDelimiterBehavior::removed: return platform::text::SplitBehavior::removed;
    case SplitDelimiterBehavior::isolated: return platform::text::SplitBehavior::isolated;
    case SplitDelimiterBehavior::mergedWithPrevious: return platform::text::SplitBehavior::mergedWithPrevious;
    case SplitDelimiterBehavior::mergedWithNext: return platform::text::SplitBehavior::mergedWithNext;
  }
  return platform::text::SplitBehavior::removed;
}

Regex compileFromConfig(std::string_view pattern) {
  try {
    return Regex(pattern);
  } catch (const platform::text::RegexError&) {
    throw StageConfigurationError("Cannot build regexp from " + std::string(pattern));
  }
}

}  // namespace

std::vector<ByteRange> ranges(std::string_view text, std::string_view pattern, StringSearch search) {
  if (pattern.empty()) return {};
  return compileSearch(pattern, search).ranges(text);
}

std::vector<std::string> split(std::string_view text, std::string_view pattern, StringSearch search,
                               bool includeSeparators) {
  if (pattern.empty()) return text.empty() ? std::vector<std::string>{} : std::vector<std::string>{std::string(text)};
  return toStrings(compileSearch(pattern, search).split(text, includeSeparators));
}

std::vector<std::string> split(std::string_view text, std::string_view pattern, StringSearch search,
                               SplitDelimiterBehavior behavior) {
  if (pattern.empty()) return text.empty() ? std::vector<std::string>{} : std::vector<std::string>{std::string(text)};
  return toStrings(compileSearch(pattern, search).split(text, toPlatform(behavior)));
}

std::vector<std::string> split(std::string_view text, const Regex& regex) {
  return toStrings(regex.splitKeepingCaptureGroups(text));
}

// ---- Factory ---------------------------------------------------------------------------------

std::unique_ptr<PreTokenizer> PreTokenizerFactory::fromConfig(const hub::Config& config) {
  auto type = config["type"].string();
  if (!type) return nullptr;
  const std::string& name = *type;
  if (name == "Sequence") return std::make_unique<PreTokenizerSequence>(config);
  if (name == "ByteLevel") return std::make_unique<ByteLevelPreTokenizer>(config);
  if (name == "Punctuation") return std::make_unique<PunctuationPreTokenizer>(config);
  if (name == "Digits") return std::make_unique<DigitsPreTokenizer>(config);
  if (name == "Split") return std::make_unique<SplitPreTokenizer>(config);
  if (name == "Whitespace" || name == "WhitespaceSplit") return std::make_unique<WhitespacePreTokenizer>(config);
  if (name == "Metaspace") return std::make_unique<MetaspacePreTokenizer>(config);
  if (name == "BertPreTokenizer") return std::make_unique<BertPreTokenizer>(config);
  throw StageConfigurationError("Unsupported PreTokenizer type: " + name);
}

// ---- Pre-tokenizers ----------------------------------------------------------------------------

std::vector<std::string> RegexPreTokenizer::preTokenize(std::string_view text, PreTokenizerOptions) const {
  return toStrings(re_.matchedTexts(text));
}

DigitsPreTokenizer::DigitsPreTokenizer(const hub::Config& config)
    : RegexPreTokenizer(config["individualDigits"].boolean(false) ? "[^\\d]+|\\d" : "[^\\d]+|\\d+") {}

PreTokenizerSequence::PreTokenizerSequence(const hub::Config& config) {
  const auto* elements = config["pretokenizers"].array();
  if (!elements) throw StageConfigurationError("No pretokenizers in Sequence");
  for (const auto& element : *elements)
    if (auto p = PreTokenizerFactory::fromConfig(element)) preTokenizers_.push_back(std::move(p));
}

std::vector<std::string> PreTokenizerSequence::preTokenize(std::string_view text, PreTokenizerOptions options) const {
  std::vector<std::string> pieces{std::string(text)};
  for (const auto& stage : preTokenizers_) pieces = stage->preTokenize(pieces, options);
  return pieces;
}

ByteLevelPreTokenizer::ByteLevelPreTokenizer(const hub::Config& config)
    : addPrefixSpace_(config["addPrefixSpace"].boolean(false)),
      trimOffsets_(config["trimOffsets"].boolean(true)),
      useRegex_(config["useRegex"].boolean(true)) {}

std::vector<std::string> ByteLevelPreTokenizer::preTokenize(std::string_view text, PreTokenizerOptions options) const {
  std::vector<std::string> out;
  forEachPiece(text, options, [&](std::string&& piece) { out.push_back(std::move(piece)); });
  return out;
}

void ByteLevelPreTokenizer::forEachPiece(std::string_view text, PreTokenizerOptions,
                                         const std::function<void(std::string&&)>& sink) const {
  platform::text::requireValidUtf8(text);
  auto map = [&](std::string_view piece) {
    std::string mapped;
    if (addPrefixSpace_ && (piece.empty() || piece.front() != ' ')) detail::appendByteEncoded(mapped, " ");
    detail::appendByteEncoded(mapped, piece);
    sink(std::move(mapped));
  };
  if (useRegex_) {
    detail::forEachByteLevelPiece(text, map);
  } else {
    map(text);
  }
}

SplitPreTokenizer::SplitPreTokenizer(const hub::Config& config) : invert_(config["invert"].boolean(false)) {
  const hub::Config& pattern = config["pattern"];
  if (auto s = pattern["String"].string()) {
    kind_ = PatternKind::string;
    pattern_ = *s;
  } else if (auto r = pattern["Regex"].string()) {
    kind_ = PatternKind::regexp;
    pattern_ = *r;
    regex_.emplace(compileFromConfig(pattern_));
  }
}

std::vector<std::string> SplitPreTokenizer::preTokenize(std::string_view text, PreTokenizerOptions) const {
  switch (kind_) {
    case PatternKind::none: return {std::string(text)};
    case PatternKind::string: return split(text, pattern_, StringSearch::literal, !invert_);
    case PatternKind::regexp: return toStrings(regex_->split(text, true));
  }
  return {};
}

MetaspacePreTokenizer::MetaspacePreTokenizer(const hub::Config& config) {
  const hub::Config& addPrefix = config["addPrefixSpace"];
  addPrefixSpace_ = addPrefix.boolean(false);
  replacement_ = config["replacement"].string(" ");
  stringReplacement_ = config["strRep"].string(replacement_);
  if (auto scheme = config["prependScheme"].string()) {
    if (*scheme == "first") {
      prependScheme_ = PrependScheme::first;
    } else if (*scheme == "never") {
      prependScheme_ = PrependScheme::never;
    } else {
      prependScheme_ = PrependScheme::always;
    }
  } else {
    prependScheme_ = addPrefix.boolean().value_or(true) ? PrependScheme::always : PrependScheme::never;
  }
  if (!replacement_.empty()) replacementRegex_.emplace(compileFromConfig(replacement_));
}

std::vector<std::string> MetaspacePreTokenizer::preTokenize(std::string_view text, PreTokenizerOptions options) const {
  std::string normalized = detail::replaceAll(text, " ", stringReplacement_);
  std::string prefix;
  const bool startsWithReplacement = normalized.compare(0, replacement_.size(), replacement_) == 0;
  if (!startsWithReplacement) {
    if (prependScheme_ == PrependScheme::always ||
        (prependScheme_ == PrependScheme::first && options.contains(PreTokenizerOption::firstSection)))
      prefix = stringReplacement_;
  }
  std::string whole = prefix + normalized;
  if (!replacementRegex_) return whole.empty() ? std::vector<std::string>{} : std::vector<std::string>{whole};
  return toStrings(replacementRegex_->split(whole, platform::text::SplitBehavior::mergedWithNext));
}

}  // namespace tokenizers
