// Reading and writing tensor files in the safetensors layout: an 8-byte little-endian header
// length, a JSON header {"name": {"dtype", "shape", "data_offsets": [begin, end]}}, then the data.
// Opening checks the whole header before any data is read: every dtype, every shape against its
// byte count, every range inside the data and no two ranges overlapping, so everything read from a
// file together holds at most the file's own size (twice that once 16-bit values become float).
// Tensors are read one at a time, on request, and written one at a time after a header that is
// computed up front. Errors are WeightsError naming the file and tensor.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/ML/MLMultiArray.h"

namespace platform::ml::detail {

struct Tensor {
  std::vector<std::int64_t> shape;
  std::vector<float> data;
  bool integer = false;  // whole numbers, written as I32
  bool half = false;     // written as F16, rounded to nearest even
  std::int64_t count() const;
};

class WeightsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class SafetensorsFile {
 public:
  struct Entry {
    std::string dtype;  // F32, F16, BF16, F64, I32 or I64
    std::vector<std::int64_t> shape;
    std::uint64_t begin = 0, end = 0;  // byte range within the data
  };

  explicit SafetensorsFile(const std::filesystem::path& path);

  const std::filesystem::path& path() const { return path_; }
  const std::map<std::string, Entry>& entries() const { return entries_; }

  // A tensor of a floating-point dtype, converted to float; a non-finite value is an error.
  std::vector<float> readFloats(const std::string& name);
  // A tensor of a floating-point dtype rounded to half precision into out (as many elements as it
  // holds); a non-finite value, or one beyond the half range (65504), is an error. F16 data is
  // read as it is stored.
  void readHalves(const std::string& name, Float16* out);
  // The same, block by block (at most 16,384 values at a time): sink(halves, count, index of the
  // first); an error is raised before its block reaches the sink.
  void readHalfBlocks(const std::string& name,
                      const std::function<void(const Float16* halves, std::size_t count, std::size_t at)>& sink);
  // A tensor of a floating-point dtype, converted to float block by block (at most 16,384 values
  // at a time): sink(values, count, index of the first). A non-finite value is an error, raised
  // before its block reaches the sink.
  void readFloatBlocks(const std::string& name,
                       const std::function<void(const float* values, std::size_t count, std::size_t at)>& sink);
  // A tensor of an integer dtype (I32, I64).
  std::vector<std::int64_t> readIntegers(const std::string& name);

  // Throws WeightsError "<file>: tensor "<name>" <message>".
  [[noreturn]] void fail(const std::string& name, const std::string& message) const;

 private:
  const Entry& entry(const std::string& name) const;
  void readBytes(const std::string& name, const Entry& e, void* out);

  std::filesystem::path path_;
  std::ifstream in_;
  std::uint64_t dataStart_ = 0;
  std::map<std::string, Entry> entries_;
};

// Every tensor of a file; integer tensors are converted to float and marked `integer`.
std::map<std::string, Tensor> readSafetensors(const std::filesystem::path& path);

// Writes a file tensor by tensor: the header goes out first, from the names, dtypes and shapes;
// then each tensor's bytes, in name order, through write(). finish() checks that every tensor got
// all of its bytes and, when asked, flushes the file to disk. The file holds no data of its own.
//   SafetensorsWriter out(path, {{"a", {"F32", {2}}}});
//   out.write(values, 8);
//   out.finish();
class SafetensorsWriter {
 public:
  struct Planned {
    std::string dtype;  // F32, F16, BF16, F64, I32 or I64
    std::vector<std::int64_t> shape;
  };
  SafetensorsWriter(const std::filesystem::path& path, const std::map<std::string, Planned>& tensors);
  ~SafetensorsWriter();
  SafetensorsWriter(const SafetensorsWriter&) = delete;
  SafetensorsWriter& operator=(const SafetensorsWriter&) = delete;

  // Appends bytes to the data; more than the tensors hold is an error.
  void write(const void* data, std::size_t bytes);
  void finish(bool sync = false);

 private:
  [[noreturn]] void fail(const std::string& message) const;
  void writeAll(const void* data, std::size_t bytes);

  std::filesystem::path path_;
  int fd_ = -1;
  std::uint64_t written_ = 0, total_ = 0;
};

// Writes the tensors in name order: F32, F16 for `half` ones (within the half range, or WeightsError),
// I32 for `integer` ones (whole numbers in range, or WeightsError).
void writeSafetensors(const std::filesystem::path& path, const std::map<std::string, Tensor>& tensors);

std::string shapeText(const std::vector<std::int64_t>& shape);

}  // namespace platform::ml::detail
