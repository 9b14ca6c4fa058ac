// Context prefill: ("task", "language") => key and value caches [1, L·D, 1, P] for the forced
// prompt prefix, looked up in tables stored with the model:
//   prefill.language_tokens [N]          language token ids (integers), in table order
//   prefill.key_cache, prefill.value_cache [2, N, L·D, P]   indexed by task (0 transcribe, 1 translate)
#include <cmath>
#include <limits>

#include "platform/ML/detail/Kernel.h"

namespace platform::ml::detail {

namespace {

class PrefillKernel : public Kernel {
 public:
  explicit PrefillKernel(const ModelManifest& manifest) : description_(manifest.description) {
    ld_ = manifest.hyper("n_text_layer") * manifest.hyper("n_text_state");
    p_ = manifest.hyper("n_prefill");
    manifest.requireFeature(true, "task", {1});
    manifest.requireFeature(true, "language", {1});
    manifest.requireFeature(false, "key_cache_prefill", {1, ld_, 1, p_});
    manifest.requireFeature(false, "value_cache_prefill", {1, ld_, 1, p_});
    Weights w = Weights::load(manifest.folder / "weights.safetensors");
    const auto shape = w.shapeOf("prefill.language_tokens");
    const std::int64_t n = shape.size() == 1 ? shape[0] : -1;
    if (n < 1) manifest.fail("prefill.language_tokens must be a list of at least one token");
    languages_ = w.takeIntegers("prefill.language_tokens", {n});
    for (std::size_t i = 0; i < languages_.size(); ++i)
      if (languages_[i] < 0 || languages_[i] > std::numeric_limits<std::int32_t>::max())
        w.fail("prefill.language_tokens", "holds " + std::to_string(languages_[i]) + " at index " + std::to_string(i) +
                                              ", not a token id (0...2147483647)");
    keys_ = w.take("prefill.key_cache", {2, n, ld_, p_});
    values_ = w.take("prefill.value_cache", {2, n, ld_, p_});
    w.requireAllTaken();
  }

  ArrayMap predict(const ArrayMap& inputs) const override {
    const double task = (*inputs.at("task"))[0];
    if (task != 0 && task != 1) throw std::invalid_argument("task must be 0 (transcribe) or 1 (translate)");
    const double language = (*inputs.at("language"))[0];
    std::size_t index = languages_.size();
    for (std::size_t i = 0; i < languages_.size(); ++i)
      if (static_cast<double>(languages_[i]) == language) index = i;
    if (index == languages_.size())
      throw std::invalid_argument("language token " + std::to_string(static_cast<long long>(language)) +
                                  " has no prefill entry");
    const auto block = static_cast<std::size_t>(ld_ * p_);
    const std::size_t offset = (static_cast<std::size_t>(task) * languages_.size() + index) * block;
    auto keys = makeOutput(description_, "key_cache_prefill");
    auto values = makeOutput(description_, "value_cache_prefill");
    writeFloats(*keys, 0, &keys_[offset], static_cast<std::int64_t>(block));
    writeFloats(*values, 0, &values_[offset], static_cast<std::int64_t>(block));
    return {{"key_cache_prefill", keys}, {"value_cache_prefill", values}};
  }

 private:
  MLModelDescription description_;
  std::int64_t ld_ = 0, p_ = 0;
  std::vector<std::int64_t> languages_;
  std::vector<float> keys_, values_;
};

}  // namespace

std::unique_ptr<Kernel> makePrefillKernel(const ModelManifest& manifest) { return std::make_unique<PrefillKernel>(manifest); }

}  // namespace platform::ml::detail
