#include "Tokenizers/LlamaPreTrainedTokenizer.h"

#include "Tokenizers/PostProcessor.h"
#include "Tokenizers/TokenizerError.h"

namespace tokenizers {
namespace {

using hub::BinaryDistinctString;
using hub::Config;

constexpr std::string_view kMetaspace = "\xE2\x96\x81";  // U+2581

bool legacyOf(const Config& tokenizerConfig) { return tokenizerConfig["legacy"].boolean().value_or(true); }

// The token's text: a string, or the "content" of the added-token map form.
std::optional<std::string> tokenText(const Config& value) {
  if (auto text = value.string()) return text;
  return value["content"].string();
}

Config specialToken(const std::string& text, int typeId) {
  return Config::dictionaryOf({{"SpecialToken", Config::dictionaryOf({{"id", Config(text)}, {"type_id", Config(typeId)}})}});
}

Config sequence(const char* id, int typeId) {
  return Config::dictionaryOf({{"Sequence", Config::dictionaryOf({{"id", Config(id)}, {"type_id", Config(typeId)}})}});
}

// tokenizer.json as this class builds from it.
Config rewrittenData(const Config& tokenizerConfig, const Config& tokenizerData) {
  Config::Dictionary data = tokenizerData.dictionary() ? *tokenizerData.dictionary() : Config::Dictionary();
  if (!legacyOf(tokenizerConfig)) {
    data.erase(BinaryDistinctString("normalizer"));
    data[BinaryDistinctString("pre_tokenizer")] = Config::dictionaryOf({{"type", Config("Metaspace")},
                                                                        {"replacement", Config(kMetaspace)},
                                                                        {"add_prefix_space", Config(true)},
                                                                        {"prepend_scheme", Config("first")}});
  }
  if (auto processor = maybeUpdatePostProcessor(tokenizerConfig, tokenizerData["postProcessor"]))
    data[BinaryDistinctString("post_processor")] = processor->dictionary() ? *processor : Config(Config::Dictionary());
  return Config(std::move(data));
}

}  // namespace

std::optional<Config> maybeUpdatePostProcessor(const Config& tokenizerConfig, const Config& processorConfig) {
  auto existing = PostProcessorFactory::fromConfig(processorConfig);
  if (dynamic_cast<const TemplateProcessing*>(existing.get())) return std::nullopt;

  bool addBos = tokenizerConfig["addBosToken"].boolean().value_or(false);
  auto bos = tokenText(tokenizerConfig["bosToken"]);
  if (addBos && !bos) throw TokenizerError::mismatchedConfig("add_bos_token is True but bos_token is nil");
  bool addEos = tokenizerConfig["addEosToken"].boolean().value_or(false);
  auto eos = tokenText(tokenizerConfig["eosToken"]);
  if (addEos && !eos) throw TokenizerError::mismatchedConfig("add_eos_token is True but eos_token is nil");

  Config::Array single;
  if (addBos) single.push_back(specialToken(*bos, 0));
  single.push_back(sequence("A", 0));
  if (addEos) single.push_back(specialToken(*eos, 0));
  Config::Array pair = single;
  if (addBos) pair.push_back(specialToken(*bos, 1));
  pair.push_back(sequence("B", 1));
  if (addEos) pair.push_back(specialToken(*eos, 1));
  return Config::dictionaryOf(
      {{"type", Config("TemplateProcessing")}, {"single", Config(std::move(single))}, {"pair", Config(std::move(pair))}});
}

LlamaPreTrainedTokenizer::LlamaPreTrainedTokenizer(const Config& tokenizerConfig, const Config& tokenizerData,
                                                   bool strict)
    : PreTrainedTokenizer(tokenizerConfig, rewrittenData(tokenizerConfig, tokenizerData), strict),
      isLegacy_(legacyOf(tokenizerConfig)) {}

std::vector<std::string> LlamaPreTrainedTokenizer::tokenize(std::string_view text) const {
  if (isLegacy_ || text.empty()) return PreTrainedTokenizer::tokenize(text);
  std::string prepared(kMetaspace);
  for (std::size_t at = 0; at < text.size();) {
    if (text.substr(at).starts_with(kMetaspace)) {
      prepared += ' ';
      at += kMetaspace.size();
    } else {
      prepared += text[at++];
    }
  }
  auto tokens = PreTrainedTokenizer::tokenize(prepared);
  if (tokens.size() >= 2 && tokens[0] == kMetaspace && specialTokens().contains(tokens[1])) tokens.erase(tokens.begin());
  return tokens;
}

}  // namespace tokenizers
