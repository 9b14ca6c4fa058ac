#include "Tokenizers/PostProcessor.h"

#include <iterator>

#include "Tokenizers/TokenizerError.h"
#include "Tokenizers/detail/Text.h"
#include "platform/Text/Unicode.h"

namespace tokenizers {

namespace text = platform::text;

std::unique_ptr<PostProcessor> PostProcessorFactory::fromConfig(const hub::Config& config) {
  auto type = config["type"].string();
  if (!type) return nullptr;
  const std::string& name = *type;
  if (name == "TemplateProcessing") return std::make_unique<TemplateProcessing>(config);
  if (name == "ByteLevel") return std::make_unique<ByteLevelPostProcessor>(config);
  if (name == "RobertaProcessing") return std::make_unique<RobertaProcessing>(config);
  if (name == "BertProcessing") return std::make_unique<BertProcessing>(config);
  if (name == "Sequence") return std::make_unique<SequenceProcessing>(config);
  throw StageConfigurationError("Unsupported PostProcessor type: " + name);
}

TemplateProcessing::TemplateProcessing(const hub::Config& config) {
  const auto* single = config["single"].array();
  if (!single) throw StageConfigurationError("Missing `single` processor configuration");
  const auto* pair = config["pair"].array();
  if (!pair) throw StageConfigurationError("Missing `pair` processor configuration");
  single_ = *single;
  pair_ = *pair;
}

std::vector<std::string> TemplateProcessing::postProcess(std::vector<std::string> tokens,
                                                         const std::vector<std::string>* tokensPair,
                                                         bool addSpecialTokens) const {
  const auto& steps = tokensPair ? pair_ : single_;
  // The last step naming "A" takes the tokens instead of copying them.
  std::size_t usesOfA = 0;
  for (const auto& step : steps)
    if (step["Sequence"].dictionary() && step["Sequence"]["id"].string() == "A") ++usesOfA;
  std::vector<std::string> out;
  for (const auto& step : steps) {
    const hub::Config& special = step["SpecialToken"];
    if (special.dictionary()) {
      if (auto id = special["id"].string()) {
        if (addSpecialTokens) out.push_back(*id);
        continue;
      }
    }
    const hub::Config& sequence = step["Sequence"];
    if (sequence.dictionary()) {
      auto id = sequence["id"].string();
      if (id == "A" && --usesOfA == 0 && out.empty()) {
        out = std::move(tokens);
      } else if (id == "A" && usesOfA == 0) {
        out.insert(out.end(), std::make_move_iterator(tokens.begin()), std::make_move_iterator(tokens.end()));
      } else if (id == "A") {
        out.insert(out.end(), tokens.begin(), tokens.end());  // the template may name "A" twice
      } else if (id == "B" && tokensPair) {
        out.insert(out.end(), tokensPair->begin(), tokensPair->end());
      }
    }
  }
  return out;
}

std::vector<std::string> ByteLevelPostProcessor::postProcess(std::vector<std::string> tokens,
                                                             const std::vector<std::string>*, bool) const {
  return tokens;
}

namespace {

std::pair<std::uint64_t, std::string> requiredToken(const hub::Config& config, const char* key) {
  auto token = config[key].token();
  if (!token) throw StageConfigurationError(std::string("Missing `") + key + "` processor configuration");
  return *token;
}

bool isWhitespaceCharacter(std::string_view ch) { return text::isWhitespace(detail::firstScalar(ch)); }

// Keeps one whitespace character of each leading and trailing run: "   a" => " a".
std::string trimKeepingOne(const std::string& token) {
  auto chars = detail::characters(token);
  std::size_t count = chars.size();
  std::size_t k = 0, m = 0;
  while (k < count && isWhitespaceCharacter(chars[k])) ++k;
  while (m < count && isWhitespaceCharacter(chars[count - 1 - m])) ++m;
  std::size_t from = k > 0 ? k - 1 : 0;
  std::size_t to = count - (m > 0 ? m - 1 : 0);
  // All whitespace: the runs overlap; keep nothing rather than a reversed range.
  if (k == count) return count <= 1 ? token : std::string();
  std::string out;
  for (std::size_t i = from; i < to; ++i) out.append(chars[i]);
  return out;
}

// The platform's whitespace set of the plain trim: general category Zs and CHARACTER TABULATION;
// line breaks are not in it.
bool isBlank(char32_t c) { return c == U'\t' || text::generalCategory(c) == text::GeneralCategory::Zs; }

// Removes blanks at both ends, scalar by scalar: "\t a\n " => "a\n".
std::string trimAll(const std::string& token) {
  std::size_t begin = 0;
  while (begin < token.size()) {
    std::size_t next = begin;
    if (!isBlank(text::nextScalar(token, next))) break;
    begin = next;
  }
  std::size_t end = token.size();
  while (end > begin) {
    std::size_t previous = end;
    if (!isBlank(text::previousScalar(token, previous))) break;
    end = previous;
  }
  return token.substr(begin, end - begin);
}

}  // namespace

RobertaProcessing::RobertaProcessing(const hub::Config& config)
    : sep_(requiredToken(config, "sep")),
      cls_(requiredToken(config, "cls")),
      // Repository files write "trim_offsets"; the singular key is read first.
      trimOffset_(config["trimOffset"].boolean().value_or(config["trimOffsets"].boolean(true))),
      addPrefixSpace_(config["addPrefixSpace"].boolean(true)) {}

std::vector<std::string> RobertaProcessing::postProcess(std::vector<std::string> tokens,
                                                        const std::vector<std::string>* tokensPair,
                                                        bool addSpecialTokens) const {
  auto trim = [&](const std::vector<std::string>& list) {
    if (!trimOffset_) return list;
    std::vector<std::string> out;
    out.reserve(list.size());
    for (const auto& t : list) out.push_back(addPrefixSpace_ ? trimKeepingOne(t) : trimAll(t));
    return out;
  };
  auto first = trim(tokens);
  if (!addSpecialTokens) {
    if (tokensPair) {
      auto second = trim(*tokensPair);
      first.insert(first.end(), second.begin(), second.end());
    }
    return first;
  }
  std::vector<std::string> out{cls_.second};
  out.insert(out.end(), first.begin(), first.end());
  out.push_back(sep_.second);
  if (tokensPair && !tokensPair->empty()) {
    auto second = trim(*tokensPair);
    out.push_back(sep_.second);
    out.insert(out.end(), second.begin(), second.end());
    out.push_back(sep_.second);
  }
  return out;
}

BertProcessing::BertProcessing(const hub::Config& config)
    : sep_(requiredToken(config, "sep")), cls_(requiredToken(config, "cls")) {}

std::vector<std::string> BertProcessing::postProcess(std::vector<std::string> tokens,
                                                     const std::vector<std::string>* tokensPair,
                                                     bool addSpecialTokens) const {
  std::vector<std::string> out;
  if (!addSpecialTokens) {
    out = std::move(tokens);
    if (tokensPair) out.insert(out.end(), tokensPair->begin(), tokensPair->end());
    return out;
  }
  out.push_back(cls_.second);
  out.insert(out.end(), tokens.begin(), tokens.end());
  out.push_back(sep_.second);
  if (tokensPair && !tokensPair->empty()) {
    out.insert(out.end(), tokensPair->begin(), tokensPair->end());
    out.push_back(sep_.second);
  }
  return out;
}

SequenceProcessing::SequenceProcessing(const hub::Config& config) {
  const auto* elements = config["processors"].array();
  if (!elements) throw StageConfigurationError("Missing `processors` configuration");
  for (const auto& element : *elements)
    if (auto p = PostProcessorFactory::fromConfig(element)) processors_.push_back(std::move(p));
}

std::vector<std::string> SequenceProcessing::postProcess(std::vector<std::string> tokens,
                                                         const std::vector<std::string>* tokensPair,
                                                         bool addSpecialTokens) const {
  if (processors_.empty()) return tokens;
  std::vector<std::string> out = processors_.front()->postProcess(std::move(tokens), tokensPair, addSpecialTokens);
  for (std::size_t i = 1; i < processors_.size(); ++i)
    out = processors_[i]->postProcess(std::move(out), nullptr, addSpecialTokens);
  return out;
}

}  // namespace tokenizers
