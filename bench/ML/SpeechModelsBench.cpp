// bench_ml [--smoke] [--busy N]: times the four-model runtime at the base.en dimensions (80 mels,
// D = 512, 6 + 6 layers, 8 heads, V = 51864, S = 224, W = 1500) with random weights, on one thread
// per processor the process may use, and a plain sgemm of the encoder's MLP size for comparison:
// mel and encoder per window, the cross-attention keys and values of all decoder layers (and encoder
// plus those, the wait for one window), decoder per token, a breakdown of one encoder pass by
// operation (thread time summed over the pool, and its share of the pool's time), and in fresh
// processes the load time from a warm page cache (median of several; of the folders as written now,
// matrices in half precision, and of folders holding every tensor as f32, as written before), the
// resident size after loading and the peak while loading against the f32 weights.
// --busy N measures the window and the decoder again while another process (in a session of its
// own, like a program started elsewhere on the desktop) keeps N threads busy, and prints the ratio
// to the idle figures, beside the plain sgemm's under the same load: the machine's matrix speed
// left to the process. For half the cores, run it under taskset: `taskset -c 0-3 bench_ml`; the
// pool line shows how many threads the runtime started. The instruction set and the load averages
// before and after the run say which kernels ran and how quiet the machine was. --smoke runs one
// iteration of each. The model folders go into a fresh private temporary folder, removed at the end.
#include <cblas.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench/BusyProcess.h"
#include "bench/MachineFacts.h"
#include "bench/ProcessStatus.h"
#include "platform/ML/MLModel.h"
#include "platform/ML/ModelFolders.h"
#include "platform/ML/detail/Parallel.h"
#include "platform/ML/detail/Profile.h"
#include "platform/ML/detail/Safetensors.h"
#include "platform/ML/detail/Vector.h"
#include "platform/System/SystemInfo.h"
#include "testsupport/Fixtures.h"

using namespace platform::ml;
using Clock = std::chrono::steady_clock;

