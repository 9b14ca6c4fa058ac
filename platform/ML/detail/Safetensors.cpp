#include "platform/ML/detail/Safetensors.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <tuple>

#include <fcntl.h>
#include <unistd.h>

#include "platform/ML/detail/Half.h"
#include "platform/System/Json.h"
#include "platform/System/NumberText.h"

namespace platform::ml::detail {

namespace json = platform::json;

namespace {

// What a real checkpoint's header holds, with wide room: whisper-large-v3 lists about 1,300
// tensors in about 150 KB. A header beyond either bound is refused before it is parsed or walked.
constexpr std::uint64_t kMaxHeaderBytes = 4u << 20;
constexpr std::size_t kMaxTensors = 16384;

std::size_t dtypeSize(const std::string& dtype) {
  if (dtype == "F32" || dtype == "I32") return 4;
  if (dtype == "F16" || dtype == "BF16") return 2;
  if (dtype == "F64" || dtype == "I64") return 8;
  return 0;
}

bool isFloatDtype(const std::string& dtype) { return dtype == "F32" || dtype == "F16" || dtype == "BF16" || dtype == "F64"; }

// Index of the first infinite or NaN value (all exponent bits set), or n. A branch-free pass over
// blocks, which vectorises with plain SSE2, keeps the common all-finite case at memory speed.
std::size_t firstNonFinite(const float* values, std::size_t n) {
  constexpr std::size_t kBlock = 4096;
  constexpr std::uint32_t kExponent = 0x7f800000u;
  for (std::size_t at = 0; at < n; at += kBlock) {
    const std::size_t stop = std::min(n, at + kBlock);
    std::uint32_t bad = 0;
    for (std::size_t i = at; i < stop; ++i) bad |= (std::bit_cast<std::uint32_t>(values[i]) & kExponent) == kExponent;
    if (bad)
      for (std::size_t i = at; i < stop; ++i)
        if (!std::isfinite(values[i])) return i;
  }
  return n;
}

using platform::system::numberText;

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

SafetensorsFile::SafetensorsFile(const std::filesystem::path& path) : path_(path), in_(path, std::ios::binary) {
  const std::string where = path.string();
  if (!in_) throw WeightsError(where + ": cannot open the weights file");
  in_.seekg(0, std::ios::end);
  const auto end = in_.tellg();
  if (end < 0) throw WeightsError(where + ": cannot read the weights file");
  const std::uint64_t fileSize = static_cast<std::uint64_t>(end);
  in_.seekg(0);
  if (fileSize < 8) throw WeightsError(where + ": file is too short for a header (" + std::to_string(fileSize) + " bytes)");
  unsigned char lengthBytes[8];
  in_.read(reinterpret_cast<char*>(lengthBytes), 8);
  std::uint64_t headerLength = 0;
  for (int i = 7; i >= 0; --i) headerLength = (headerLength << 8) | lengthBytes[i];
  if (headerLength > fileSize - 8)
    throw WeightsError(where + ": header length " + std::to_string(headerLength) + " points past the end of the file (" +
                       std::to_string(fileSize) + " bytes)");
  if (headerLength > kMaxHeaderBytes)
    throw WeightsError(where + ": the header takes " + std::to_string(headerLength) +
                       " bytes, more than a checkpoint's header holds (at most 4 MiB; whisper-large-v3's takes about 150 KB)");
  std::string headerText(headerLength, '\0');
  in_.read(headerText.data(), static_cast<std::streamsize>(headerLength));
  if (!in_) throw WeightsError(where + ": cannot read the header");
  dataStart_ = 8 + headerLength;
  const std::uint64_t dataSize = fileSize - dataStart_;

  json::Value header;
  try {
    header = json::parse(headerText);
  } catch (const std::exception& e) {
    throw WeightsError(where + ": malformed header: " + e.what());
  }
  if (header.kind() != json::Value::Kind::object) throw WeightsError(where + ": header is not a JSON object");
  const std::size_t tensors = header.asObject().size() - (header.find("__metadata__") ? 1 : 0);
  if (tensors > kMaxTensors)
    throw WeightsError(where + ": the header lists " + std::to_string(tensors) + " tensors, more than a checkpoint holds (at most " +
                       std::to_string(kMaxTensors) + "; whisper-large-v3 has about 1,300)");

  for (const auto& [name, value] : header.asObject()) {
    if (name == "__metadata__") continue;
    const std::string at = where + ": tensor \"" + name + "\": ";
    try {
      Entry e;
      e.dtype = value.at("dtype").asString();
      const std::size_t elementBytes = dtypeSize(e.dtype);
      if (!elementBytes) throw WeightsError(at + "unsupported dtype \"" + e.dtype + "\"");
      std::uint64_t count = 1;
      for (const auto& d : value.at("shape").asArray()) {
        const std::int64_t dim = d.asInt();
        if (dim < 0) throw WeightsError(at + "negative dimension");
        if (dim != 0 && count > std::numeric_limits<std::uint32_t>::max() / static_cast<std::uint64_t>(dim))
          throw WeightsError(at + "shape is too large");
        count *= static_cast<std::uint64_t>(dim);
        e.shape.push_back(dim);
      }
      const auto& offsets = value.at("data_offsets").asArray();
      if (offsets.size() != 2) throw WeightsError(at + "data_offsets must hold two numbers");
      e.begin = offsets[0].asUInt(), e.end = offsets[1].asUInt();
      if (e.begin > e.end || e.end > dataSize)
        throw WeightsError(at + "data_offsets [" + std::to_string(e.begin) + ", " + std::to_string(e.end) +
                           "] point past the end of the data (" + std::to_string(dataSize) + " bytes)");
      if (e.end - e.begin != count * elementBytes)
        throw WeightsError(at + "holds " + std::to_string(e.end - e.begin) + " bytes, shape " + shapeText(e.shape) +
                           " of " + e.dtype + " needs " + std::to_string(count * elementBytes));
      if (!entries_.emplace(name, std::move(e)).second) throw WeightsError(at + "is listed twice");
    } catch (const WeightsError&) {
      throw;
    } catch (const std::exception& e) {
      throw WeightsError(at + "malformed entry: " + e.what());
    }
  }

  // Ranges in order of their start; each must begin at or after the end of the one before.
  std::vector<std::tuple<std::uint64_t, std::uint64_t, const std::string*>> ranges;
  for (const auto& [name, e] : entries_)
    if (e.end > e.begin) ranges.emplace_back(e.begin, e.end, &name);
  std::sort(ranges.begin(), ranges.end());
  for (std::size_t i = 1; i < ranges.size(); ++i)
    if (std::get<0>(ranges[i]) < std::get<1>(ranges[i - 1])) {
      const auto& [begin, end, name] = ranges[i];
      fail(*name, "data_offsets [" + std::to_string(begin) + ", " + std::to_string(end) + "] overlap those of tensor \"" +
                      *std::get<2>(ranges[i - 1]) + "\"");
    }
}

void SafetensorsFile::fail(const std::string& name, const std::string& message) const {
  throw WeightsError(path_.string() + ": tensor \"" + name + "\" " + message);
}

const SafetensorsFile::Entry& SafetensorsFile::entry(const std::string& name) const {
  auto it = entries_.find(name);
  if (it == entries_.end()) fail(name, "is missing");
  return it->second;
}

void SafetensorsFile::readBytes(const std::string& name, const Entry& e, void* out) {
  in_.clear();
  in_.seekg(static_cast<std::streamoff>(dataStart_ + e.begin));
  in_.read(static_cast<char*>(out), static_cast<std::streamsize>(e.end - e.begin));
  if (!in_) fail(name, "cannot be read");
}

std::vector<float> SafetensorsFile::readFloats(const std::string& name) {
  const Entry& e = entry(name);
  if (!isFloatDtype(e.dtype)) fail(name, "has dtype " + e.dtype + ", a floating-point dtype is needed");
  const std::size_t n = (e.end - e.begin) / dtypeSize(e.dtype);
  std::vector<float> out(n);
  if (e.dtype == "F32") {
    readBytes(name, e, out.data());
  } else if (e.dtype == "F64") {
    std::vector<double> raw(n);
    readBytes(name, e, raw.data());
    std::transform(raw.begin(), raw.end(), out.begin(), [](double d) { return static_cast<float>(d); });
  } else if (e.dtype == "F16") {
    std::vector<Float16> raw(n);
    readBytes(name, e, raw.data());
    halfToFloat(raw.data(), out.data(), n);
  } else {
    std::vector<std::uint16_t> raw(n);
    readBytes(name, e, raw.data());
    std::transform(raw.begin(), raw.end(), out.begin(),
                   [](std::uint16_t h) { return std::bit_cast<float>(static_cast<std::uint32_t>(h) << 16); });
  }
  if (const std::size_t bad = firstNonFinite(out.data(), n); bad < n)
    fail(name, "holds a value that is not a finite float (" + numberText(out[bad]) + ") at index " + std::to_string(bad));
  return out;
}

void SafetensorsFile::readFloatBlocks(
    const std::string& name, const std::function<void(const float* values, std::size_t count, std::size_t at)>& sink) {
  const Entry& e = entry(name);
  if (!isFloatDtype(e.dtype)) fail(name, "has dtype " + e.dtype + ", a floating-point dtype is needed");
  const std::size_t size = dtypeSize(e.dtype), n = (e.end - e.begin) / size;
  // Blocks small enough to stay in cache: the tensor is never held whole in float.
  constexpr std::size_t kBlock = 1 << 14;
  std::vector<unsigned char> raw(std::min(kBlock, n) * size);
  std::vector<float> values(std::min(kBlock, n));
  in_.clear();
  in_.seekg(static_cast<std::streamoff>(dataStart_ + e.begin));
  for (std::size_t at = 0; at < n; at += kBlock) {
    const std::size_t count = std::min(kBlock, n - at);
    in_.read(reinterpret_cast<char*>(raw.data()), static_cast<std::streamsize>(count * size));
    if (!in_) fail(name, "cannot be read");
    if (e.dtype == "F32") {
      std::memcpy(values.data(), raw.data(), count * 4);
    } else if (e.dtype == "F16") {
      halfToFloat(reinterpret_cast<const Float16*>(raw.data()), values.data(), count);
    } else if (e.dtype == "F64") {
      for (std::size_t i = 0; i < count; ++i) {
        double d;
        std::memcpy(&d, &raw[i * 8], 8);
        values[i] = static_cast<float>(d);
      }
    } else {
      for (std::size_t i = 0; i < count; ++i) {
        std::uint16_t h;
        std::memcpy(&h, &raw[i * 2], 2);
        values[i] = std::bit_cast<float>(static_cast<std::uint32_t>(h) << 16);
      }
    }
    if (const std::size_t bad = firstNonFinite(values.data(), count); bad < count)
      fail(name, "holds a value that is not a finite float (" + numberText(values[bad]) + ") at index " +
                     std::to_string(at + bad));
    sink(values.data(), count, at);
  }
}

namespace {

constexpr std::uint16_t kHalfExponent = 0x7c00u;

// Index of the first half whose exponent bits are all set (infinite, NaN, or a float beyond the
// half range once rounded), or n; branch-free over blocks like firstNonFinite.
std::size_t firstHalfOverflow(const Float16* halves, std::size_t n) {
  constexpr std::size_t kBlock = 4096;
  const auto* bits = reinterpret_cast<const std::uint16_t*>(halves);
  for (std::size_t at = 0; at < n; at += kBlock) {
    const std::size_t stop = std::min(n, at + kBlock);
    std::uint16_t bad = 0;
    for (std::size_t i = at; i < stop; ++i) bad |= (bits[i] & kHalfExponent) == kHalfExponent;
    if (bad)
      for (std::size_t i = at; i < stop; ++i)
        if ((bits[i] & kHalfExponent) == kHalfExponent) return i;
  }
  return n;
}

}  // namespace

void SafetensorsFile::readHalfBlocks(
    const std::string& name, const std::function<void(const Float16* halves, std::size_t count, std::size_t at)>& sink) {
  const Entry& e = entry(name);
  if (!isFloatDtype(e.dtype)) fail(name, "has dtype " + e.dtype + ", a floating-point dtype is needed");
  constexpr std::size_t kBlock = 1 << 14;
  const std::size_t n = (e.end - e.begin) / dtypeSize(e.dtype);
  std::vector<Float16> halves(std::min(kBlock, n));
  if (e.dtype == "F16") {
    in_.clear();
    in_.seekg(static_cast<std::streamoff>(dataStart_ + e.begin));
    for (std::size_t at = 0; at < n; at += kBlock) {
      const std::size_t count = std::min(kBlock, n - at);
      in_.read(reinterpret_cast<char*>(halves.data()), static_cast<std::streamsize>(count * 2));
      if (!in_) fail(name, "cannot be read");
      if (const std::size_t bad = firstHalfOverflow(halves.data(), count); bad < count)
        fail(name, "holds a value that is not a finite float (" + numberText(toFloat(halves[bad])) + ") at index " +
                       std::to_string(at + bad));
      sink(halves.data(), count, at);
    }
    return;
  }
  readFloatBlocks(name, [&](const float* values, std::size_t count, std::size_t at) {
    floatToHalf(values, halves.data(), count);
    // The values are finite, so an all-ones exponent is a float beyond the half range.
    if (const std::size_t bad = firstHalfOverflow(halves.data(), count); bad < count)
      fail(name, "holds " + numberText(values[bad]) + " at index " + std::to_string(at + bad) +
                     ", beyond half precision (largest 65504)");
    sink(halves.data(), count, at);
  });
}

void SafetensorsFile::readHalves(const std::string& name, Float16* out) {
  const Entry& e = entry(name);
  if (e.dtype == "F16") {  // stored as the runtime holds it: one read, one check
    const std::size_t n = (e.end - e.begin) / 2;
    readBytes(name, e, out);
    if (const std::size_t bad = firstHalfOverflow(out, n); bad < n)
      fail(name, "holds a value that is not a finite float (" + numberText(toFloat(out[bad])) + ") at index " +
                     std::to_string(bad));
    return;
  }
  readHalfBlocks(name, [&](const Float16* halves, std::size_t count, std::size_t at) {
    std::memcpy(out + at, halves, count * sizeof(Float16));
  });
}

std::vector<std::int64_t> SafetensorsFile::readIntegers(const std::string& name) {
  const Entry& e = entry(name);
  if (e.dtype != "I32" && e.dtype != "I64") fail(name, "has dtype " + e.dtype + ", an integer dtype is needed");
  const std::size_t n = (e.end - e.begin) / dtypeSize(e.dtype);
  std::vector<std::int64_t> out(n);
  if (e.dtype == "I64") {
    readBytes(name, e, out.data());
  } else {
    std::vector<std::int32_t> raw(n);
    readBytes(name, e, raw.data());
    std::copy(raw.begin(), raw.end(), out.begin());
  }
  return out;
}

std::map<std::string, Tensor> readSafetensors(const std::filesystem::path& path) {
  SafetensorsFile file(path);
  std::map<std::string, Tensor> tensors;
  for (const auto& [name, e] : file.entries()) {
    Tensor t{e.shape, {}, !isFloatDtype(e.dtype)};
    if (t.integer) {
      const auto values = file.readIntegers(name);
      t.data.assign(values.begin(), values.end());
    } else {
      t.data = file.readFloats(name);
    }
    tensors.emplace(name, std::move(t));
  }
  return tensors;
}

SafetensorsWriter::SafetensorsWriter(const std::filesystem::path& path, const std::map<std::string, Planned>& tensors)
    : path_(path) {
  json::Object header;
  for (const auto& [name, plan] : tensors) {
    const std::size_t elementBytes = dtypeSize(plan.dtype);
    if (!elementBytes) fail("tensor \"" + name + "\": unsupported dtype \"" + plan.dtype + "\"");
    json::Array shape;
    std::uint64_t count = 1;
    for (auto d : plan.shape) {
      if (d < 0) fail("tensor \"" + name + "\": negative dimension");
      shape.emplace_back(static_cast<long long>(d));
      count *= static_cast<std::uint64_t>(d);
    }
    const std::uint64_t bytes = count * elementBytes;
    header.emplace_back(name, json::Value(json::Object{
                                  {"dtype", plan.dtype},
                                  {"shape", shape},
                                  {"data_offsets", json::Array{json::Value(static_cast<unsigned long long>(total_)),
                                                               json::Value(static_cast<unsigned long long>(total_ + bytes))}}}));
    total_ += bytes;
  }
  std::string text = json::write(json::Value(header), {.escapeSlashes = false});
  while ((text.size() + 8) % 8) text += ' ';
  std::string start(8, '\0');
  for (int i = 0; i < 8; ++i) start[i] = static_cast<char>((text.size() >> (8 * i)) & 0xff);
  start += text;
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd_ < 0) fail(std::string("cannot create the weights file: ") + std::strerror(errno));
  writeAll(start.data(), start.size());
}

SafetensorsWriter::~SafetensorsWriter() {
  if (fd_ >= 0) ::close(fd_);
}

void SafetensorsWriter::fail(const std::string& message) const { throw WeightsError(path_.string() + ": " + message); }

void SafetensorsWriter::write(const void* data, std::size_t bytes) {
  if (fd_ < 0) fail("the weights file is closed");
  if (bytes > total_ - written_)
    fail("got more than the " + std::to_string(total_) + " bytes of data its tensors hold");
  writeAll(data, bytes);
  written_ += bytes;
}

void SafetensorsWriter::writeAll(const void* data, std::size_t bytes) {
  const char* p = static_cast<const char*>(data);
  while (bytes > 0) {
    const ssize_t n = ::write(fd_, p, bytes);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail(std::string("cannot write the weights file: ") + std::strerror(errno));
    p += n;
    bytes -= static_cast<std::size_t>(n);
  }
}

void SafetensorsWriter::finish(bool sync) {
  if (fd_ < 0) fail("the weights file is closed");
  if (written_ != total_)
    fail("got " + std::to_string(written_) + " bytes of data, the tensors hold " + std::to_string(total_));
  const bool synced = !sync || ::fsync(fd_) == 0;
  const int error = errno;
  const bool closed = ::close(fd_) == 0;
  fd_ = -1;
  if (!synced || !closed) fail(std::string("cannot write the weights file: ") + std::strerror(synced ? errno : error));
}

void writeSafetensors(const std::filesystem::path& path, const std::map<std::string, Tensor>& tensors) {
  std::map<std::string, SafetensorsWriter::Planned> planned;
  for (const auto& [name, tensor] : tensors) {
    if (static_cast<std::int64_t>(tensor.data.size()) != tensor.count())
      throw WeightsError(path.string() + ": tensor \"" + name + "\" holds " + std::to_string(tensor.data.size()) +
                         " values, shape " + shapeText(tensor.shape) + " needs " + std::to_string(tensor.count()));
    planned[name] = {tensor.integer ? "I32" : tensor.half ? "F16" : "F32", tensor.shape};
  }
  SafetensorsWriter out(path, planned);
  for (const auto& [name, tensor] : tensors) {
    if (tensor.half) {
      std::vector<Float16> halves(tensor.data.size());
      floatToHalf(tensor.data.data(), halves.data(), halves.size());
      if (const std::size_t bad = firstHalfOverflow(halves.data(), halves.size()); bad < halves.size())
        throw WeightsError(path.string() + ": tensor \"" + name + "\" holds " + numberText(tensor.data[bad]) +
                           ", beyond half precision");
      out.write(halves.data(), halves.size() * sizeof(Float16));
      continue;
    }
    if (!tensor.integer) {
      out.write(tensor.data.data(), tensor.data.size() * 4);
      continue;
    }
    std::vector<std::int32_t> values(tensor.data.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
      const float v = tensor.data[i];
      if (!(v == std::floor(v) && v >= -2147483648.0f && v < 2147483648.0f))
        throw WeightsError(path.string() + ": tensor \"" + name + "\" holds " + numberText(v) + ", not an int32");
      values[i] = static_cast<std::int32_t>(v);
    }
    out.write(values.data(), values.size() * 4);
  }
  out.finish();
}

}  // namespace platform::ml::detail
