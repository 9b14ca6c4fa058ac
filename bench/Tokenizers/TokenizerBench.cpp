// The GPT-2 byte-level BPE tokenizer of shared/fixtures: loading its tokenizer.json (parse and
// construction), encoding 1 MB of generated English prose on one thread, and decoding the ids.
// The Whisper tokenizer (1,608 added tokens) encoding one string of 250 KB and of 1 MB, so that
// the added-token split shows whether it stays linear. The T5 Unigram tokenizer: loading, and
// encoding the same 1 MB of prose on one thread (target: at least 5 MB/s). Loading a tokenizer.json
// of 200,000 added tokens, and of one added token of 8 MiB (parse and construction, with the
// memory the loaded tokenizer holds), and refusing a document of millions of tiny values. Prints the instruction set the code was built for and the
// machine's load before and after the run. Run from anywhere; the fixtures are found beside the
// project at ../shared/fixtures.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/BenchmarkMain.h"
#include "bench/ProcessStatus.h"

#include "Hub/JSONParser.h"
#include "Tokenizers/PreTrainedTokenizer.h"

namespace {

const std::filesystem::path kFixtures = std::filesystem::path(PARLET_SOURCE_DIR) / ".." / "shared" / "fixtures" / "tokenizers";
const std::filesystem::path kFolder = kFixtures / "gpt2";
const std::filesystem::path kWhisperFolder = kFixtures / "whisper-tiny";
const std::filesystem::path kT5Folder = kFixtures / "t5-small";

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::unique_ptr<tokenizers::PreTrainedTokenizer> load(const std::filesystem::path& folder) {
  auto config = hub::JSONParser::parseToConfig(readFile(folder / "tokenizer_config.json"));
  auto data = hub::JSONParser::parseToConfig(readFile(folder / "tokenizer.json"));
  return std::make_unique<tokenizers::PreTrainedTokenizer>(config, data, true);
}

std::unique_ptr<tokenizers::PreTrainedTokenizer> loadGPT2() { return load(kFolder); }

// Deterministic prose: sentences of common words from a fixed generator, with capitals, commas,
// numbers, contractions and paragraph breaks.
std::string prose(std::size_t bytes) {
  static const char* const kWords[] = {
      "the", "of", "and", "to", "in", "a", "is", "that", "for", "it", "as", "was", "with", "be", "by", "on",
      "not", "he", "this", "are", "or", "his", "from", "at", "which", "but", "have", "an", "had", "they", "you",
      "were", "their", "one", "all", "we", "can", "her", "has", "there", "been", "if", "more", "when", "will",
      "would", "who", "so", "no", "people", "time", "house", "morning", "river", "question", "government",
      "understanding", "beautiful", "language", "however", "remarkable", "dictation", "microphone", "speech",
      "didn't", "it's", "we'll", "they're", "world", "little", "between", "through", "country", "evening",
      "important", "children", "thought", "together", "something", "nothing", "everything", "already"};
  constexpr std::size_t kCount = sizeof kWords / sizeof kWords[0];
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  auto next = [&] {
    state ^= state << 13, state ^= state >> 7, state ^= state << 17;
    return state;
  };
  std::string out;
  out.reserve(bytes + 256);
  while (out.size() < bytes) {
    const std::size_t length = 6 + next() % 18;
    for (std::size_t i = 0; i < length; ++i) {
      std::string word = kWords[next() % kCount];
      if (i == 0) word[0] = static_cast<char>(word[0] - 'a' + 'A');
      out += word;
      if (next() % 29 == 0) {
        out += ' ';
        out += std::to_string(next() % 2000);
      }
      if (i + 1 < length) out += next() % 9 == 0 ? ", " : " ";
    }
    out += next() % 5 == 0 ? "?" : ".";
    out += next() % 7 == 0 ? "\n\n" : " ";
  }
  out.resize(bytes);
  while (!out.empty() && (static_cast<unsigned char>(out.back()) & 0xC0) == 0x80) out.pop_back();
  return out;
}

void LoadGPT2(benchmark::State& state) {
  if (!std::filesystem::exists(kFolder)) return state.SkipWithError("gpt2 fixture absent");
  for (auto _ : state) {
    auto tokenizer = loadGPT2();
    benchmark::DoNotOptimize(tokenizer);
  }
}
BENCHMARK(LoadGPT2)->Unit(benchmark::kMillisecond);

// Encodes 1 MiB of prose as one string, counting bytes per second and the tokens it gives.
void encodeMebibyteOfProse(benchmark::State& state, const tokenizers::PreTrainedTokenizer& tokenizer) {
  const std::string text = prose(1 << 20);
  std::size_t count = 0;
  for (auto _ : state) {
    auto ids = tokenizer.encode(text);
    count = ids.size();
    benchmark::DoNotOptimize(ids);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
  state.counters["tokens"] = static_cast<double>(count);
}

void EncodeProse(benchmark::State& state) {
  if (!std::filesystem::exists(kFolder)) return state.SkipWithError("gpt2 fixture absent");
  encodeMebibyteOfProse(state, *loadGPT2());
}
BENCHMARK(EncodeProse)->Unit(benchmark::kMillisecond);

void DecodeProse(benchmark::State& state) {
  if (!std::filesystem::exists(kFolder)) return state.SkipWithError("gpt2 fixture absent");
  auto tokenizer = loadGPT2();
  const std::string text = prose(1 << 20);
  const auto ids = tokenizer->encode(text);
  if (tokenizer->decode(ids) != text) return state.SkipWithError("decoding does not give the prose back");
  for (auto _ : state) {
    auto decoded = tokenizer->decode(ids);
    benchmark::DoNotOptimize(decoded);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(DecodeProse)->Unit(benchmark::kMillisecond);

// Transcript-like text: prose with a timestamp token after every few sentences, in one string.
void EncodeWhisperTranscript(benchmark::State& state) {
  if (!std::filesystem::exists(kWhisperFolder / "tokenizer.json"))
    return state.SkipWithError("whisper-tiny fixture absent (shared/fixtures not beside the project)");
  auto tokenizer = load(kWhisperFolder);
  const std::size_t bytes = static_cast<std::size_t>(state.range(0)) * 1024;
  std::string text;
  {
    const std::string body = prose(bytes);
    text.reserve(bytes + bytes / 16);
    std::size_t sentences = 0;
    for (char c : body) {
      text.push_back(c);
      if (c == '.' && ++sentences % 3 == 0) {
        char stamp[16];
        std::snprintf(stamp, sizeof stamp, "<|%.2f|>", static_cast<double>(sentences % 1500) * 0.02);
        text += stamp;
      }
    }
  }
  std::size_t count = 0;
  for (auto _ : state) {
    auto ids = tokenizer->encode(text, false);
    count = ids.size();
    benchmark::DoNotOptimize(ids);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
  state.counters["tokens"] = static_cast<double>(count);
}
BENCHMARK(EncodeWhisperTranscript)->Arg(250)->Arg(1024)->Unit(benchmark::kMillisecond);

void LoadT5(benchmark::State& state) {
  if (!std::filesystem::exists(kT5Folder / "tokenizer.json"))
    return state.SkipWithError("t5-small fixture absent (shared/fixtures not beside the project)");
  for (auto _ : state) {
    auto tokenizer = load(kT5Folder);
    benchmark::DoNotOptimize(tokenizer);
  }
}
BENCHMARK(LoadT5)->Unit(benchmark::kMillisecond);

void EncodeT5Prose(benchmark::State& state) {
  if (!std::filesystem::exists(kT5Folder / "tokenizer.json"))
    return state.SkipWithError("t5-small fixture absent (shared/fixtures not beside the project)");
  encodeMebibyteOfProse(state, *load(kT5Folder));
}
BENCHMARK(EncodeT5Prose)->Unit(benchmark::kMillisecond);

// A character-level model with the given added tokens, as the text of a tokenizer.json.
std::string documentWithAddedTokens(const std::vector<std::string>& contents, bool strip = false) {
  std::string out = R"({"model": {"type": "BPE", "vocab": {"a": 0, "b": 1}, "merges": []}, "added_tokens": [)";
  for (std::size_t i = 0; i < contents.size(); ++i) {
    if (i) out += ',';
    out += R"({"id": )" + std::to_string(i + 2) + R"(, "content": ")" + contents[i] +
           R"(", "single_word": false, "lstrip": )" + (strip && i % 2 ? "true" : "false") + R"(, "rstrip": )" +
           (strip && i % 3 ? "true" : "false") + R"(, "normalized": false, "special": true})";
  }
  return out + "]}";
}

// Parse and construction of the document; "heldMiB" is how much the resident memory grew while
// loading (run one benchmark per process for a figure not hidden by memory freed earlier).
void loadAddedTokens(benchmark::State& state, const std::string& document) {
  const hub::Config config = hub::JSONParser::parseToConfig(R"({"tokenizer_class": "GPT2Tokenizer"})");
  long held = 0;
  for (auto _ : state) {
    const long before = statusKilobytes("VmRSS:");
    auto tokenizer = std::make_unique<tokenizers::PreTrainedTokenizer>(config, hub::JSONParser::parseToConfig(document), true);
    held = statusKilobytes("VmRSS:") - before;
    benchmark::DoNotOptimize(tokenizer);
  }
  state.counters["heldMiB"] = static_cast<double>(held) / 1024.0;
  state.counters["documentMiB"] = static_cast<double>(document.size()) / (1 << 20);
}

// range(0) added tokens; range(1): 0 names with a shared prefix ("<|reserved_17|>"), 1 random
// words, 2 random words with lstrip and rstrip on some.
void LoadManyAddedTokens(benchmark::State& state) {
  std::vector<std::string> contents;
  std::uint64_t x = 88172645463325252ull;
  for (std::int64_t i = 0; i < state.range(0); ++i) {
    if (state.range(1) == 0) {
      contents.push_back("<|reserved_" + std::to_string(i) + "|>");
      continue;
    }
    std::string word;
    for (int k = 0; k < 3 + static_cast<int>(i % 9); ++k) {
      x ^= x << 13, x ^= x >> 7, x ^= x << 17;
      word += static_cast<char>('a' + x % 26);
    }
    contents.push_back(word);
  }
  loadAddedTokens(state, documentWithAddedTokens(contents, state.range(1) == 2));
}
BENCHMARK(LoadManyAddedTokens)
    ->Args({200000, 0})
    ->Args({200000, 1})
    ->Args({200000, 2})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

// One added token of 8 MiB: range(0) 0 letters, 1 with characters that a pattern must escape.
void LoadLongAddedToken(benchmark::State& state) {
  std::string token;
  while (token.size() < (std::size_t(8) << 20)) token += state.range(0) ? "<|x.|>" : "xxxxxx";
  loadAddedTokens(state, documentWithAddedTokens({token}));
}
BENCHMARK(LoadLongAddedToken)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(1);

// A tokenizer.json of nearly 128 MiB made of 16.7 million one-member objects: the time until the
// parse refuses it, and the process's peak memory ("peakMiB", run alone for a meaningful figure).
void RefuseTinyValuesDocument(benchmark::State& state) {
  std::string document = "[";
  document.reserve(std::size_t(128) << 20);
  while (document.size() + 9 < (std::size_t(128) << 20)) document += R"({"a":1},)";
  document += R"({"a":1}])";
  for (auto _ : state) {
    try {
      benchmark::DoNotOptimize(hub::JSONParser::parseToConfig(document));
      return state.SkipWithError("the document was read");
    } catch (const hub::JSONParser::TreeTooLargeError&) {
    }
  }
  state.counters["peakMiB"] = static_cast<double>(statusKilobytes("VmHWM:")) / 1024.0;
  state.counters["documentMiB"] = static_cast<double>(document.size()) / (1 << 20);
}
BENCHMARK(RefuseTinyValuesDocument)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) { return runBenchmarks(argc, argv); }
