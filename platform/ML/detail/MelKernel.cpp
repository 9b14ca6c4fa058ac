// Log-mel front end: 30 s of 16 kHz samples => [1, n_mels, 1, 3000] features.
// Hann window 400 (periodic), hop 160, reflect-padded centred frames, power spectrum through a
// DFT matrix (one sgemm), Slaney mel filterbank over 0–8 kHz with area normalisation, then
// log10(max(mel, 1e-10)), clamp to (max − 8), (x + 4) / 4. Silence => −1.5 everywhere.
#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <mutex>
#include <numbers>

#include "platform/ML/detail/Kernel.h"
#include "platform/ML/detail/Ops.h"
#include "platform/ML/detail/Parallel.h"

namespace platform::ml::detail {

namespace {

constexpr std::size_t kFft = 400, kHop = 160, kBins = kFft / 2 + 1, kSampleRate = 16000;

// Slaney's mel scale: linear below 1 kHz, logarithmic above.
double hzToMel(double hz) {
  const double fSp = 200.0 / 3, minLogHz = 1000.0, minLogMel = minLogHz / fSp, logStep = std::log(6.4) / 27.0;
  return hz < minLogHz ? hz / fSp : minLogMel + std::log(hz / minLogHz) / logStep;
}

double melToHz(double mel) {
  const double fSp = 200.0 / 3, minLogHz = 1000.0, minLogMel = minLogHz / fSp, logStep = std::log(6.4) / 27.0;
  return mel < minLogMel ? fSp * mel : minLogHz * std::exp(logStep * (mel - minLogMel));
}

// Triangular filters [nMels × kBins], each scaled to unit area (2 / bandwidth).
std::vector<float> melFilters(std::size_t nMels) {
  std::vector<double> fftFreqs(kBins), melFreqs(nMels + 2);
  for (std::size_t i = 0; i < kBins; ++i) fftFreqs[i] = static_cast<double>(i) * kSampleRate / kFft;
  const double lo = hzToMel(0.0), hi = hzToMel(kSampleRate / 2.0);
  for (std::size_t i = 0; i < nMels + 2; ++i) melFreqs[i] = melToHz(lo + (hi - lo) * static_cast<double>(i) / (nMels + 1));
  std::vector<float> filters(nMels * kBins);
  for (std::size_t m = 0; m < nMels; ++m) {
    const double left = melFreqs[m], centre = melFreqs[m + 1], right = melFreqs[m + 2];
    const double norm = 2.0 / (right - left);
    for (std::size_t k = 0; k < kBins; ++k) {
      const double lower = (fftFreqs[k] - left) / (centre - left);
      const double upper = (right - fftFreqs[k]) / (right - centre);
      filters[m * kBins + k] = static_cast<float>(std::max(0.0, std::min(lower, upper)) * norm);
    }
  }
  return filters;
}

class MelKernel : public Kernel {
 public:
  explicit MelKernel(const ModelManifest& manifest) : description_(manifest.description) {
    nMels_ = static_cast<std::size_t>(manifest.hyper("n_mels"));
    nSamples_ = static_cast<std::size_t>(manifest.hyper("n_samples"));
    if (nMels_ == 0) manifest.fail("n_mels must be positive");
    if (nSamples_ < kFft || nSamples_ % kHop) manifest.fail("n_samples must be a multiple of 160 of at least 400");
    nFrames_ = nSamples_ / kHop;
    manifest.requireFeature(true, "audio", {static_cast<std::int64_t>(nSamples_)});
    manifest.requireFeature(false, "melspectrogram_features",
                        {1, static_cast<std::int64_t>(nMels_), 1, static_cast<std::int64_t>(nFrames_)});
    // Rows 0..kBins-1: window·cos; rows kBins..2·kBins-1: window·sin.
    dft_.resize(2 * kBins * kFft);
    for (std::size_t k = 0; k < kBins; ++k)
      for (std::size_t n = 0; n < kFft; ++n) {
        const double window = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * static_cast<double>(n) / kFft);
        const double angle = 2 * std::numbers::pi * static_cast<double>((k * n) % kFft) / kFft;
        dft_[k * kFft + n] = static_cast<float>(window * std::cos(angle));
        dft_[(kBins + k) * kFft + n] = static_cast<float>(window * std::sin(angle));
      }
    filters_ = melFilters(nMels_);
  }

