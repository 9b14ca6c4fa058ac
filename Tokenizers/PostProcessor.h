// Post-processors are the last stage of encoding: they take the token texts of one input (and
// optionally of a paired input) and add the model's special tokens. PostProcessorFactory::fromConfig
// builds one from the "post_processor" object of "tokenizer.json" by its "type"; nullptr for a null
// configuration or one without a string "type"; StageConfigurationError for one it cannot build.
// Immutable after construction; usable from several threads.
//   TemplateProcessing [CLS] A [SEP]: ["x", "y"] => ["[CLS]", "x", "y", "[SEP]"]
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Hub/Config.h"

namespace tokenizers {

class PostProcessor {
 public:
  virtual ~PostProcessor() = default;
  virtual std::vector<std::string> postProcess(std::vector<std::string> tokens,
                                               const std::vector<std::string>* tokensPair,
                                               bool addSpecialTokens) const = 0;
  std::vector<std::string> operator()(std::vector<std::string> tokens,
                                      const std::vector<std::string>* tokensPair = nullptr,
                                      bool addSpecialTokens = true) const {
    return postProcess(std::move(tokens), tokensPair, addSpecialTokens);
  }
};

struct PostProcessorFactory {
  static std::unique_ptr<PostProcessor> fromConfig(const hub::Config& config);
};

// Walks the "single" (or, with a pair, the "pair") template: special tokens when asked for, the
// input where the template names "A", the pair where it names "B".
class TemplateProcessing : public PostProcessor {
 public:
  explicit TemplateProcessing(const hub::Config& config);
  std::vector<std::string> postProcess(std::vector<std::string> tokens, const std::vector<std::string>* tokensPair,
                                       bool addSpecialTokens) const override;

 private:
  hub::Config::Array single_;
  hub::Config::Array pair_;
};

// Tokens unchanged; the pair is dropped.
class ByteLevelPostProcessor : public PostProcessor {
 public:
  ByteLevelPostProcessor() = default;
  explicit ByteLevelPostProcessor(const hub::Config&) {}
  std::vector<std::string> postProcess(std::vector<std::string> tokens, const std::vector<std::string>* tokensPair,
                                       bool addSpecialTokens) const override;
};

// cls, tokens, sep (and sep, pair, sep) when special tokens are asked for, else tokens (and pair);
// optionally trims blanks.
class RobertaProcessing : public PostProcessor {
 public:
  explicit RobertaProcessing(const hub::Config& config);
  std::vector<std::string> postProcess(std::vector<std::string> tokens, const std::vector<std::string>* tokensPair,
                                       bool addSpecialTokens) const override;

 private:
  std::pair<std::uint64_t, std::string> sep_;
  std::pair<std::uint64_t, std::string> cls_;
  bool trimOffset_ = true;
  bool addPrefixSpace_ = true;
};

// cls, tokens, sep (and pair, sep) when special tokens are asked for.
class BertProcessing : public PostProcessor {
 public:
  explicit BertProcessing(const hub::Config& config);
  std::vector<std::string> postProcess(std::vector<std::string> tokens, const std::vector<std::string>* tokensPair,
                                       bool addSpecialTokens) const override;

 private:
  std::pair<std::uint64_t, std::string> sep_;
  std::pair<std::uint64_t, std::string> cls_;
};

// The first processor gets the pair; each later one the previous result alone.
class SequenceProcessing : public PostProcessor {
 public:
  explicit SequenceProcessing(const hub::Config& config);
  std::vector<std::string> postProcess(std::vector<std::string> tokens, const std::vector<std::string>* tokensPair,
                                       bool addSpecialTokens) const override;

 private:
  std::vector<std::unique_ptr<PostProcessor>> processors_;
};

}  // namespace tokenizers
