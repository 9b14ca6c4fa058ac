// The byte-level pre-tokenizer's range search over a long text and over many short ones, and the
// added-token capture-group split with an alternation of 3,000 literals.
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/Text/Regex.h"

namespace {

using platform::text::Regex;

constexpr const char* kByteLevel = R"('s|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+)";

std::string sampleText(std::size_t bytes) {
  const std::string sentence =
      "The quick brown fox didn't jump over 42 lazy dogs; caf\xC3\xA9 na\xC3\xAFve \xE2\x80\x94 it's fine!  ";
  std::string out;
  while (out.size() < bytes) out += sentence;
  return out;
}

void RangesOverLongText(benchmark::State& state) {
  const Regex regex(kByteLevel);
  const std::string text = sampleText(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    auto pieces = regex.ranges(text);
    benchmark::DoNotOptimize(pieces);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(RangesOverLongText)->Arg(1 << 10)->Arg(1 << 14)->Arg(1 << 18)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);

void RangesOverShortTexts(benchmark::State& state) {
  const Regex regex(kByteLevel);
  const std::string text = "Hello world, it's me.";
  for (auto _ : state) {
    auto pieces = regex.matchedTexts(text);
    benchmark::DoNotOptimize(pieces);
  }
}
BENCHMARK(RangesOverShortTexts);

void AddedTokenSplit(benchmark::State& state) {
  std::string pattern;
  for (int i = 0; i < 3000; ++i) {
    if (!pattern.empty()) pattern += '|';
    pattern += '(';
    pattern += Regex::escapedPattern("<|tok" + std::to_string(i) + "|>");
    pattern += ')';
  }
  const Regex regex(pattern);
  std::string text = sampleText(1 << 14) + "<|tok2999|>" + sampleText(1 << 14);
  for (auto _ : state) {
    auto pieces = regex.splitKeepingCaptureGroups(text);
    benchmark::DoNotOptimize(pieces);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(AddedTokenSplit)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
