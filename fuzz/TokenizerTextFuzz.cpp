// Any text through the fixture tokenizers (BPE, byte-level BPE, WordPiece, Unigram): the first byte
// picks the tokenizer, the rest is encoded (with and without special tokens), tokenized, and its
// ids decoded. The fixtures are read once from $PARLET_FIXTURES or ../shared/fixtures/tokenizers.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "Hub/JSONParser.h"
#include "Tokenizers/PreTrainedTokenizer.h"
#include "platform/Text/Regex.h"

namespace {

std::vector<std::unique_ptr<tokenizers::PreTrainedTokenizer>> loaded;

hub::Config readConfig(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return hub::JSONParser::parseToConfig(text);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* env = std::getenv("PARLET_FIXTURES");
  const std::filesystem::path root = env && *env ? std::filesystem::path(env) : std::filesystem::path("../shared/fixtures");
  // Folder and the configuration to use where the fixture has none (or one without a class).
  const std::pair<const char*, const char*> fixtures[] = {
      {"gpt2", nullptr},
      {"whisper-tiny", nullptr},
      {"phi-3-mini", nullptr},
      {"t5-small", nullptr},
      {"bert-base-uncased", R"({"tokenizer_class": "BertTokenizerFast", "do_lower_case": true})"},
      {"roberta-base", R"({"tokenizer_class": "RobertaTokenizer", "model_max_length": 512})"},
  };
  try {
    for (const auto& [name, config] : fixtures) {
      const auto folder = root / "tokenizers" / name;
      loaded.push_back(std::make_unique<tokenizers::PreTrainedTokenizer>(
          config ? hub::JSONParser::parseToConfig(config) : readConfig(folder / "tokenizer_config.json"),
          readConfig(folder / "tokenizer.json"), true));
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tokenizer fixtures under %s cannot be loaded: %s\n", root.c_str(), e.what());
    std::exit(1);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const auto& tokenizer = *loaded[data[0] % loaded.size()];
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  // Each input gets two seconds of regular-expression work, after which the calls must end with their error.
  const platform::text::RegexTimeBudget budget(std::chrono::seconds(2));
  try {
    (void)tokenizer.tokenize(text);
    (void)tokenizer.encode(text, false);
    const auto ids = tokenizer.encode(text, true);
    (void)tokenizer.decode(ids, true);
  } catch (const std::exception& e) {
    parlet_fuzz::refused(e);
  }
  return 0;
}
