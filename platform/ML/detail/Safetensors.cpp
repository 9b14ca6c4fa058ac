#include "platform/ML/detail/Safetensors.h"

#include <bit>
#include <cstring>
#include <fstream>
#include <limits>

#include "platform/ML/detail/Half.h"
#include "platform/System/Json.h"

namespace platform::ml::detail {

namespace json = platform::json;

namespace {

constexpr std::uint64_t kMaxHeaderBytes = 100u << 20;

struct Dtype {
  const char* name;
  std::size_t size;
};
constexpr Dtype kDtypes[] = {{"F32", 4}, {"F16", 2}, {"BF16", 2}, {"F64", 8}, {"I32", 4}, {"I64", 8}};

void convert(const std::string& dtype, const unsigned char* bytes, std::size_t n, float* out) {
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned char* p = bytes + i * (dtype == "F64" || dtype == "I64" ? 8 : dtype == "F32" || dtype == "I32" ? 4 : 2);
    if (dtype == "F32") {
      std::memcpy(&out[i], p, 4);
    } else if (dtype == "F16") {
      std::uint16_t h;
      std::memcpy(&h, p, 2);
      out[i] = halfBitsToFloat(h);
    } else if (dtype == "BF16") {
      std::uint16_t h;
      std::memcpy(&h, p, 2);
      out[i] = std::bit_cast<float>(static_cast<std::uint32_t>(h) << 16);
    } else if (dtype == "F64") {
      double d;
      std::memcpy(&d, p, 8);
      out[i] = static_cast<float>(d);
    } else if (dtype == "I32") {
      std::int32_t v;
      std::memcpy(&v, p, 4);
      out[i] = static_cast<float>(v);
    } else {
      std::int64_t v;
      std::memcpy(&v, p, 8);
      out[i] = static_cast<float>(v);
    }
  }
}

}  // namespace

std::int64_t Tensor::count() const {
  std::int64_t n = 1;
  for (auto d : shape) n *= d;
  return n;
}

std::string shapeText(const std::vector<std::int64_t>& shape) {
  std::string s = "[";
  for (std::size_t i = 0; i < shape.size(); ++i) s += (i ? ", " : "") + std::to_string(shape[i]);
  return s + "]";
}