  ArrayMap predict(const ArrayMap& inputs) const override {
    const MLMultiArray& audio = *inputs.at("audio");
    // Scratch reused across calls (fresh buffers would be zeroed and faulted in each time); one set
    // per concurrent call, kept with the model.
    auto scratch = takeScratch();
    auto& [samples, frames, spectrum, power, mel] = *scratch;
    samples.resize(nSamples_);
    readFloats(audio, 0, static_cast<std::int64_t>(nSamples_), samples.data());

    // Centred frames over the reflect-padded signal: frame i covers padded[i·hop, i·hop + 400).
    const std::size_t pad = kFft / 2;
    auto at = [&](std::ptrdiff_t j) {
      const auto n = static_cast<std::ptrdiff_t>(nSamples_);
      std::ptrdiff_t i = j - static_cast<std::ptrdiff_t>(pad);
      if (i < 0) i = -i;
      if (i >= n) i = 2 * (n - 1) - i;
      return samples[static_cast<std::size_t>(i)];
    };
    frames.resize(nFrames_ * kFft);
    for (std::size_t f = 0; f < nFrames_; ++f)
      for (std::size_t n = 0; n < kFft; ++n) frames[f * kFft + n] = at(static_cast<std::ptrdiff_t>(f * kHop + n));

    spectrum.resize(nFrames_ * 2 * kBins);
    gemm(true, nFrames_, 2 * kBins, kFft, frames.data(), kFft, dft_.data(), kFft, spectrum.data(), 2 * kBins);
    power.resize(nFrames_ * kBins);
    for (std::size_t f = 0; f < nFrames_; ++f)
      for (std::size_t k = 0; k < kBins; ++k) {
        const float re = spectrum[f * 2 * kBins + k], im = spectrum[f * 2 * kBins + kBins + k];
        power[f * kBins + k] = re * re + im * im;
      }
    // mel[m × frames] = filters[m × bins] · power[frames × bins]ᵀ
    mel.resize(nMels_ * nFrames_);
    gemm(true, nMels_, nFrames_, kBins, filters_.data(), kBins, power.data(), kBins, mel.data(), nFrames_);
    float top = -std::numeric_limits<float>::infinity();
    for (float& v : mel) {
      v = std::log10(std::max(v, 1e-10f));
      top = std::max(top, v);
    }
    for (float& v : mel) v = (std::max(v, top - 8.0f) + 4.0f) / 4.0f;

    auto out = makeOutput(description_, "melspectrogram_features");
    writeFloats(*out, 0, mel.data(), static_cast<std::int64_t>(mel.size()));
    return {{"melspectrogram_features", out}};
  }

 private:
  struct Scratch {
    std::vector<float> samples, frames, spectrum, power, mel;
  };
  using ScratchHandle = std::unique_ptr<Scratch, std::function<void(Scratch*)>>;

  ScratchHandle takeScratch() const {
    std::unique_ptr<Scratch> taken;
    {
      std::lock_guard lock(scratchMutex_);
      if (!idle_.empty()) {
        taken = std::move(idle_.back());
        idle_.pop_back();
      }
    }
    if (!taken) taken = std::make_unique<Scratch>();
    return ScratchHandle(taken.release(), [this](Scratch* s) {
      std::lock_guard lock(scratchMutex_);
      idle_.emplace_back(s);
    });
  }

  mutable std::mutex scratchMutex_;
  mutable std::vector<std::unique_ptr<Scratch>> idle_;

  MLModelDescription description_;
  std::size_t nMels_ = 0, nSamples_ = 0, nFrames_ = 0;
  std::vector<float> dft_, filters_;
};

}  // namespace

std::unique_ptr<Kernel> makeMelKernel(const ModelManifest& manifest) { return std::make_unique<MelKernel>(manifest); }

}  // namespace platform::ml::detail
