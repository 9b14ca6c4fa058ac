// bench_learned_model: the small speech model that learned (shared/fixtures/speech-model: d_model
// 128, 2 + 2 layers, the multilingual vocabulary) on the application's road.
//   BM_FirstUse: the application's engine downloads the model from a local repository server
//                into an empty cache, packs it and loads it.
//   BM_Load:     a new engine on the filled cache (the server still answers the listing).
//   BM_Clip:     per clip kind (single sentences, dictation recordings with silence around the
//                speech, multi-sentence clips, non-speech), one held-out clip per iteration through
//                the application's transcriber and the pipeline's silence and hallucination
//                checks: ms per clip, audio seconds per clip, ms per audio second, and the share
//                of clips that would be pasted (1 for speech, 0 for non-speech).
// Without the fixture every benchmark is skipped with the reason.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "Parlet/core/MurmelSpeechEngine.h"
#include "Parlet/core/Pipeline.h"
#include "Parlet/core/Transcriber.h"
#include "bench/BenchmarkMain.h"
#include "platform/Audio/AudioFile.h"
#include "testsupport/Fixtures.h"
#include "testsupport/HubTestServer.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kRepository = "acoustics-lab/small-speech";

fs::path fixture() { return testsupport::fixturesDir() / "speech-model"; }
bool fixturePresent() { return fs::exists(fixture() / "model" / "model.safetensors") && fs::exists(fixture() / "clips"); }

// The model's repository on a local server, and the application's arguments for a cache folder.
struct Service {
  testsupport::HubTestServer server;
  testsupport::EnvironmentGuard environment;
  testsupport::TempDir dir;

  Service() {
    server.addRepository("models", kRepository);
    server.addFolder("models", kRepository, fixture() / "model");
    environment.set("CI_DISABLE_NETWORK_MONITOR", "1");
    environment.set("HF_ENDPOINT", server.endpoint());
  }

  parlet::EngineOptions options(const fs::path& cache) const {
    parlet::EngineOptions o = parlet::Transcriber::engineOptions();
    o.downloadBase = cache;
    o.modelRepo = kRepository;
    o.verbose = false;
    o.logLevel = kestrum::Logging::LogLevel::none;
    return o;
  }

  static Service& shared() {
    static Service service;
    return service;
  }
};

enum Kind { sentences, dictations, multiSentence, nonSpeech };

const char* label(Kind kind) {
  switch (kind) {
    case sentences: return "single sentences";
    case dictations: return "dictation recordings";
    case multiSentence: return "multi-sentence";
    case nonSpeech: return "non-speech";
  }
  return "?";
}

// t000 => sentences, st002 => dictations, long0 => multiSentence, ns00_silence => nonSpeech
Kind kindOf(const std::string& name) {
  if (name.starts_with("st")) return dictations;
  if (name.starts_with("long")) return multiSentence;
  if (name.starts_with("ns")) return nonSpeech;
  return sentences;
}

struct Clip {
  fs::path wav;
  double seconds;
};

std::vector<Clip> clipsOf(Kind kind) {
  std::vector<Clip> out;
  for (const auto& entry : fs::directory_iterator(fixture() / "clips")) {
    if (entry.path().extension() != ".wav" || kindOf(entry.path().filename().string()) != kind) continue;
    const platform::audio::AudioFile file(entry.path());
    out.push_back({entry.path(), static_cast<double>(file.length()) / file.fileFormat().sampleRate()});
  }
  std::sort(out.begin(), out.end(), [](const Clip& a, const Clip& b) { return a.wav < b.wav; });
  return out;
}

void BM_FirstUse(benchmark::State& state) {
  if (!fixturePresent()) return state.SkipWithError("the speech-model fixture is absent");
  Service& service = Service::shared();
  int run = 0;
  for (auto _ : state) {
    const fs::path cache = service.dir.path() / ("first-use-" + std::to_string(run++));
    auto engine = parlet::MurmelSpeechEngine::create(service.options(cache));
    benchmark::DoNotOptimize(engine);
    state.PauseTiming();
    engine.reset();
    fs::remove_all(cache);
    state.ResumeTiming();
  }
}
BENCHMARK(BM_FirstUse)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Load(benchmark::State& state) {
  if (!fixturePresent()) return state.SkipWithError("the speech-model fixture is absent");
  Service& service = Service::shared();
  const fs::path cache = service.dir.path() / "cache";
  parlet::MurmelSpeechEngine::create(service.options(cache));  // fills the cache and warms the page cache
  for (auto _ : state) {
    auto engine = parlet::MurmelSpeechEngine::create(service.options(cache));
    benchmark::DoNotOptimize(engine);
    state.PauseTiming();
    engine.reset();  // unloading is not part of the figure
    state.ResumeTiming();
  }
}
BENCHMARK(BM_Load)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Clip(benchmark::State& state) {
  if (!fixturePresent()) return state.SkipWithError("the speech-model fixture is absent");
  const Kind kind = static_cast<Kind>(state.range(0));
  Service& service = Service::shared();
  static const std::shared_ptr<parlet::SpeechEngine> engine =
      parlet::MurmelSpeechEngine::create(service.options(service.dir.path() / "cache"));
  parlet::Transcriber transcriber([](const parlet::EngineOptions&) { return engine; });
  const std::vector<Clip> clips = clipsOf(kind);
  transcriber.transcript(clips.front().wav);  // warm-up: thread pool, scratch buffers

  std::size_t next = 0, pasted = 0;
  double audio = 0, ms = 0;
  for (auto _ : state) {
    const Clip& clip = clips[next++ % clips.size()];
    const auto start = Clock::now();
    const parlet::Transcript transcript = transcriber.transcript(clip.wav);
    const bool dropped = parlet::Pipeline::silenceProbability(transcript) ||
                         parlet::Pipeline::isHallucination(transcript.text, clip.seconds);
    ms += std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    pasted += !dropped;
    audio += clip.seconds;
  }
  const double runs = static_cast<double>(state.iterations());
  state.counters["ms_per_clip"] = ms / runs;
  state.counters["audio_s_per_clip"] = audio / runs;
  state.counters["ms_per_audio_s"] = audio > 0 ? ms / audio : 0;
  state.counters["pasted_share"] = static_cast<double>(pasted) / runs;
  state.SetLabel(label(kind));
}
BENCHMARK(BM_Clip)
    ->Arg(sentences)
    ->Arg(dictations)
    ->Arg(multiSentence)
    ->Arg(nonSpeech)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) { return runBenchmarks(argc, argv); }