std::map<std::string, Tensor> readSafetensors(const std::filesystem::path& path) {
  const std::string where = path.string();
  std::ifstream in(path, std::ios::binary);
  if (!in) throw WeightsError(where + ": cannot open the weights file");
  in.seekg(0, std::ios::end);
  const auto end = in.tellg();
  if (end < 0) throw WeightsError(where + ": cannot read the weights file");
  const std::uint64_t fileSize = static_cast<std::uint64_t>(end);
  in.seekg(0);
  if (fileSize < 8) throw WeightsError(where + ": file is too short for a header (" + std::to_string(fileSize) + " bytes)");
  unsigned char lengthBytes[8];
  in.read(reinterpret_cast<char*>(lengthBytes), 8);
  std::uint64_t headerLength = 0;
  for (int i = 7; i >= 0; --i) headerLength = (headerLength << 8) | lengthBytes[i];
  if (headerLength > fileSize - 8 || headerLength > kMaxHeaderBytes)
    throw WeightsError(where + ": header length " + std::to_string(headerLength) + " points past the end of the file (" +
                       std::to_string(fileSize) + " bytes)");
  std::string headerText(headerLength, '\0');
  in.read(headerText.data(), static_cast<std::streamsize>(headerLength));
  if (!in) throw WeightsError(where + ": cannot read the header");
  const std::uint64_t dataStart = 8 + headerLength;
  const std::uint64_t dataSize = fileSize - dataStart;

  json::Value header;
  try {
    header = json::parse(headerText);
  } catch (const std::exception& e) {
    throw WeightsError(where + ": malformed header: " + e.what());
  }
  if (header.kind() != json::Value::Kind::object) throw WeightsError(where + ": header is not a JSON object");

  std::map<std::string, Tensor> tensors;
  for (const auto& [name, entry] : header.asObject()) {
    if (name == "__metadata__") continue;
    const std::string at = where + ": tensor \"" + name + "\": ";
    try {
      const std::string dtype = entry.at("dtype").asString();
      std::size_t elementBytes = 0;
      for (const auto& d : kDtypes)
        if (dtype == d.name) elementBytes = d.size;
      if (!elementBytes) throw WeightsError(at + "unsupported dtype \"" + dtype + "\"");
      Tensor tensor;
      std::uint64_t count = 1;
      for (const auto& d : entry.at("shape").asArray()) {
        const std::int64_t dim = d.asInt();
        if (dim < 0) throw WeightsError(at + "negative dimension");
        if (dim != 0 && count > std::numeric_limits<std::uint32_t>::max() / static_cast<std::uint64_t>(dim))
          throw WeightsError(at + "shape is too large");
        count *= static_cast<std::uint64_t>(dim);
        tensor.shape.push_back(dim);
      }
      const auto& offsets = entry.at("data_offsets").asArray();
      if (offsets.size() != 2) throw WeightsError(at + "data_offsets must hold two numbers");
      const std::uint64_t begin = offsets[0].asUInt(), stop = offsets[1].asUInt();
      if (begin > stop || stop > dataSize)
        throw WeightsError(at + "data_offsets [" + std::to_string(begin) + ", " + std::to_string(stop) +
                           "] point past the end of the data (" + std::to_string(dataSize) + " bytes)");
      if (stop - begin != count * elementBytes)
        throw WeightsError(at + "holds " + std::to_string(stop - begin) + " bytes, shape " + shapeText(tensor.shape) +
                           " of " + dtype + " needs " + std::to_string(count * elementBytes));
      std::vector<unsigned char> raw(stop - begin);
      in.seekg(static_cast<std::streamoff>(dataStart + begin));
      in.read(reinterpret_cast<char*>(raw.data()), static_cast<std::streamsize>(raw.size()));
      if (!in) throw WeightsError(at + "cannot read its data");
      tensor.data.resize(count);
      convert(dtype, raw.data(), count, tensor.data.data());
      tensors.emplace(name, std::move(tensor));
    } catch (const WeightsError&) {
      throw;
    } catch (const std::exception& e) {
      throw WeightsError(at + "malformed entry: " + e.what());
    }
  }
  return tensors;
}

void writeSafetensors(const std::filesystem::path& path, const std::map<std::string, Tensor>& tensors) {
  json::Object header;
  std::uint64_t offset = 0;
  for (const auto& [name, tensor] : tensors) {
    json::Array shape;
    for (auto d : tensor.shape) shape.emplace_back(static_cast<long long>(d));
    const std::uint64_t bytes = tensor.data.size() * 4;
    header.emplace_back(name, json::Value(json::Object{
                                  {"dtype", "F32"},
                                  {"shape", shape},
                                  {"data_offsets", json::Array{json::Value(static_cast<unsigned long long>(offset)),
                                                               json::Value(static_cast<unsigned long long>(offset + bytes))}}}));
    offset += bytes;
  }
  std::string text = json::write(json::Value(header), {.escapeSlashes = false});
  while ((text.size() + 8) % 8) text += ' ';
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw WeightsError(path.string() + ": cannot create the weights file");
  const std::uint64_t length = text.size();
  for (int i = 0; i < 8; ++i) out.put(static_cast<char>((length >> (8 * i)) & 0xff));
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  for (const auto& [name, tensor] : tensors)
    out.write(reinterpret_cast<const char*>(tensor.data.data()), static_cast<std::streamsize>(tensor.data.size() * 4));
  if (!out) throw WeightsError(path.string() + ": cannot write the weights file");
}

}  // namespace platform::ml::detail