namespace {

double seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

std::shared_ptr<MLMultiArray> output(const std::shared_ptr<MLFeatureProvider>& p, const char* name) {
  return p->featureValue(name)->multiArrayValue();
}

// In a fresh process (`bench_ml --load <folder>`): loads the models of the folder and prints the
// load time, the resident size they add and the peak while loading, in kilobytes.
int measureLoad(const std::filesystem::path& folder) {
  const long baseline = statusKilobytes("VmRSS:");
  const auto start = Clock::now();
  std::vector<std::shared_ptr<MLModel>> models;
  for (const char* name : {"MelSpectrogram", "AudioEncoder", "TextDecoder", "TextDecoderContextPrefill"})
    if (std::filesystem::exists(folder / (std::string(name) + ".mlmodelc")))
      models.push_back(MLModel::load(folder / (std::string(name) + ".mlmodelc")));
  const double ms = seconds(start) * 1000;
  std::printf("%f %ld %ld\n", ms, statusKilobytes("VmRSS:") - baseline, statusKilobytes("VmHWM:") - baseline);
  return 0;
}

struct LoadFigures {
  double ms = -1;
  long residentKb = -1, peakKb = -1;
};

LoadFigures loadInFreshProcess(const std::filesystem::path& folder) {
  LoadFigures figures;
  // Appended piece by piece: g++ 12 warns falsely (-Wrestrict) on "'" + std::string.
  std::string command = "'";
  command += std::filesystem::read_symlink("/proc/self/exe").string();
  command += "' --load '";
  command += folder.string();
  command += "'";
  if (std::FILE* child = popen(command.c_str(), "r")) {
    if (std::fscanf(child, "%lf %ld %ld", &figures.ms, &figures.residentKb, &figures.peakKb) != 3) figures = {};
    pclose(child);
  }
  return figures;
}

// The model folders at base.en size: half-precision matrices in `folder`, every tensor as f32 in
// `folder`/f32. Returns the number of parameters.
std::int64_t writeFolders(const std::filesystem::path& folder, const WhisperDimensions& d) {
  std::int64_t parameters = 0;
  const auto weights = randomWeights(d, 1);
  for (const auto& [name, t] : weights) parameters += static_cast<std::int64_t>(t.data.size());
  ModelFolderOptions options;
  options.alignmentHeads = defaultAlignmentHeads(d);
  writeModelFolders(folder, d, weights, options);
  writeModelFolders(folder / "f32", d, weights, options);
  for (const char* model : {"AudioEncoder", "TextDecoder"}) {
    const std::string prefix = model[0] == 'A' ? "model.encoder." : "model.decoder.";
    std::map<std::string, detail::Tensor> tensors;
    for (const auto& [name, t] : weights)
      if (name.starts_with(prefix)) tensors[name] = detail::Tensor{t.shape, t.data};
    detail::writeSafetensors(folder / "f32" / (std::string(model) + ".mlmodelc") / "weights.safetensors", tensors);
  }
  return parameters;
}

struct Loads {
  LoadFigures half, f32;
  double fastestHalf = 0, fastestF32 = 0;
  std::size_t runs = 0;
};

// Loads in fresh processes; on a busy machine one load may lose the processor for a while: the
// median of several.
Loads measureLoads(const std::filesystem::path& folder, bool smoke) {
  loadInFreshProcess(folder);  // warms the page cache
  loadInFreshProcess(folder / "f32");
  std::vector<LoadFigures> half, f32;
  for (int i = 0; i < (smoke ? 1 : 7); ++i) {
    half.push_back(loadInFreshProcess(folder));
    f32.push_back(loadInFreshProcess(folder / "f32"));
  }
  auto byTime = [](const LoadFigures& a, const LoadFigures& b) { return a.ms < b.ms; };
  std::sort(half.begin(), half.end(), byTime);
  std::sort(f32.begin(), f32.end(), byTime);
  return {half[half.size() / 2], f32[f32.size() / 2], half.front().ms, f32.front().ms, half.size()};
}

double timeMel(MLModel& mel, const std::shared_ptr<MLMultiArray>& audio, int runs, std::shared_ptr<MLMultiArray>& features) {
  const MLDictionaryFeatureProvider input({{"audio", MLFeatureValue(audio)}});
  for (int i = 0; i < std::min(runs, 3); ++i) mel.prediction(input);  // warm-up: thread pool, scratch buffers
  const auto start = Clock::now();
  for (int i = 0; i < runs; ++i) features = output(mel.prediction(input), "melspectrogram_features");
  return seconds(start) * 1000 / runs;
}

double timeEncoder(MLModel& encoder, const std::shared_ptr<MLMultiArray>& features, int runs,
                   std::shared_ptr<MLMultiArray>& encoded) {
  const MLDictionaryFeatureProvider input({{"melspectrogram_features", MLFeatureValue(features)}});
  encoded = output(encoder.prediction(input), "encoder_output_embeds");  // warm-up
  const auto start = Clock::now();
  for (int i = 0; i < runs; ++i) encoded = output(encoder.prediction(input), "encoder_output_embeds");
  return seconds(start) * 1000 / runs;
}

// GFLOP/s of a plain 1500x2048x512 sgemm on BLAS's own threads, one per usable processor.
double plainSgemmGflops(bool smoke) {
  std::vector<float> a(1500 * 512, 0.5f), b(512 * 2048, 0.25f), c(1500 * 2048);
  openblas_set_num_threads(platform::system::activeProcessorCount());
  auto product = [&] {
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, 1500, 2048, 512, 1, a.data(), 512, b.data(), 2048, 0,
                c.data(), 2048);
  };
  product();
  const auto start = Clock::now();
  const int runs = smoke ? 1 : 20;
  for (int i = 0; i < runs; ++i) product();
  const double gflops = 2.0 * 1500 * 2048 * 512 * runs / seconds(start) / 1e9;
  openblas_set_num_threads(1);  // as the runtime runs it, inside its own threads
  return gflops;
}

// The decoder's inputs for the cache protocol over S = 224 positions.
struct DecoderRun {
  static constexpr std::int64_t ld = 6 * 512, S = 224;
  std::shared_ptr<MLMultiArray> ids = MLMultiArray::make({1}, MLMultiArrayDataType::int32),
                                length = MLMultiArray::make({1}, MLMultiArrayDataType::int32),
                                keys = MLMultiArray::make({1, ld, 1, S}, MLMultiArrayDataType::float16),
                                values = MLMultiArray::make({1, ld, 1, S}, MLMultiArrayDataType::float16),
                                update = MLMultiArray::make({1, S}, MLMultiArrayDataType::int32),
                                padding = MLMultiArray::make({1, S}, MLMultiArrayDataType::float16);

