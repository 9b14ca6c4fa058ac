// The pre-trained tokenizer of the "LlamaTokenizer" class. Unless its configuration says
// "legacy": true (or nothing), the documents are rewritten before construction: no normalizer,
// and a Metaspace pre-tokenizer that puts "▁" in front of the first piece only. A post-processor
// other than TemplateProcessing is replaced by a template built from add_bos_token and
// add_eos_token. Immutable once built; throws as PreTrainedTokenizer does, and
// TokenizerError::mismatchedConfig when a begin or end token is asked for but not named.
//   LlamaPreTrainedTokenizer t(config, data, true);  t.tokenize("Hello world") == {"▁Hello", "▁world"}
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Hub/Config.h"
#include "Tokenizers/PreTrainedTokenizer.h"

namespace tokenizers {

class LlamaPreTrainedTokenizer : public PreTrainedTokenizer {
 public:
  LlamaPreTrainedTokenizer(const hub::Config& tokenizerConfig, const hub::Config& tokenizerData, bool strict);

  // Not legacy: every "▁" of the text becomes " " and one "▁" goes in front; a lone "▁" token
  // before a special token is dropped.  "<|user|>hi" => ["<|user|>", ...]
  std::vector<std::string> tokenize(std::string_view text) const override;

  bool isLegacy() const { return isLegacy_; }

 private:
  bool isLegacy_;
};

// The TemplateProcessing configuration for a tokenizer configuration's begin and end flags,
// or nothing when `processorConfig` already builds a TemplateProcessing. Both flags off gives
// single = [A] and pair = [A, B]. Throws TokenizerError::mismatchedConfig for a flag without its
// token, and the post-processor factory's error for a configuration it rejects.
std::optional<hub::Config> maybeUpdatePostProcessor(const hub::Config& tokenizerConfig,
                                                    const hub::Config& processorConfig);

}  // namespace tokenizers
