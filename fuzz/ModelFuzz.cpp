// MLModel::load of a model folder written from the input: model.json, then (after the part
// marker) weights.safetensors; without a marker the folder has no weights file. Loading may take
// no more memory at once than a few times the input's size (plus fixed slack).
#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>

#include "FuzzSupport.h"
#include "platform/ML/MLModel.h"

namespace {

const std::filesystem::path& modelFolder() {
  static parlet_fuzz::ScratchFolder scratch;
  static const std::filesystem::path folder = [] {
    auto path = scratch.path() / "Model.mlmodelc";
    std::filesystem::create_directory(path);
    return path;
  }();
  return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto& folder = modelFolder();
  const auto input = parlet_fuzz::splitParts(data, size, 2);
  parlet_fuzz::writeFile(folder / "model.json", input.parts[0]);
  if (input.present > 1) {
    parlet_fuzz::writeFile(folder / "weights.safetensors", input.parts[1]);
  } else {
    std::filesystem::remove(folder / "weights.safetensors");
  }
  parlet_fuzz::AllocationMeter::start();
  try {
    (void)platform::ml::MLModel::load(folder);
  } catch (const std::exception& e) {
    parlet_fuzz::refused(e);
  }
  // Weights are converted at most once, so memory follows the file's size; 64 MiB of slack for the rest.
  parlet_fuzz::checkPeakAllocation((64ll << 20) + 4ll * static_cast<long long>(size), size);
  return 0;
}