  // Back to an empty cache.
  void reset() {
    for (std::int64_t i = 0; i < S; ++i) {
      padding->setValue(i, i == 0 ? 0 : -10000);
      update->setValue(i, i == 0 ? 1 : 0);
    }
  }

  std::shared_ptr<MLFeatureProvider> predict(MLModel& decoder, const std::shared_ptr<MLMultiArray>& encoded, int t) {
    ids->setValue(0, 50257 + t % 7);
    length->setValue(0, t);
    return decoder.prediction(MLDictionaryFeatureProvider({{"input_ids", MLFeatureValue(ids)},
                                                           {"cache_length", MLFeatureValue(length)},
                                                           {"key_cache", MLFeatureValue(keys)},
                                                           {"value_cache", MLFeatureValue(values)},
                                                           {"kv_cache_update_mask", MLFeatureValue(update)},
                                                           {"encoder_output_embeds", MLFeatureValue(encoded)},
                                                           {"decoder_key_padding_mask", MLFeatureValue(padding)}}));
  }

  // Stores step t's keys and values in the caches and admits the next position.
  void store(const MLFeatureProvider& out, int t) {
    auto ku = out.featureValue("key_cache_updates")->multiArrayValue()->data<Float16>();
    auto vu = out.featureValue("value_cache_updates")->multiArrayValue()->data<Float16>();
    auto kc = keys->data<Float16>();
    auto vc = values->data<Float16>();
    for (std::int64_t j = 0; j < ld; ++j) {
      kc[static_cast<std::size_t>(j * S + t)] = ku[static_cast<std::size_t>(j)];
      vc[static_cast<std::size_t>(j * S + t)] = vu[static_cast<std::size_t>(j)];
    }
    padding->setValue(t + 1, 0);
    update->setValue(t, 0);
    update->setValue(t + 1, 1);
  }
};

struct DecoderFigures {
  double stepMs = 0, firstStepMs = 0;
};

// `steps` tokens from an empty cache; the first step also builds the cross-attention cache.
DecoderFigures timeDecoder(MLModel& decoder, const std::shared_ptr<MLMultiArray>& encoded, int steps) {
  DecoderRun run;
  run.reset();
  encoded->markChanged();
  DecoderFigures figures;
  const auto start = Clock::now();
  auto stepStart = start;
  for (int t = 0; t < steps; ++t) {
    run.store(*run.predict(decoder, encoded, t), t);
    if (t == 0) {
      figures.firstStepMs = seconds(start) * 1000;
      stepStart = Clock::now();
    }
  }
  figures.stepMs = seconds(stepStart) * 1000 / (steps - 1);
  return figures;
}

// Cross-attention keys and values: a first step on a changed encoder output recomputes them for
// every layer; what it takes beyond an ordinary step is their cost.
double timeCrossKeysValues(MLModel& decoder, const std::shared_ptr<MLMultiArray>& encoded, int runs, double stepMs) {
  DecoderRun run;
  run.reset();
  double ms = 0;
  for (int i = 0; i < runs; ++i) {
    encoded->markChanged();
    const auto start = Clock::now();
    run.predict(decoder, encoded, 0);
    ms += seconds(start) * 1000 - stepMs;
  }
  return ms / runs;
}

double threadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// GFLOP/s of the plain sgemm on one thread, by that thread's processor time (what other programs
// take from it is not counted).
double oneThreadSgemmGflops(bool smoke) {
  std::vector<float> a(1500 * 512, 0.5f), b(512 * 2048, 0.25f), c(1500 * 2048);
  const int runs = smoke ? 1 : 4;
  cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, 1500, 2048, 512, 1, a.data(), 512, b.data(), 2048, 0, c.data(), 2048);
  const double start = threadSeconds();
  for (int i = 0; i < runs; ++i)
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, 1500, 2048, 512, 1, a.data(), 512, b.data(), 2048, 0,
                c.data(), 2048);
  return 2.0 * 1500 * 2048 * 512 * runs / (threadSeconds() - start) / 1e9;
}

