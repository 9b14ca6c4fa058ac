// A tokenizer built from the input, then used. The input holds tokenizer.json, then (after part
// markers) a text to encode and the tokenizer_config.json; an absent text or configuration takes
// a fixed one. The text is encoded, tokenized and its ids decoded both ways.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string_view>

#include "FuzzSupport.h"
#include "Hub/JSONParser.h"
#include "Tokenizers/PreTrainedTokenizer.h"
#include "platform/Text/Regex.h"

namespace {

constexpr std::string_view kDefaultText = "Hello world! It's 12:30, h\xc3\xa9llo  <|endoftext|> \xe4\xbd\xa0\xe5\xa5\xbd";
constexpr std::string_view kDefaultConfig = R"({"tokenizer_class": "GPT2Tokenizer"})";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto input = parlet_fuzz::splitParts(data, size, 3);
  const std::string_view text = input.present > 1 ? input.parts[1] : kDefaultText;
  const std::string_view configText = input.present > 2 ? input.parts[2] : kDefaultConfig;
  try {
    const hub::Config config = hub::JSONParser::parseToConfig(configText);
    const hub::Config tokenizerData = hub::JSONParser::parseToConfig(input.parts[0]);
    const tokenizers::PreTrainedTokenizer tokenizer(config, tokenizerData, false);
    // Patterns from the file may backtrack; each input gets two seconds of regular-expression work,
    // after which the calls must end with their error instead of running on.
    const platform::text::RegexTimeBudget budget(std::chrono::seconds(2));
    (void)tokenizer.tokenize(text);
    const auto ids = tokenizer.encode(text);
    (void)tokenizer.decode(ids, false);
    (void)tokenizer.decode(ids, true);
  } catch (const std::exception& e) {
    parlet_fuzz::refused(e);
  }
  return 0;
}
