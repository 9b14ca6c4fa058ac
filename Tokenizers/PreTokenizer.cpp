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

// Each piece of a stage goes through the later stages before the stage's next piece.
void PreTokenizerSequence::forEachPiece(std::string_view text, PreTokenizerOptions options,
                                        const std::function<void(std::string&&)>& sink) const {
  const std::size_t count = preTokenizers_.size();
  if (count == 0) return sink(std::string(text));
  std::vector<std::function<void(std::string&&)>> sinks(count);
  for (std::size_t i = 0; i + 1 < count; ++i)
    sinks[i] = [&, i](std::string&& piece) { preTokenizers_[i + 1]->forEachPiece(piece, options, sinks[i + 1]); };
  sinks[count - 1] = [&](std::string&& piece) { sink(std::move(piece)); };
  preTokenizers_[0]->forEachPiece(text, options, sinks[0]);
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

std::vector<std::string> WhitespacePreTokenizer::preTokenize(std::string_view text, PreTokenizerOptions options) const {
  std::vector<std::string> out;
  forEachPiece(text, options, [&](std::string&& piece) { out.push_back(std::move(piece)); });
  return out;
}

void WhitespacePreTokenizer::forEachPiece(std::string_view text, PreTokenizerOptions options,
                                          const std::function<void(std::string&&)>& sink) const {
  if (!platform::text::isValidUtf8(text)) {
    for (auto& piece : RegexPreTokenizer::preTokenize(text, options)) sink(std::move(piece));
    return;
  }
  std::size_t offset = 0, pieceStart = std::string_view::npos;
  while (offset < text.size()) {
    const std::size_t at = offset;
    const auto byte = static_cast<unsigned char>(text[offset]);
    bool space;
    if (byte < 0x80) {
      space = byte == ' ' || (byte >= '\t' && byte <= '\r');
      ++offset;
    } else {
      space = platform::text::isWhitespace(platform::text::nextScalar(text, offset));
    }
    if (space) {
      if (pieceStart != std::string_view::npos) sink(std::string(text.substr(pieceStart, at - pieceStart)));
      pieceStart = std::string_view::npos;
    } else if (pieceStart == std::string_view::npos) {
      pieceStart = at;
    }
  }
  if (pieceStart != std::string_view::npos) sink(std::string(text.substr(pieceStart)));
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
  literalReplacement_ = !replacement_.empty() && replacement_.find_first_of("\\^$.|?*+()[]{}") == std::string::npos;
}

std::vector<std::string> MetaspacePreTokenizer::preTokenize(std::string_view text, PreTokenizerOptions options) const {
  std::vector<std::string> out;
  forEachPiece(text, options, [&](std::string&& piece) { out.push_back(std::move(piece)); });
  return out;
}

void MetaspacePreTokenizer::forEachPiece(std::string_view text, PreTokenizerOptions options,
                                         const std::function<void(std::string&&)>& sink) const {
  std::string whole =
      text.find(' ') == std::string_view::npos ? std::string(text) : detail::replaceAll(text, " ", stringReplacement_);
  const bool startsWithReplacement = whole.compare(0, replacement_.size(), replacement_) == 0;
  if (!startsWithReplacement) {
    if (prependScheme_ == PrependScheme::always ||
        (prependScheme_ == PrependScheme::first && options.contains(PreTokenizerOption::firstSection)))
      whole.insert(0, stringReplacement_);
  }
  if (!replacementRegex_) {
    if (!whole.empty()) sink(std::move(whole));
    return;
  }
  if (!literalReplacement_) {
    for (auto piece : replacementRegex_->split(whole, platform::text::SplitBehavior::mergedWithNext))
      sink(std::string(piece));
    return;
  }
  // "▁▁a" => ["▁", "▁a"]: a cut in front of every occurrence but one at the start.
  const std::string_view view = whole;
  std::size_t cut = 0;
  for (std::size_t at = view.find(replacement_); at != std::string_view::npos;
       at = view.find(replacement_, at + replacement_.size())) {
    if (at == 0) continue;
    sink(std::string(view.substr(cut, at - cut)));
    cut = at;
  }
  if (cut == 0) {
    if (!whole.empty()) sink(std::move(whole));
  } else if (cut < view.size()) {
    sink(std::string(view.substr(cut)));
  }
}

}  // namespace tokenizers
