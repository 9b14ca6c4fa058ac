#include "Tokenizers/PreTrainedTokenizer.h"

#include <algorithm>
#include <chrono>

#include "KestrumCore/Logging.h"
#include "Tokenizers/BPETokenizer.h"
#include "Tokenizers/TokenizerError.h"
#include "Tokenizers/detail/AddedTokenSplit.h"
#include "Tokenizers/detail/Text.h"
#include "platform/Text/Unicode.h"

namespace tokenizers {

namespace {

using Alternative = detail::AddedTokenSplitter::Alternative;

// The alternatives of the added-token alternation: longest contents first (by characters), so
// that a token that contains another wins; equal lengths keep their list order.
std::vector<Alternative> addedTokenAlternatives(const hub::Config::Array& entries) {
  std::vector<std::pair<Alternative, std::size_t>> sized;
  for (const auto& entry : entries) {
    auto content = entry["content"].string();
    if (!content) continue;
    std::size_t characters = detail::characterCount(*content);
    sized.push_back({{*content, entry["lstrip"].boolean(false), entry["rstrip"].boolean(false)}, characters});
  }
  std::stable_sort(sized.begin(), sized.end(), [](const auto& x, const auto& y) { return x.second > y.second; });
  std::vector<Alternative> out;
  out.reserve(sized.size());
  for (auto& [alternative, characters] : sized) out.push_back(std::move(alternative));
  return out;
}

// Every regular-expression search of one call shares this budget: 10 s, plus 1 s per MiB of text.
std::chrono::steady_clock::duration callTimeBudget(std::size_t bytes) {
  return std::chrono::seconds(10) + std::chrono::milliseconds(bytes * 1000 / (1u << 20));
}

std::string removingFast(std::string name) {
  for (std::size_t at = name.find("Fast"); at != std::string::npos; at = name.find("Fast", at)) name.erase(at, 4);
  return name;
}

}  // namespace

PreTrainedTokenizer::PreTrainedTokenizer(const hub::Config& tokenizerConfig, const hub::Config& tokenizerData,
                                         bool strict)
    : tokenizerConfig_(tokenizerConfig) {
  static const hub::Config::Array kNoEntries;
  const auto* listed = tokenizerData["addedTokens"].array();
  const hub::Config::Array& entries = listed ? *listed : kNoEntries;

  AddedTokens addedTokenIds;
  for (const auto& entry : entries) {
    auto id = entry["id"].integer();
    if (!id) continue;
    auto content = entry["content"].string();
    if (!content) continue;
    addedTokenIds[*content] = *id;
    if (entry["special"].boolean().value_or(false)) specialTokens_[*content] = *id;
  }
  addedTokenSplitter_ = std::make_unique<const detail::AddedTokenSplitter>(addedTokenAlternatives(entries));
  for (const auto& [content, id] : addedTokenIds) addedTokens_.insert(content);
  for (const auto& [content, id] : specialTokens_) specialTokenIds_.insert(id);

  preTokenizer_ = PreTokenizerFactory::fromConfig(tokenizerData["preTokenizer"]);
  normalizer_ = NormalizerFactory::fromConfig(tokenizerData["normalizer"]);
  postProcessor_ = PostProcessorFactory::fromConfig(tokenizerData["postProcessor"]);
  decoder_ = DecoderFactory::fromConfig(tokenizerData["decoder"], &addedTokens_);
  cleanUpTokenizationSpaces_ = tokenizerConfig["cleanUpTokenizationSpaces"].boolean(true);

  auto className = tokenizerConfig["tokenizerClass"].string();
  if (!className) throw TokenizerError::missingTokenizerClassInConfig();
  std::string name = removingFast(*className);
  const auto& known = TokenizerModel::knownTokenizers();
  PreTrainedTokenizerModel modelType{"BPETokenizer", nullptr};
  if (auto found = known.find(name); found != known.end()) {
    modelType = found->second;
  } else if (strict) {
    throw TokenizerError::unsupportedTokenizer(name);
  } else {
    kestrum::Logging::info("Warning: Tokenizer model class " + name +
                           " is not registered, falling back to a standard BPE implementation.");
  }
  if (modelType.construct) {
    model_ = modelType.construct(tokenizerConfig, tokenizerData, addedTokenIds);
  } else {
    model_ = std::make_unique<BPETokenizer>(tokenizerConfig, tokenizerData, addedTokenIds);
  }
  modelName_ = modelType.name;
}

bool PreTrainedTokenizer::hasChatTemplate() const { return !tokenizerConfig_["chatTemplate"].isNull(); }

std::vector<std::string> PreTrainedTokenizer::preTokenize(std::string_view text, PreTokenizerOptions options) const {
  if (!preTokenizer_) return {std::string(text)};
  return preTokenizer_->preTokenize(text, options);
}

std::string PreTrainedTokenizer::normalize(std::string_view text) const {
  return normalizer_ ? normalizer_->normalize(text) : std::string(text);
}

std::vector<std::string> PreTrainedTokenizer::postProcess(const std::vector<std::string>& tokens,
                                                          bool addSpecialTokens) const {
  return postProcessor_ ? postProcessor_->postProcess(tokens, nullptr, addSpecialTokens) : tokens;
}

std::vector<std::string> PreTrainedTokenizer::decodeTokens(const std::vector<std::string>& tokens) const {
  return decoder_ ? decoder_->decode(tokens) : tokens;
}

std::vector<std::string> PreTrainedTokenizer::fuseUnknown(const std::vector<std::string>& tokens) const {
  const auto unknownId = model_->unknownTokenId();
  std::vector<std::string> out;
  out.reserve(tokens.size());
  bool previousUnknown = false;
  for (const auto& token : tokens) {
    bool unknown = model_->convertTokenToId(token) == unknownId;
    if (!(unknown && previousUnknown)) out.push_back(token);
    previousUnknown = unknown;
  }
  return out;
}

std::vector<std::string> PreTrainedTokenizer::tokenize(std::string_view text) const {
  platform::text::requireValidUtf8(text);
  if (text.empty()) return {};
  platform::text::RegexTimeBudget budget(callTimeBudget(text.size()));
  const std::vector<std::string_view> sections = addedTokenSplitter_->split(text);
  std::vector<std::string> tokens;
  tokens.reserve(text.size() / 4 + 1);
  const bool fuse = model_->fuseUnknownTokens();
  const auto unknownId = model_->unknownTokenId();
  for (std::size_t i = 0; i < sections.size(); ++i) {
    const std::string_view section = sections[i];
    if (addedTokens_.count(std::string(section))) {
      tokens.emplace_back(section);
      continue;
    }
    PreTokenizerOptions options;
    if (i == 0) options = {PreTokenizerOption::firstSection};
    std::string normalized;
    std::string_view input = section;
    if (normalizer_) {
      normalized = normalizer_->normalize(section);
      input = normalized;
    }
    // Fusion works on one section's tokens: a run of unknown tokens keeps its first.
    bool previousUnknown = false;
    auto tokenizePiece = [&](std::string&& piece) {
      for (auto& token : model_->tokenize(piece)) {
        if (fuse) {
          const bool unknown = model_->convertTokenToId(token) == unknownId;
          const bool fused = unknown && previousUnknown;
          previousUnknown = unknown;
          if (fused) continue;
        }
        tokens.push_back(std::move(token));
      }
    };
    if (preTokenizer_) {
      preTokenizer_->forEachPiece(input, options, tokenizePiece);
    } else {
      tokenizePiece(std::string(input));
    }
  }
  return tokens;
}

std::vector<TokenId> PreTrainedTokenizer::encode(std::string_view text, bool addSpecialTokens) const {
  std::vector<std::string> tokens = tokenize(text);
  if (postProcessor_) tokens = postProcessor_->postProcess(std::move(tokens), nullptr, addSpecialTokens);
  std::vector<TokenId> ids;
  ids.reserve(tokens.size());
  // A token without an id (a post-processor's special token missing from the vocabulary) is left out.
  for (const auto& token : tokens)
    if (auto id = model_->convertTokenToId(token)) ids.push_back(*id);
  return ids;
}

std::string PreTrainedTokenizer::decode(const std::vector<TokenId>& ids, bool skipSpecialTokens) const {
  std::vector<std::string> texts;
  texts.reserve(ids.size());
  std::size_t bytes = 0;
  for (TokenId id : ids) {
    if (skipSpecialTokens && specialTokenIds_.count(id)) continue;
    if (auto text = model_->convertIdToToken(id)) {
      bytes += text->size();
      texts.push_back(std::move(*text));
    }
  }
  platform::text::RegexTimeBudget budget(callTimeBudget(bytes));
  if (decoder_) texts = decoder_->decode(texts);
  std::string joined;
  for (const auto& t : texts) joined += t;
  return cleanUp(joined);
}

std::string PreTrainedTokenizer::cleanUp(std::string_view text) const {
  if (!cleanUpTokenizationSpaces_) return std::string(text);
  static const std::pair<std::string_view, std::string_view> kReplacements[] = {
      {" .", "."},   {" ?", "?"},     {" !", "!"},     {" ,", ","},     {" ' ", "'"},
      {" n't", "n't"}, {" 'm", "'m"}, {" 's", "'s"}, {" 've", "'ve"}, {" 're", "'re"},
  };
  std::string out(text);
  for (const auto& [from, to] : kReplacements) out = detail::replaceAll(out, from, to);
  return out;
}

}  // namespace tokenizers
