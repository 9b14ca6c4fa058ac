// bench_pack: packs a checkpoint of the base.en dimensions (80 mels, D = 512, 6 + 6 layers,
// V = 51864; random weights) in F32 and in F16, each pack in a forked child, and reports the
// child's peak resident growth against the largest tensor (as F32): the bound is that tensor plus
// 64 MiB; and the packed folders' size on disk (matrices in F16). Arguments: vocabulary, layers per stack, bits per stored value; the smoke run
// (scripts/bench --smoke) leaves out the base.en sizes and packs one small checkpoint.
// Checkpoints and folders go into a private temporary folder, removed at the end.
#include <benchmark/benchmark.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench/ProcessStatus.h"
#include "platform/ML/ModelFolders.h"
#include "platform/ML/detail/Half.h"
#include "platform/ML/detail/ModelFolderLayout.h"
#include "platform/ML/detail/Safetensors.h"
#include "platform/ML/detail/Vector.h"
#include "testsupport/Fixtures.h"

namespace {

namespace fs = std::filesystem;
using namespace platform::ml;

struct Sizes {
  std::uint64_t largest = 0, total = 0;  // bytes as F32
};

// config.json and model.safetensors of every tensor, values normal around 0 with scale 0.05,
// written block by block.
Sizes writeCheckpoint(const fs::path& folder, const WhisperDimensions& d, int bits) {
  fs::create_directories(folder);
  std::ofstream(folder / "config.json") << "{\"d_model\": " << d.nTextState << ", \"encoder_layers\": " << d.nAudioLayer
                                        << ", \"decoder_layers\": " << d.nTextLayer
                                        << ", \"encoder_attention_heads\": " << d.nAudioHead
                                        << ", \"decoder_attention_heads\": " << d.nTextHead
                                        << ", \"num_mel_bins\": " << d.nMels << ", \"vocab_size\": " << d.nVocab
                                        << ", \"max_source_positions\": " << d.nAudioCtx
                                        << ", \"max_target_positions\": " << d.nTextCtx
                                        << ", \"encoder_ffn_dim\": " << d.nFf << ", \"decoder_ffn_dim\": " << d.nFf << "}";
  std::map<std::string, detail::SafetensorsWriter::Planned> planned;
  Sizes sizes;
  for (const auto& [name, shape] : detail::expectedShapes(d)) {
    planned[name.substr(6)] = {bits == 16 ? "F16" : "F32", shape};
    const std::uint64_t bytes = static_cast<std::uint64_t>(detail::Tensor{shape, {}}.count()) * 4;
    sizes.largest = std::max(sizes.largest, bytes);
    sizes.total += bytes;
  }
  detail::SafetensorsWriter out(folder / "model.safetensors", planned);
  std::mt19937 rng(1);
  std::normal_distribution<float> normal(0.0f, 0.05f);
  std::vector<float> block(1 << 16);
  std::vector<Float16> halves(block.size());
  for (std::uint64_t at = 0; at < sizes.total / 4; at += block.size()) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), sizes.total / 4 - at));
    for (std::size_t i = 0; i < n; ++i) block[i] = normal(rng);
    if (bits == 16) {
      detail::floatToHalf(block.data(), halves.data(), n);
      out.write(halves.data(), n * 2);
    } else {
      out.write(block.data(), n * 4);
    }
  }
  out.finish();
  return sizes;
}

struct PackFigures {
  double ms = -1;
  long growthKb = -1;  // peak resident size while packing, above the size before
};

// Packs in a forked child, whose peak resident size starts from its resident size at the fork.
PackFigures packInChild(const fs::path& checkpoint, const fs::path& folder) {
  int pipeEnds[2];
  if (::pipe(pipeEnds) != 0) return {};
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipeEnds[0]);
    PackFigures figures;
    const long before = statusKilobytes("VmRSS:");
    const auto start = std::chrono::steady_clock::now();
    try {
      packCheckpoint(checkpoint, folder);
      figures.ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
      figures.growthKb = statusKilobytes("VmHWM:") - before;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "bench_pack: %s\n", e.what());
    }
    const bool written = ::write(pipeEnds[1], &figures, sizeof figures) == sizeof figures;
    std::_Exit(written ? 0 : 1);
  }
  ::close(pipeEnds[1]);
  PackFigures figures;
  if (child < 0 || ::read(pipeEnds[0], &figures, sizeof figures) != sizeof figures) figures = {};
  ::close(pipeEnds[0]);
  if (child > 0) ::waitpid(child, nullptr, 0);
  return figures;
}

void PackCheckpoint(benchmark::State& state) {
  WhisperDimensions d;  // base.en
  d.nVocab = state.range(0);
  d.nAudioLayer = d.nTextLayer = state.range(1);
  const int bits = static_cast<int>(state.range(2));
  const testsupport::TempDir dir;
  const Sizes sizes = writeCheckpoint(dir.path() / "checkpoint", d, bits);
  PackFigures worst;
  std::uintmax_t packedBytes = 0;
  for (auto _ : state) {
    const PackFigures figures = packInChild(dir.path() / "checkpoint", dir.path() / "packed");
    if (figures.ms < 0) {
      state.SkipWithError("the pack failed");
      return;
    }
    state.SetIterationTime(figures.ms / 1000);
    worst.growthKb = std::max(worst.growthKb, figures.growthKb);
    packedBytes = 0;
    for (const auto& entry : fs::recursive_directory_iterator(dir.path() / "packed"))
      if (entry.is_regular_file()) packedBytes += entry.file_size();
    fs::remove_all(dir.path() / "packed");
  }
  const double mib = 1024.0 * 1024.0;
  state.counters["checkpoint_MiB"] = static_cast<double>(sizes.total) * bits / 32 / mib;
  state.counters["largest_tensor_MiB"] = static_cast<double>(sizes.largest) / mib;
  state.counters["bound_MiB"] = static_cast<double>(sizes.largest) / mib + 64;
  state.counters["packed_MiB"] = static_cast<double>(packedBytes) / mib;
  state.counters["peak_growth_MiB"] = static_cast<double>(worst.growthKb) / 1024.0;
  state.counters["growth_per_largest"] = static_cast<double>(worst.growthKb) * 1024.0 / static_cast<double>(sizes.largest);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(sizes.total));
}

BENCHMARK(PackCheckpoint)
    ->Args({51864, 6, 32})
    ->Args({51864, 6, 16})
    ->Args({1000, 1, 16})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::AddCustomContext("instruction set", detail::instructionSetName(detail::instructionSet()));
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
