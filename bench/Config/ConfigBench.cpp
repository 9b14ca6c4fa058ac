// Parses the whisper-tiny tokenizer.json (2.5 MB: 50,258 vocabulary entries, 50,000 merges) into a
// Config and looks vocabulary entries up. Target: parsing in at most 40 ms (Release build).
// The file is found beside the project at ../shared/fixtures, or at the path given in
// PARLET_TOKENIZER_JSON.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include <benchmark/benchmark.h>

#include "Hub/JSONParser.h"

namespace {

std::string tokenizerJson() {
  static const std::string contents = [] {
    std::filesystem::path path = std::filesystem::path(PARLET_SOURCE_DIR) / ".." / "shared" / "fixtures" / "tokenizers" /
                                 "whisper-tiny" / "tokenizer.json";
    if (const char* override = std::getenv("PARLET_TOKENIZER_JSON")) path = override;
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }();
  return contents;
}

void ParseWhisperTokenizer(benchmark::State& state) {
  const std::string json = tokenizerJson();
  if (json.empty()) {
    state.SkipWithError("whisper-tiny tokenizer.json not found");
    return;
  }
  for (auto _ : state) {
    hub::Config config = hub::JSONParser::parseToConfig(json);
    benchmark::DoNotOptimize(config);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(json.size()));
}
BENCHMARK(ParseWhisperTokenizer)->Unit(benchmark::kMillisecond);

void LookUpVocabulary(benchmark::State& state) {
  const std::string json = tokenizerJson();
  if (json.empty()) {
    state.SkipWithError("whisper-tiny tokenizer.json not found");
    return;
  }
  const hub::Config config = hub::JSONParser::parseToConfig(json);
  const auto* vocab = config["model"]["vocab"].dictionary();
  const std::string keys[] = {"Hello", "\xC4\xA0world", "<|endoftext|>", "ing", "\xC4\xA0the", "missing-token"};
  std::size_t i = 0;
  for (auto _ : state) {
    auto it = vocab->find(std::string_view(keys[i++ % 6]));
    benchmark::DoNotOptimize(it);
  }
}
BENCHMARK(LookUpVocabulary);

}  // namespace

BENCHMARK_MAIN();
