#include "Tokenizers/Normalizer.h"

#include <algorithm>
#include <limits>

#include "Hub/Config.h"
#include "Tokenizers/PreTokenizer.h"
#include "Tokenizers/TokenizerError.h"
#include "Tokenizers/detail/Text.h"
#include "platform/Text/Unicode.h"

namespace tokenizers {

namespace text = platform::text;
using platform::text::Regex;

// ---- StringReplacePattern ----------------------------------------------------------------------

StringReplacePattern::StringReplacePattern(Kind kind, std::string pattern, std::optional<Regex> regex,
                                           std::string replacement)
    : kind_(kind), pattern_(std::move(pattern)), regex_(std::move(regex)), replacement_(std::move(replacement)) {}

StringReplacePattern StringReplacePattern::regexp(Regex regex, std::string replacement) {
  std::string source = regex.pattern();
  return StringReplacePattern(Kind::regexp, std::move(source), std::move(regex), std::move(replacement));
}

StringReplacePattern StringReplacePattern::string(std::string pattern, std::string replacement) {
  return StringReplacePattern(Kind::string, std::move(pattern), std::nullopt, std::move(replacement));
}

std::optional<StringReplacePattern> StringReplacePattern::from(const hub::Config& config) {
  auto replacement = config["content"].string();
  if (!replacement) return std::nullopt;
  const hub::Config& pattern = config["pattern"];
  if (auto s = pattern["String"].string()) return string(*s, *replacement);
  if (auto r = pattern["Regex"].string()) {
    try {
      return regexp(Regex(*r), *replacement);
    } catch (const text::RegexError&) {
      throw StageConfigurationError("Cannot build regexp from " + *r);
    }
  }
  return std::nullopt;
}

std::string StringReplacePattern::apply(std::string_view input) const {
  if (kind_ == Kind::string) return detail::replaceAll(input, pattern_, replacement_);
  return regex_->replace(input, replacement_);
}

std::optional<std::string> StringReplacePattern::apply(std::string_view input, std::size_t maxBytes) const {
  if (kind_ == Kind::string) return detail::replaceAll(input, pattern_, replacement_, maxBytes);
  return regex_->replace(input, replacement_, maxBytes);
}

// ---- Output bound ------------------------------------------------------------------------------

namespace {

// Real normalizers grow a text a few times at most (a compatibility decomposition, a space around
// each ideograph); the slack covers a prefix on short texts.
constexpr std::size_t kOutputFactor = 16;
constexpr std::size_t kOutputSlack = 4096;

}  // namespace

std::size_t Normalizer::outputBound(std::size_t inputBytes) {
  const std::size_t limit = std::numeric_limits<std::size_t>::max();
  if (inputBytes > (limit - kOutputSlack) / kOutputFactor) return limit;
  return inputBytes * kOutputFactor + kOutputSlack;
}

void Normalizer::throwTooLong(std::size_t maxBytes) {
  throw TokenizerError::tooLong("normalizing a section would give more than " + std::to_string(maxBytes) +
                                " bytes; a normalizer's output is bounded by " + std::to_string(kOutputFactor) +
                                " times its input plus " + std::to_string(kOutputSlack / 1024) + " KiB");
}

std::string Normalizer::within(std::string output, std::size_t maxBytes) {
  if (output.size() > maxBytes) throwTooLong(maxBytes);
  return output;
}

// ---- Factory ---------------------------------------------------------------------------------

std::unique_ptr<Normalizer> NormalizerFactory::fromConfig(const hub::Config& config) {
  auto type = config["type"].string();
  if (!type) return nullptr;
  const std::string& name = *type;
  using Form = UnicodeFormNormalizer::Form;
  if (name == "Sequence") return std::make_unique<NormalizerSequence>(config);
  if (name == "Prepend") return std::make_unique<PrependNormalizer>(config);
  if (name == "Replace") return std::make_unique<ReplaceNormalizer>(config);
  if (name == "Lowercase") return std::make_unique<LowercaseNormalizer>(config);
  if (name == "NFD") return std::make_unique<UnicodeFormNormalizer>(Form::nfd);
  if (name == "NFC") return std::make_unique<UnicodeFormNormalizer>(Form::nfc);
  if (name == "NFKD") return std::make_unique<UnicodeFormNormalizer>(Form::nfkd);
  if (name == "NFKC" || name == "StripAccents") return std::make_unique<UnicodeFormNormalizer>(Form::nfkc);
  if (name == "Bert" || name == "BertNormalizer") return std::make_unique<BertNormalizer>(config);
  if (name == "Precompiled") return std::make_unique<PrecompiledNormalizer>(config);
  if (name == "Strip") return std::make_unique<StripNormalizer>(config);
  throw StageConfigurationError("Unsupported Normalizer type: " + name);
}

// ---- Normalizers -------------------------------------------------------------------------------

namespace {

// What the BERT cleaning drops: NUL, the replacement character, control (Cc), format (Cf) and
// private-use (Co) characters: "a\u0001b\u200Bc\uFFFDd\uE000e" => "abcde". Unassigned code
// points and noncharacters (Cn) stay, so that their word becomes the unknown token.
bool isDroppedByCleaning(char32_t c) {
  if (c == 0 || c == 0xFFFD) return true;
  switch (text::generalCategory(c)) {
    case text::GeneralCategory::Cc:
    case text::GeneralCategory::Cf:
    case text::GeneralCategory::Co: return true;
    default: return false;
  }
}

}  // namespace

NormalizerSequence::NormalizerSequence(const hub::Config& config) {
  const auto* elements = config["normalizers"].array();
  if (!elements) throw StageConfigurationError("No normalizers in Sequence");
  for (const auto& element : *elements)
    if (auto n = NormalizerFactory::fromConfig(element)) normalizers_.push_back(std::move(n));
}

// Every member works under the bound of the text the sequence was given, so a chain that keeps
// growing the text stops at the first member that would pass it.
std::string NormalizerSequence::normalizeWithin(std::string_view input, std::size_t maxBytes) const {
  std::string out(input);
  for (const auto& n : normalizers_) out = n->normalizeWithin(out, maxBytes);
  return out;
}

PrependNormalizer::PrependNormalizer(const hub::Config& config) : prepend_(config["prepend"].string("")) {}

std::string PrependNormalizer::normalizeWithin(std::string_view input, std::size_t maxBytes) const {
  if (prepend_.size() > maxBytes || input.size() > maxBytes - prepend_.size()) throwTooLong(maxBytes);
  return prepend_ + std::string(input);
}

ReplaceNormalizer::ReplaceNormalizer(const hub::Config& config) : pattern_(StringReplacePattern::from(config)) {}

std::string ReplaceNormalizer::normalizeWithin(std::string_view input, std::size_t maxBytes) const {
  if (!pattern_) return within(std::string(input), maxBytes);
  auto out = pattern_->apply(input, maxBytes);
  if (!out) throwTooLong(maxBytes);
  return std::move(*out);
}

// Lower-casing and the normalization forms grow a text a few times at most: checked once built.
std::string LowercaseNormalizer::normalizeWithin(std::string_view input, std::size_t maxBytes) const {
  return within(text::lowercased(input), maxBytes);
}

std::string UnicodeFormNormalizer::normalizeWithin(std::string_view input, std::size_t maxBytes) const {
  switch (form_) {
    case Form::nfd: return within(text::normalize(input, text::NormalizationForm::nfd), maxBytes);
    case Form::nfc: return within(text::normalize(input, text::NormalizationForm::nfc), maxBytes);
    case Form::nfkd: return within(text::normalize(input, text::NormalizationForm::nfkd), maxBytes);
    case Form::nfkc: return within(text::normalize(input, text::NormalizationForm::nfkc), maxBytes);
  }
  return within(std::string(input), maxBytes);
}

BertNormalizer::BertNormalizer(const hub::Config& config)
    : shouldCleanText_(config["cleanText"].boolean(true)),
      shouldHandleChineseChars_(config["handleChineseChars"].boolean(true)),
      shouldLowercase_(config["lowercase"].boolean(true)) {
  shouldStripAccents_ = config["stripAccents"].boolean(shouldLowercase_);
}

std::string BertNormalizer::normalizeWithin(std::string_view input, std::size_t maxBytes) const {
  std::string out(input);
  if (shouldCleanText_ || shouldHandleChineseChars_) {
    std::string next;
    next.reserve(out.size() + 8);
    std::size_t offset = 0;
    while (offset < out.size()) {
      const std::size_t begin = offset;
      const char32_t c = text::nextScalar(out, offset);
      if (shouldCleanText_ && (c == U'\t' || c == U'\n' || c == U'\r')) {
        next.push_back(' ');
      } else if (shouldCleanText_ && isDroppedByCleaning(c)) {
        continue;
      } else if (shouldHandleChineseChars_ && detail::isChineseIdeograph(c)) {
        next.push_back(' ');
        next.append(out, begin, offset - begin);
        next.push_back(' ');
      } else {
        next.append(out, begin, offset - begin);
      }
    }
    out = std::move(next);
  }
  if (shouldStripAccents_) out = detail::withoutNonSpacingMarks(out);
  if (shouldLowercase_) out = text::lowercased(out);
  return within(std::move(out), maxBytes);
}

std::string PrecompiledNormalizer::normalizeWithin(std::string_view input, std::size_t maxBytes) const {
  // ASCII text is its own NFKC form: only the cleaning applies.
  if (std::all_of(input.begin(), input.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    std::string out;
    out.reserve(input.size());
    for (char ch : input) {
      const auto c = static_cast<unsigned char>(ch);
      if ((c >= 0x01 && c <= 0x08) || c == 0x0B || (c >= 0x0E && c <= 0x1F) || c == 0x7F) continue;
      out.push_back(c == 0x09 || c == 0x0A || c == 0x0C || c == 0x0D ? ' ' : ch);
    }
    return within(std::move(out), maxBytes);
  }
  std::string cleaned;
  cleaned.reserve(input.size());
  bool sawTilde = false;
  std::size_t offset = 0;
  while (offset < input.size()) {
    char32_t c = text::nextScalar(input, offset);
    if ((c >= 0x01 && c <= 0x08) || c == 0x0B || (c >= 0x0E && c <= 0x1F) || c == 0x7F || c == 0x8F || c == 0x9F)
      continue;
    if (c == 0x09 || c == 0x0A || c == 0x0C || c == 0x0D || c == 0x1680 || (c >= 0x200B && c <= 0x200F) ||
        c == 0x2028 || c == 0x2029 || c == 0x2581 || c == 0xFEFF || c == 0xFFFD) {
      cleaned.push_back(' ');
      continue;
    }
    if (c == 0xFF5E) sawTilde = true;
    text::appendUtf8(cleaned, c);
  }
  if (!sawTilde) return within(text::normalize(cleaned, text::NormalizationForm::nfkc), maxBytes);
  // NFKC would turn the fullwidth tilde into "~"; keep it between the normalized pieces.
  static const std::string kTilde = "\xEF\xBD\x9E";
  std::string out;
  bool first = true;
  for (const auto& piece : split(cleaned, kTilde, StringSearch::regularExpression, false)) {
    if (!first) out += kTilde;
    out += text::normalize(piece, text::NormalizationForm::nfkc);
    first = false;
  }
  return within(std::move(out), maxBytes);
}

StripNormalizer::StripNormalizer(const hub::Config& config)
    : leftStrip_(config["stripLeft"].boolean(true)), rightStrip_(config["stripRight"].boolean(true)) {}

std::string StripNormalizer::normalizeWithin(std::string_view input, std::size_t maxBytes) const {
  auto chars = detail::characters(input);
  auto isSpace = [](std::string_view ch) { return text::isWhitespace(detail::firstScalar(ch)); };
  std::size_t begin = 0, end = chars.size();
  if (leftStrip_)
    while (begin < end && isSpace(chars[begin])) ++begin;
  if (rightStrip_)
    while (end > begin && isSpace(chars[end - 1])) --end;
  if (begin == end) return {};
  const char* from = chars[begin].data();
  const char* to = chars[end - 1].data() + chars[end - 1].size();
  return within(std::string(from, to), maxBytes);
}

}  // namespace tokenizers