// One encoder pass with the kernels' operation timers on: processor time per operation summed over
// the pool, as milliseconds per thread and as a share of the pool's time (threads × the pass); the
// products' speed per thread of processor time beside the plain sgemm's on one thread.
void printEncoderBreakdown(MLModel& encoder, const std::shared_ptr<MLMultiArray>& features, bool smoke) {
  const MLDictionaryFeatureProvider input({{"melspectrogram_features", MLFeatureValue(features)}});
  detail::setProfiling(true);
  std::array<double, detail::kOperations> figures{};
  double passMs = 1e300;
  for (int i = 0; i < 3; ++i) {  // the quickest of three
    detail::takeProfile();
    const auto start = Clock::now();
    encoder.prediction(input);
    const double ms = seconds(start) * 1000;
    const auto taken = detail::takeProfile();
    if (ms < passMs) passMs = ms, figures = taken;
  }
  detail::setProfiling(false);
  const auto threads = static_cast<double>(detail::parallelism());
  std::printf("encoder pass by operation (%.2f ms on %.0f threads; ms of processor time per thread, share of the "
              "pool's time):\n",
              passMs, threads);
  double accounted = 0;
  for (std::size_t i = 0; i < static_cast<std::size_t>(detail::Operation::crossKeysValues); ++i) {
    const double perThread = figures[i] * 1000 / threads;
    accounted += perThread;
    std::printf("          %-14s %8.2f ms  %5.1f %%%s\n", detail::operationName(static_cast<detail::Operation>(i)),
                perThread, 100 * perThread / passMs,
                i == static_cast<std::size_t>(detail::Operation::softmax) && detail::fusedAttentionPays()
                    ? "  (inside the fused attention on this path)"
                    : "");
  }
  std::printf("          %-14s %8.2f ms  %5.1f %%  (waiting for other threads or for the processor, the pool, copies)\n",
              "the rest", passMs - accounted, 100 * (passMs - accounted) / passMs);
  const double D = 512, W = 1500, F = 2048;
  const double projectionFlops = 6 * (2 * W * D * D * 4 + 2 * 2 * W * D * F), attentionFlops = 6 * 2 * 2 * W * W * D;
  std::printf("          per thread of processor time: projections %.1f GFLOP/s, attention %.1f GFLOP/s (plain sgemm "
              "on one thread: %.1f GFLOP/s)\n",
              projectionFlops / figures[0] / 1e9, attentionFlops / figures[1] / 1e9, oneThreadSgemmGflops(smoke));
}

