// Reading and writing tensor files in the safetensors layout: an 8-byte little-endian header
// length, a JSON header {"name": {"dtype", "shape", "data_offsets": [begin, end]}}, then the data.
// Reading checks every offset against the file before touching it and throws WeightsError naming
// the file and the tensor. Tensors are converted to float on reading (F32, F16, BF16, F64, I32, I64).
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace platform::ml::detail {

struct Tensor {
  std::vector<std::int64_t> shape;
  std::vector<float> data;
  std::int64_t count() const;
};

class WeightsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::map<std::string, Tensor> readSafetensors(const std::filesystem::path& path);

// Writes float32 tensors (in name order).
void writeSafetensors(const std::filesystem::path& path, const std::map<std::string, Tensor>& tensors);

std::string shapeText(const std::vector<std::int64_t>& shape);

}  // namespace platform::ml::detail
