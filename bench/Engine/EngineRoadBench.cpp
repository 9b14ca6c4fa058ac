// bench_engine: the dictation core's road through the real engine at base.en dimensions (80 mels,
// D = 512, 6 + 6 layers, V = 51864, S = 224) on a 5 s WAV file: the engine created from a model
// folder (load, tokenizer included) and its file transcription with the default options.
// Two weight sets:
//   scripted: random encoder; the decoder says a 14-word segment (17 tokens), as speech of 5 s
//             would, at full cost per token (its blocks run, their outputs are zeroed).
//   random:   every weight random; the decoder runs to its step limit at every temperature of the
//             fallback ladder, so the figure to read is the time per token.
// Counters: tokens decoded per run, ms per token, and per run the ms of mel, encoder, the decoder's
// cross-attention keys and values, the rest of the decoder predictions, and the whole run. --smoke runs the load and the scripted clip once and leaves the random weights out.
// The model folders go into a private temporary folder, removed at the end.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Murmel/Murmel.h"
#include "bench/MachineFacts.h"
#include "Parlet/core/MurmelSpeechEngine.h"
#include "Parlet/core/Transcriber.h"
#include "Parlet/core/tests/RoadFixtures.h"
#include "platform/ML/detail/Profile.h"
#include "testsupport/Fixtures.h"

namespace {

namespace fs = std::filesystem;
using parlet::testing::baseEnDimensions;
using Clock = std::chrono::steady_clock;

enum Weights { scripted, random };

// One model folder (with the generated tokenizer) and one clip per weight set, written on first use.
struct Road {
  testsupport::TempDir dir;
  fs::path folder = dir.path() / "openai_whisper-base.en";
  fs::path wav = dir.path() / "clip.wav";

  explicit Road(Weights weights) {
    const auto dims = baseEnDimensions();
    platform::ml::ModelFolderOptions options;
    options.alignmentHeads = platform::ml::defaultAlignmentHeads(dims);
    platform::ml::writeModelFolders(folder, dims,
                                    weights == scripted ? parlet::testing::scriptedWeights(dims, parlet::testing::sayWords(14, 4.8))
                                                        : platform::ml::randomWeights(dims, 1),
                                    options);
    parlet::testing::writeGeneratedTokenizer(folder);
    parlet::testing::writeToneWav(wav, 5.0);
  }

  // The application's arguments with this folder instead of a download.
  parlet::EngineOptions options() const {
    parlet::EngineOptions o = parlet::Transcriber::engineOptions();
    o.modelFolder = folder.string();
    o.download = false;
    o.verbose = false;
    return o;
  }

  static Road& of(Weights weights) {
    static std::map<Weights, std::unique_ptr<Road>> roads;
    auto& road = roads[weights];
    if (!road) road = std::make_unique<Road>(weights);
    return *road;
  }
};

void BM_EngineLoad(benchmark::State& state) {
  const Road& road = Road::of(scripted);
  parlet::MurmelSpeechEngine::create(road.options());  // warms the page cache
  for (auto _ : state) {
    auto engine = parlet::MurmelSpeechEngine::create(road.options());
    benchmark::DoNotOptimize(engine);
    state.PauseTiming();
    engine.reset();  // unloading is not part of the figure
    state.ResumeTiming();
  }
}
BENCHMARK(BM_EngineLoad)->Unit(benchmark::kMillisecond)->UseRealTime();

// Loads once, then transcribes the clip per iteration.
void BM_Transcribe5s(benchmark::State& state) {
  const Weights weights = static_cast<Weights>(state.range(0));
  const Road& road = Road::of(weights);
  const auto loadStart = Clock::now();
  const auto engine = parlet::MurmelSpeechEngine::create(road.options());
  const double loadMs = std::chrono::duration<double, std::milli>(Clock::now() - loadStart).count();
  // Warm-up (thread pool, scratch buffers); a random-weight run is long enough to need none.
  if (weights == scripted) engine->engine()->transcribe(road.wav.string());

  // The kernels time the cross-attention keys and values, which run inside a decoder prediction.
  platform::ml::detail::setProfiling(true);
  platform::ml::detail::takeProfile();
  double tokens = 0, mel = 0, encoder = 0, decoder = 0, totalMs = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    // What the adaptor's transcribe calls; the results carry the run's timings.
    const auto results = engine->engine()->transcribe(road.wav.string());
    totalMs += std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    for (const auto& result : results) {
      const auto t = result->timings();
      tokens += t.totalDecodingLoops;
      mel += t.logmels * 1000;
      encoder += t.encoding * 1000;
      decoder += t.decodingPredictions * 1000;
    }
  }
  const double cross = platform::ml::detail::takeProfile()[static_cast<std::size_t>(
                           platform::ml::detail::Operation::crossKeysValues)] * 1000;
  platform::ml::detail::setProfiling(false);
  const double runs = static_cast<double>(state.iterations());
  state.counters["load_ms"] = loadMs;
  state.counters["tokens"] = tokens / runs;
  state.counters["ms_per_token"] = tokens > 0 ? totalMs / tokens : 0;
  state.counters["mel_ms"] = mel / runs;
  state.counters["encoder_ms"] = encoder / runs;
  state.counters["cross_kv_ms"] = cross / runs;
  state.counters["decoder_ms"] = (decoder - cross) / runs;  // its predictions without the cross-attention keys
  state.counters["total_ms"] = totalMs / runs;
  state.SetLabel(weights == scripted ? "scripted" : "random");
}
BENCHMARK(BM_Transcribe5s)->Arg(scripted)->Arg(random)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> args(argv, argv + argc);
  std::string minTime = "--benchmark_min_time=0.01", filter = "--benchmark_filter=BM_EngineLoad|BM_Transcribe5s/0/";
  if (argc > 1 && std::string(argv[1]) == "--smoke") {
    args.erase(args.begin() + 1);
    args.push_back(minTime.data());
    args.push_back(filter.data());
  }
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  benchmark::AddCustomContext("instruction set", instructionSet());
  benchmark::AddCustomContext("load before", loadAveragesText());
  benchmark::RunSpecifiedBenchmarks();
  std::printf("load after: %s\n", loadAveragesText().c_str());
  benchmark::Shutdown();
  return 0;
}