std::size_t processThreads() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++count;
  return count;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--load") return measureLoad(argv[2]);
  if (argc == 3 && std::string(argv[1]) == "--spin") return spin(std::atoi(argv[2]));
  bool smoke = false;
  int busy = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--smoke") smoke = true;
    else if (std::string(argv[i]) == "--busy" && i + 1 < argc) busy = std::atoi(argv[++i]);
    else return std::fprintf(stderr, "usage: bench_ml [--smoke] [--busy N]\n"), 2;
  }
  const auto before = loadAverages();
  const WhisperDimensions d;  // base.en
  const testsupport::TempDir temporary;
  const std::filesystem::path& folder = temporary.path();
  const std::int64_t parameters = writeFolders(folder, d);
  const Loads loads = measureLoads(folder, smoke);

  const long baseline = statusKilobytes("VmRSS:");
  auto mel = MLModel::load(folder / "MelSpectrogram.mlmodelc");
  auto encoder = MLModel::load(folder / "AudioEncoder.mlmodelc");
  auto decoder = MLModel::load(folder / "TextDecoder.mlmodelc");
  auto audio = MLMultiArray::make({480000}, MLMultiArrayDataType::float32);
  for (std::int64_t i = 0; i < 480000; ++i) audio->setValue(i, 0.3 * std::sin(0.05 * static_cast<double>(i)));
  const int runs = smoke ? 1 : 10, steps = smoke ? 4 : 200;

  std::shared_ptr<MLMultiArray> features, encoded;
  const double melMs = timeMel(*mel, audio, runs, features);
  const double encoderMs = timeEncoder(*encoder, features, runs, encoded);
  const double gemmGflops = plainSgemmGflops(smoke);
  const DecoderFigures decoding = timeDecoder(*decoder, encoded, steps);
  const long rss = statusKilobytes("VmRSS:");
  const double crossMs = timeCrossKeysValues(*decoder, encoded, runs, decoding.stepMs);
  const std::size_t threads = processThreads();

  const double D = 512, W = 1500, F = 2048, M = 80;
  const double encoderFlops = 2 * D * 3 * M * 3000 + 2 * D * 3 * D * W +
                              6 * (2 * W * D * D * 4 + 2 * 2 * W * W * D + 2 * 2 * W * D * F);
  const double crossFlops = 6 * 2 * 2 * W * D * D;
  const double weightsMb = static_cast<double>(parameters) * 4 / 1e6;
  const auto end = loadAverages();
  std::printf("load:     %8.2f %.2f %.2f before the run, %.2f %.2f %.2f at its end (1, 5, 15 min averages, %u cores)\n",
              before[0], before[1], before[2], end[0], end[1], end[2], std::thread::hardware_concurrency());
  std::printf("kernels:  %s\n", detail::instructionSetName(detail::instructionSet()));
  std::printf("pool:     %8zu threads per loop (workers + caller) on %d usable processors; %zu threads in the process\n",
              detail::parallelism(), platform::system::activeProcessorCount(), threads);
  std::printf("mel:      %8.2f ms per 30 s window\n", melMs);
  std::printf("encoder:  %8.2f ms per 30 s window, %.1f GFLOP/s (plain sgemm 1500x2048x512: %.1f GFLOP/s, %.0f %%)\n",
              encoderMs, encoderFlops / encoderMs / 1e6, gemmGflops, 100 * encoderFlops / encoderMs / 1e6 / gemmGflops);
  std::printf("cross-kv: %8.2f ms per window (keys and values of every decoder layer; at the plain sgemm's speed %.2f ms)\n",
              crossMs, crossFlops / gemmGflops / 1e6);
  std::printf("window:   %8.2f ms per 30 s window (encoder + cross-kv)\n", encoderMs + crossMs);
  std::printf("decoder:  %8.2f ms per token over %d steps (first step with cross-attention keys: %.2f ms)\n",
              decoding.stepMs, steps - 1, decoding.firstStepMs);
  printEncoderBreakdown(*encoder, features, smoke);
  if (busy > 0) {
    const BusyProcess process(busy);
    const auto loadedBefore = loadAverages();
    const double loadedEncoderMs = timeEncoder(*encoder, features, runs, encoded);
    const DecoderFigures loadedDecoding = timeDecoder(*decoder, encoded, steps);
    const double loadedCrossMs = timeCrossKeysValues(*decoder, encoded, runs, loadedDecoding.stepMs);
    const double loadedGemmGflops = plainSgemmGflops(smoke);
    const double window = encoderMs + crossMs, loadedWindow = loadedEncoderMs + loadedCrossMs;
    std::printf("loaded:   %d busy threads of another process beside it (load %.2f when they started)\n", busy,
                loadedBefore[0]);
    std::printf("window:   %8.2f ms per 30 s window loaded (encoder %.2f, cross-kv %.2f), %.2f x the idle %.2f ms\n",
                loadedWindow, loadedEncoderMs, loadedCrossMs, loadedWindow / window, window);
    std::printf("decoder:  %8.2f ms per token loaded, %.2f x the idle %.2f ms\n", loadedDecoding.stepMs,
                loadedDecoding.stepMs / decoding.stepMs, decoding.stepMs);
    std::printf("sgemm:    %8.1f GFLOP/s loaded (the plain sgemm on BLAS's own threads), %.2f x the idle time\n",
                loadedGemmGflops, gemmGflops / loadedGemmGflops);
  }
  const double f32Kb = weightsMb * 1e6 / 1024;
  std::printf("load:     %8.2f ms for the models from a warm page cache (fresh process, median of %zu, fastest %.2f ms; "
              "matrices stored in half precision)\n",
              loads.half.ms, loads.runs, loads.fastestHalf);
  std::printf("          %8.2f ms for folders of f32 tensors (median, fastest %.2f ms)\n", loads.f32.ms, loads.fastestF32);
  std::printf("memory:   %8.1f MB resident after loading, %.2f x the f32 weights (%.1f MB); peak while loading %.1f MB, "
              "%.2f x the resident size\n",
              loads.half.residentKb / 1024.0, loads.half.residentKb / f32Kb, weightsMb, loads.half.peakKb / 1024.0,
              static_cast<double>(loads.half.peakKb) / static_cast<double>(loads.half.residentKb));
  std::printf("          %8.1f MB resident after a window and %d tokens (one window's cross-attention keys and values "
              "included), %.2f x\n",
              (rss - baseline) / 1024.0, steps, (rss - baseline) / f32Kb);
  return 0;
}
