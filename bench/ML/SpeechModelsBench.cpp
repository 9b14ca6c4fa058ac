// bench_ml [--smoke]: times the four-model runtime at the base.en dimensions (80 mels, D = 512,
// 6 + 6 layers, 8 heads, V = 51864, S = 224, W = 1500) with random weights on 8 threads, and a
// plain sgemm of the encoder's MLP size for comparison: mel and encoder per window, the
// cross-attention keys and values of all decoder layers (and encoder plus those, the wait for one
// window), decoder per token, and in fresh processes the load time from a warm page cache (median
// of several; of the folders as written now, matrices in half precision, and of folders holding
// every tensor as f32, as written before), the resident size after loading and the peak while
// loading against the f32 weights. The instruction set and the load averages before and after the
// run say which kernels ran and how quiet the machine was. --smoke runs one iteration of each.
// The model folders go into a fresh private temporary folder, removed at the end.
#include <cblas.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench/MachineFacts.h"
#include "bench/ProcessStatus.h"
#include "platform/ML/MLModel.h"
#include "platform/ML/ModelFolders.h"
#include "platform/ML/detail/Safetensors.h"
#include "platform/ML/detail/Vector.h"
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

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--load") return measureLoad(argv[2]);
  const bool smoke = argc > 1 && std::string(argv[1]) == "--smoke";
  const auto before = loadAverages();
  WhisperDimensions d;  // base.en
  const testsupport::TempDir temporary;
  const std::filesystem::path& folder = temporary.path();
  std::int64_t parameters = 0;
  {
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
  }
  loadInFreshProcess(folder);  // warms the page cache
  loadInFreshProcess(folder / "f32");
  // On a busy machine one load may lose the processor for a while: the median of several.
  std::vector<LoadFigures> loads, floatLoads;
  for (int i = 0; i < (smoke ? 1 : 7); ++i) {
    loads.push_back(loadInFreshProcess(folder));
    floatLoads.push_back(loadInFreshProcess(folder / "f32"));
  }
  auto median = [](std::vector<LoadFigures> runs) {
    std::sort(runs.begin(), runs.end(), [](const LoadFigures& a, const LoadFigures& b) { return a.ms < b.ms; });
    return std::pair{runs[runs.size() / 2], runs.front().ms};
  };
  const auto [loading, fastestLoad] = median(loads);
  const auto [floatLoading, fastestFloatLoad] = median(floatLoads);
  const long baseline = statusKilobytes("VmRSS:");
  auto mel = MLModel::load(folder / "MelSpectrogram.mlmodelc");
  auto encoder = MLModel::load(folder / "AudioEncoder.mlmodelc");
  auto decoder = MLModel::load(folder / "TextDecoder.mlmodelc");

  auto audio = MLMultiArray::make({480000}, MLMultiArrayDataType::float32);
  for (std::int64_t i = 0; i < 480000; ++i) audio->setValue(i, 0.3 * std::sin(0.05 * static_cast<double>(i)));
  const int runs = smoke ? 1 : 10;

  std::shared_ptr<MLMultiArray> features;
  for (int i = 0; i < (smoke ? 1 : 3); ++i)  // warm-up: thread pool, page faults of the scratch buffers
    mel->prediction(MLDictionaryFeatureProvider({{"audio", MLFeatureValue(audio)}}));
  auto start = Clock::now();
  for (int i = 0; i < runs; ++i)
    features = output(mel->prediction(MLDictionaryFeatureProvider({{"audio", MLFeatureValue(audio)}})), "melspectrogram_features");
  const double melMs = seconds(start) * 1000 / runs;

  std::shared_ptr<MLMultiArray> encoded;
  const MLDictionaryFeatureProvider encoderInput({{"melspectrogram_features", MLFeatureValue(features)}});
  encoded = output(encoder->prediction(encoderInput), "encoder_output_embeds");  // warm-up
  start = Clock::now();
  for (int i = 0; i < runs; ++i) encoded = output(encoder->prediction(encoderInput), "encoder_output_embeds");
  const double encoderMs = seconds(start) * 1000 / runs;

  const double D = 512, W = 1500, F = 2048, M = 80;
  const double encoderFlops = 2 * D * 3 * M * 3000 + 2 * D * 3 * D * W +
                              6 * (2 * W * D * D * 4 + 2 * 2 * W * W * D + 2 * 2 * W * D * F);
  const double crossFlops = 6 * 2 * 2 * W * D * D;
  std::vector<float> a(1500 * 512, 0.5f), b(512 * 2048, 0.25f), c(1500 * 2048);
  // The runtime runs BLAS single-threaded inside its own 8 threads; the plain sgemm gets BLAS's 8 threads.
  openblas_set_num_threads(8);
  cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, 1500, 2048, 512, 1, a.data(), 512, b.data(), 2048, 0, c.data(), 2048);
  start = Clock::now();
  const int gemmRuns = smoke ? 1 : 20;
  for (int i = 0; i < gemmRuns; ++i)
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, 1500, 2048, 512, 1, a.data(), 512, b.data(), 2048, 0, c.data(), 2048);
  const double gemmGflops = 2.0 * 1500 * 2048 * 512 * gemmRuns / seconds(start) / 1e9;
  openblas_set_num_threads(1);

  // Decoder: the cache protocol over S = 224 positions; the first step also builds the cross-attention cache.
  const std::int64_t ld = 6 * 512, S = 224;
  auto ids = MLMultiArray::make({1}, MLMultiArrayDataType::int32);
  auto length = MLMultiArray::make({1}, MLMultiArrayDataType::int32);
  auto keys = MLMultiArray::make({1, ld, 1, S}, MLMultiArrayDataType::float16);
  auto values = MLMultiArray::make({1, ld, 1, S}, MLMultiArrayDataType::float16);
  auto update = MLMultiArray::make({1, S}, MLMultiArrayDataType::int32);
  auto padding = MLMultiArray::make({1, S}, MLMultiArrayDataType::float16);
  for (std::int64_t i = 1; i < S; ++i) padding->setValue(i, -10000);
  update->setValue(0, 1);
  const int steps = smoke ? 4 : 200;
  double firstStepMs = 0;
  start = Clock::now();
  auto stepStart = start;
  for (int t = 0; t < steps; ++t) {
    ids->setValue(0, 50257 + t % 7);
    length->setValue(0, t);
    auto out = decoder->prediction(MLDictionaryFeatureProvider({{"input_ids", MLFeatureValue(ids)},
                                                                {"cache_length", MLFeatureValue(length)},
                                                                {"key_cache", MLFeatureValue(keys)},
                                                                {"value_cache", MLFeatureValue(values)},
                                                                {"kv_cache_update_mask", MLFeatureValue(update)},
                                                                {"encoder_output_embeds", MLFeatureValue(encoded)},
                                                                {"decoder_key_padding_mask", MLFeatureValue(padding)}}));
    auto ku = output(out, "key_cache_updates")->data<Float16>();
    auto vu = output(out, "value_cache_updates")->data<Float16>();
    auto kc = keys->data<Float16>();
    auto vc = values->data<Float16>();
    for (std::int64_t j = 0; j < ld; ++j) {
      kc[static_cast<std::size_t>(j * S + t)] = ku[static_cast<std::size_t>(j)];
      vc[static_cast<std::size_t>(j * S + t)] = vu[static_cast<std::size_t>(j)];
    }
    padding->setValue(t + 1, 0);
    update->setValue(t, 0);
    update->setValue(t + 1, 1);
    if (t == 0) {
      firstStepMs = seconds(start) * 1000;
      stepStart = Clock::now();
    }
  }
  const double stepMs = seconds(stepStart) * 1000 / (steps - 1);

  const long rss = statusKilobytes("VmRSS:");

  // Cross-attention keys and values: a first step on a changed encoder output recomputes them for
  // every layer; what it takes beyond an ordinary step is their cost.
  ids->setValue(0, 50257);
  length->setValue(0, 0);
  double crossMs = 0;
  for (int i = 0; i < runs; ++i) {
    encoded->markChanged();
    const auto crossStart = Clock::now();
    decoder->prediction(MLDictionaryFeatureProvider({{"input_ids", MLFeatureValue(ids)},
                                                     {"cache_length", MLFeatureValue(length)},
                                                     {"key_cache", MLFeatureValue(keys)},
                                                     {"value_cache", MLFeatureValue(values)},
                                                     {"kv_cache_update_mask", MLFeatureValue(update)},
                                                     {"encoder_output_embeds", MLFeatureValue(encoded)},
                                                     {"decoder_key_padding_mask", MLFeatureValue(padding)}}));
    crossMs += seconds(crossStart) * 1000 - stepMs;
  }
  crossMs /= runs;
  const double weightsMb = static_cast<double>(parameters) * 4 / 1e6;

  const auto end = loadAverages();
  std::printf("load:     %8.2f %.2f %.2f before the run, %.2f %.2f %.2f at its end (1, 5, 15 min averages, %u cores)\n",
              before[0], before[1], before[2], end[0], end[1], end[2], std::thread::hardware_concurrency());
  std::printf("kernels:  %s\n", detail::instructionSetName(detail::instructionSet()));
  std::printf("mel:      %8.2f ms per 30 s window\n", melMs);
  std::printf("encoder:  %8.2f ms per 30 s window, %.1f GFLOP/s (plain sgemm 1500x2048x512: %.1f GFLOP/s, %.0f %%)\n",
              encoderMs, encoderFlops / encoderMs / 1e6, gemmGflops, 100 * encoderFlops / encoderMs / 1e6 / gemmGflops);
  std::printf("cross-kv: %8.2f ms per window (keys and values of every decoder layer; at the plain sgemm's speed %.2f ms)\n",
              crossMs, crossFlops / gemmGflops / 1e6);
  std::printf("window:   %8.2f ms per 30 s window (encoder + cross-kv)\n", encoderMs + crossMs);
  std::printf("decoder:  %8.2f ms per token over %d steps (first step with cross-attention keys: %.2f ms)\n", stepMs,
              steps - 1, firstStepMs);
  const double f32Kb = weightsMb * 1e6 / 1024;
  std::printf("load:     %8.2f ms for the models from a warm page cache (fresh process, median of %zu, fastest %.2f ms; "
              "matrices stored in half precision)\n",
              loading.ms, loads.size(), fastestLoad);
  std::printf("          %8.2f ms for folders of f32 tensors (median, fastest %.2f ms)\n", floatLoading.ms, fastestFloatLoad);
  std::printf("memory:   %8.1f MB resident after loading, %.2f x the f32 weights (%.1f MB); peak while loading %.1f MB, "
              "%.2f x the resident size\n",
              loading.residentKb / 1024.0, loading.residentKb / f32Kb, weightsMb, loading.peakKb / 1024.0,
              static_cast<double>(loading.peakKb) / static_cast<double>(loading.residentKb));
  std::printf("          %8.1f MB resident after a window and %d tokens (one window's cross-attention keys and values "
              "included), %.2f x\n",
              (rss - baseline) / 1024.0, steps, (rss - baseline) / f32Kb);
  return 0;
}
