#include "Tokenizers/Tokenizer.h"

#include <mutex>

#include "Tokenizers/BPETokenizer.h"
#include "Tokenizers/BertTokenizer.h"
#include "Tokenizers/TokenizerError.h"
#include "Tokenizers/UnigramTokenizer.h"

namespace tokenizers {

std::vector<TokenId> Tokenizer::applyChatTemplate(const std::vector<ChatMessage>&, const ChatTemplateOptions&) const {
  throw TokenizerError::missingChatTemplate();
}

std::vector<std::optional<TokenId>> TokenVocabulary::convertTokensToIds(const std::vector<std::string>& tokens) const {
  std::vector<std::optional<TokenId>> out;
  out.reserve(tokens.size());
  for (const auto& token : tokens) out.push_back(convertTokenToId(token));
  return out;
}

std::vector<std::optional<std::string>> TokenVocabulary::convertIdsToTokens(const std::vector<TokenId>& ids) const {
  std::vector<std::optional<std::string>> out;
  out.reserve(ids.size());
  for (TokenId id : ids) out.push_back(convertIdToToken(id));
  return out;
}

namespace {

template <class Model>
std::unique_ptr<TokenizingModel> construct(const hub::Config& tokenizerConfig, const hub::Config& tokenizerData,
                                           const AddedTokens& addedTokens) {
  return std::make_unique<Model>(tokenizerConfig, tokenizerData, addedTokens);
}

}  // namespace

const std::unordered_map<std::string, PreTrainedTokenizerModel>& TokenizerModel::knownTokenizers() {
  static const std::unordered_map<std::string, PreTrainedTokenizerModel> table = [] {
    const PreTrainedTokenizerModel bpe{"BPETokenizer", &construct<BPETokenizer>};
    const PreTrainedTokenizerModel bert{"BertTokenizer", &construct<BertTokenizer>};
    const PreTrainedTokenizerModel t5{"T5Tokenizer", &construct<T5Tokenizer>};
    const PreTrainedTokenizerModel unigram{"UnigramTokenizer", &construct<UnigramTokenizer>};
    return std::unordered_map<std::string, PreTrainedTokenizerModel>{
        {"BertTokenizer", bert},      {"CodeGenTokenizer", bpe},    {"CodeLlamaTokenizer", bpe},
        {"CohereTokenizer", bpe},     {"DistilbertTokenizer", bert}, {"DistilBertTokenizer", bert},
        {"FalconTokenizer", bpe},     {"GemmaTokenizer", bpe},      {"GPT2Tokenizer", bpe},
        {"LlamaTokenizer", bpe},      {"RobertaTokenizer", bpe},    {"T5Tokenizer", t5},
        {"TokenizersBackend", bpe},   {"PreTrainedTokenizer", bpe}, {"Qwen2Tokenizer", bpe},
        {"WhisperTokenizer", bpe},    {"XLMRobertaTokenizer", unigram}, {"Xlm-RobertaTokenizer", unigram},
    };
  }();
  return table;
}

}  // namespace tokenizers
