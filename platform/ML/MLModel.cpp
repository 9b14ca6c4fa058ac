#include "platform/ML/MLModel.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <thread>

#include "platform/ML/detail/Half.h"
#include "platform/ML/detail/Kernel.h"

namespace platform::ml {

namespace json = platform::json;
using detail::ModelManifest;

namespace {

// Thrown inside parsing; turned into MLModelError with the file named at the edge.
struct DescriptionError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

MLFeatureDescription parseFeature(const json::Value& v, std::size_t index, const char* side) {
  const std::string where = std::string(side) + "[" + std::to_string(index) + "]";
  try {
    MLFeatureDescription f;
    f.name = v.at("name").asString();
    f.type = MLFeatureType::multiArray;
    if (const auto* optional = v.find("optional")) f.isOptional = optional->asBool();
    MLMultiArrayConstraint c;
    c.dataType = dataTypeFromName(v.at("dtype").asString());
    for (const auto& d : v.at("shape").asArray()) {
      const std::int64_t dim = d.asInt();
      if (dim < 0 || dim > (std::int64_t{1} << 31)) throw DescriptionError("dimension " + std::to_string(dim) + " is out of range");
      c.shape.push_back(dim);
    }
    f.multiArrayConstraint = std::move(c);
    return f;
  } catch (const std::exception& e) {
    throw DescriptionError(where + ": " + e.what());
  }
}

// A model description names a few dozen features and alignment heads in a few kilobytes; a
// larger one is refused before it is parsed, so that no claim of it is worked through.
constexpr std::uintmax_t kMaxDescriptionBytes = 1 << 20;

ModelManifest parseManifest(const std::filesystem::path& folder) {
  ModelManifest manifest;
  manifest.folder = folder;
  const std::filesystem::path file = folder / "model.json";
  std::error_code error;
  if (const auto bytes = std::filesystem::file_size(file, error); !error && bytes > kMaxDescriptionBytes)
    throw DescriptionError("is " + std::to_string(bytes) + " bytes, more than a model description holds (at most 1 MiB)");
  const json::Value root = json::parseFile(file.string(), kMaxDescriptionBytes);
  try {
    manifest.kind = root.at("kind").asString();
    const auto& inputs = root.at("inputs").asArray();
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      auto f = parseFeature(inputs[i], i, "inputs");
      if (!manifest.description.inputDescriptionsByName.emplace(f.name, f).second)
        throw DescriptionError("input \"" + f.name + "\" is listed twice");
    }
    const auto& outputs = root.at("outputs").asArray();
    for (std::size_t i = 0; i < outputs.size(); ++i) {
      auto f = parseFeature(outputs[i], i, "outputs");
      if (!manifest.description.outputDescriptionsByName.emplace(f.name, f).second)
        throw DescriptionError("output \"" + f.name + "\" is listed twice");
    }
    if (const auto* hp = root.find("hyperparameters")) manifest.hyperparameters = *hp;
    else manifest.hyperparameters = json::Value(json::Object{});
    if (const auto* heads = root.find("alignment_heads"))
      for (const auto& pair : heads->asArray()) {
        const auto& p = pair.asArray();
        if (p.size() != 2) throw DescriptionError("alignment_heads entries are [layer, head] pairs");
        manifest.alignmentHeads.emplace_back(static_cast<int>(p[0].asInt()), static_cast<int>(p[1].asInt()));
      }
  } catch (const DescriptionError&) {
    throw;
  } catch (const std::exception& e) {
    throw DescriptionError(e.what());
  }
  return manifest;
}

// Every load failure leaves here as an MLModelError that names the folder.
template <class F> auto withLoadContext(const std::filesystem::path& folder, F&& f) {
  const std::string where = folder.string();
  try {
    return f();
  } catch (const MLModelError&) {
    throw;
  } catch (const detail::WeightsError& e) {
    throw MLModelError(MLModelError::Kind::parameters, std::string("cannot load model: ") + e.what());
  } catch (const DescriptionError& e) {
    throw MLModelError(MLModelError::Kind::parameters,
                       "cannot load model: " + (folder / "model.json").string() + ": " + e.what());
  } catch (const json::ParseError& e) {
    throw MLModelError(MLModelError::Kind::parameters, std::string("cannot load model: ") + e.what());
  } catch (const std::bad_alloc&) {
    throw MLModelError(MLModelError::Kind::generic, "cannot load model " + where + ": out of memory");
  } catch (const std::exception& e) {
    throw MLModelError(MLModelError::Kind::io, "cannot load model " + where + ": " + e.what());
  }
}

bool isFloat(MLMultiArrayDataType t) {
  return t == MLMultiArrayDataType::float16 || t == MLMultiArrayDataType::float32 || t == MLMultiArrayDataType::float64;
}

// Every element a whole number that an int32 holds exactly.
bool integral(const MLMultiArray& array) {
  for (std::int64_t i = 0; i < array.count(); ++i) {
    const double v = array[i];
    if (!(v == std::floor(v) && v >= -2147483648.0 && v <= 2147483647.0)) return false;
  }
  return true;
}

}  // namespace

namespace detail {

// Upper bounds that keep a corrupt description from asking for absurd allocations; the weights'
// shapes bound everything else.
std::int64_t hyperLimit(const std::string& name) {
  if (name == "n_mels") return 1024;
  if (name == "n_audio_ctx" || name == "n_text_ctx" || name == "n_prefill") return 1 << 16;
  if (name == "n_samples") return 1 << 24;
  return 1 << 20;
}

std::int64_t ModelManifest::hyper(const std::string& name) const {
  const json::Value* v = hyperparameters.kind() == json::Value::Kind::object ? hyperparameters.find(name) : nullptr;
  if (!v) fail("hyperparameter \"" + name + "\" is missing");
  std::int64_t n;
  try {
    n = v->asInt();
  } catch (const std::exception&) {
    fail("hyperparameter \"" + name + "\" is not an integer");
  }
  if (n < 0 || n > hyperLimit(name))
    fail("hyperparameter \"" + name + "\" is " + std::to_string(n) + ", outside 0..." + std::to_string(hyperLimit(name)));
  return n;
}

void ModelManifest::requireFeature(bool input, const std::string& name, const std::vector<std::int64_t>& shape) const {
  const auto& map = input ? description.inputDescriptionsByName : description.outputDescriptionsByName;
  auto it = map.find(name);
  const char* side = input ? "input" : "output";
  if (it == map.end()) fail(std::string(side) + " \"" + name + "\" is missing");
  const auto& actual = it->second.multiArrayConstraint->shape;
  if (actual != shape)
    fail(std::string(side) + " \"" + name + "\" has shape " + shapeText(actual) + ", the hyperparameters give " +
         shapeText(shape));
}

void ModelManifest::fail(const std::string& message) const { throw DescriptionError(kind + " model: " + message); }

void Weights::checkShape(const std::string& name, const std::vector<std::int64_t>& shape) {
  const auto actual = shapeOf(name);
  if (actual != shape) fail(name, "has shape " + shapeText(actual) + ", expected " + shapeText(shape));
  if (!taken_.insert(name).second) fail(name, "is taken twice");
}

std::vector<float> Weights::take(const std::string& name, const std::vector<std::int64_t>& shape) {
  checkShape(name, shape);
  return file_.readFloats(name);
}

HalfWeights Weights::takeHalves(const std::string& name, const std::vector<std::int64_t>& shape) {
  HalfWeights out;
  takeHalves(name, shape, out);
  return out;
}

void Weights::takeHalves(const std::string& name, const std::vector<std::int64_t>& shape, HalfWeights& out) {
  checkShape(name, shape);
  std::size_t n = 1;
  for (auto d : shape) n *= static_cast<std::size_t>(d);
  const std::size_t at = out.size();
  out.resize(at + n);
  file_.readHalves(name, out.data() + at);
}

std::vector<std::int64_t> Weights::takeIntegers(const std::string& name, const std::vector<std::int64_t>& shape) {
  checkShape(name, shape);
  return file_.readIntegers(name);
}

std::vector<float> Weights::takeOrZeros(const std::string& name, const std::vector<std::int64_t>& shape) {
  if (!has(name)) {
    std::int64_t n = 1;
    for (auto d : shape) n *= d;
    return std::vector<float>(static_cast<std::size_t>(n), 0.0f);
  }
  return take(name, shape);
}

std::vector<std::int64_t> Weights::shapeOf(const std::string& name) const {
  auto it = file_.entries().find(name);
  if (it == file_.entries().end()) fail(name, "is missing");
  return it->second.shape;
}

std::int64_t Weights::layerCount(const std::string& prefix) const {
  std::set<std::string> indices;
  const std::string start = prefix + ".";
  for (auto it = file_.entries().lower_bound(start); it != file_.entries().end() && it->first.rfind(start, 0) == 0; ++it) {
    const auto dot = it->first.find('.', start.size());
    indices.insert(it->first.substr(start.size(), dot == std::string::npos ? std::string::npos : dot - start.size()));
  }
  return static_cast<std::int64_t>(indices.size());
}

void Weights::requireAllTaken() const {
  std::vector<std::string> unused;
  for (const auto& [name, entry] : file_.entries())
    if (!taken_.count(name)) unused.push_back(name);
  if (unused.empty()) return;
  fail(unused.front(), "is not used by the model" +
                           (unused.size() > 1 ? " (nor are " + std::to_string(unused.size() - 1) + " more)" : std::string()));
}

void readFloats(const MLMultiArray& array, std::int64_t offset, std::int64_t count, float* out) {
  if (offset < 0 || count < 0 || offset + count > array.count()) throw std::out_of_range("readFloats outside the array");
  switch (array.dataType()) {
    case MLMultiArrayDataType::float32:
      std::memcpy(out, static_cast<const float*>(array.dataPointer()) + offset, static_cast<std::size_t>(count) * 4);
      return;
    case MLMultiArrayDataType::float16:
      halfToFloat(static_cast<const Float16*>(array.dataPointer()) + offset, out, static_cast<std::size_t>(count));
      return;
    default:
      for (std::int64_t i = 0; i < count; ++i) out[i] = static_cast<float>(array[offset + i]);
  }
}

void writeFloats(MLMultiArray& array, std::int64_t offset, const float* values, std::int64_t count) {
  if (offset < 0 || count < 0 || offset + count > array.count()) throw std::out_of_range("writeFloats outside the array");
  switch (array.dataType()) {
    case MLMultiArrayDataType::float32:
      std::memcpy(static_cast<float*>(array.dataPointer()) + offset, values, static_cast<std::size_t>(count) * 4);
      return;
    case MLMultiArrayDataType::float16:
      floatToHalf(values, static_cast<Float16*>(array.dataPointer()) + offset, static_cast<std::size_t>(count));
      return;
    default:
      for (std::int64_t i = 0; i < count; ++i) array.setValue(offset + i, values[i]);
  }
}

std::shared_ptr<MLMultiArray> makeOutput(const MLModelDescription& description, const std::string& name) {
  const auto& c = *description.outputDescriptionsByName.at(name).multiArrayConstraint;
  return MLMultiArray::make(c.shape, c.dataType);
}

std::unique_ptr<Kernel> makeKernel(const ModelManifest& manifest) {
  if (manifest.kind == "MelSpectrogram") return makeMelKernel(manifest);
  if (manifest.kind == "AudioEncoder") return makeEncoderKernel(manifest);
  if (manifest.kind == "TextDecoder") return makeDecoderKernel(manifest);
  if (manifest.kind == "TextDecoderContextPrefill") return makePrefillKernel(manifest);
  throw DescriptionError("unknown model kind \"" + manifest.kind + "\"");
}

}  // namespace detail

MLModel::MLModel(std::filesystem::path url, MLModelConfiguration configuration, MLModelDescription description,
                 std::unique_ptr<detail::Kernel> kernel)
    : url_(std::move(url)), configuration_(configuration), description_(std::move(description)), kernel_(std::move(kernel)) {}

MLModel::MLModel(std::filesystem::path url, MLModelConfiguration configuration, MLModelDescription description)
    : MLModel(std::move(url), configuration, std::move(description), nullptr) {}

MLModel::~MLModel() = default;

std::shared_ptr<MLModel> MLModel::load(const std::filesystem::path& url, const MLModelConfiguration& configuration) {
  std::error_code ec;
  if (!std::filesystem::is_directory(url, ec))
    throw MLModelError(MLModelError::Kind::io, "cannot load model: " + url.string() + " is not a model folder");
  if (!std::filesystem::is_regular_file(url / "model.json", ec))
    throw MLModelError(MLModelError::Kind::io, "cannot load model: " + (url / "model.json").string() + " is missing");
  return withLoadContext(url, [&] {
    ModelManifest manifest = parseManifest(url);
    auto kernel = detail::makeKernel(manifest);
    return std::make_shared<MLModel>(url, configuration, manifest.description, std::move(kernel));
  });
}

std::future<std::shared_ptr<MLModel>> MLModel::loadAsync(const std::filesystem::path& url,
                                                         const MLModelConfiguration& configuration) {
  return std::async(std::launch::async, [url, configuration] { return load(url, configuration); });
}

std::shared_ptr<MLFeatureProvider> MLModel::prediction(const MLFeatureProvider& input, const MLPredictionOptions&) const {
  detail::ArrayMap inputs;
  for (const auto& [name, feature] : description_.inputDescriptionsByName) {
    const auto value = input.featureValue(name);
    std::shared_ptr<MLMultiArray> array = value ? value->multiArrayValue() : nullptr;
    if (!array) {
      if (feature.isOptional) continue;
      throw MLModelError(MLModelError::Kind::featureType,
                         value ? "input \"" + name + "\" is not a multi-array" : "input \"" + name + "\" is missing");
    }
    const auto& c = *feature.multiArrayConstraint;
    if (array->shape() != c.shape)
      throw MLModelError(MLModelError::Kind::featureType, "input \"" + name + "\" has shape " +
                                                              detail::shapeText(array->shape()) + ", the model takes " +
                                                              detail::shapeText(c.shape));
    if (array->dataType() != c.dataType) {
      // Float types convert freely; between integers and floats only exact values do
      // (a float32 mask of 0 and 1 feeds an int32 input).
      if (isFloat(array->dataType()) != isFloat(c.dataType) && !integral(*array))
        throw MLModelError(MLModelError::Kind::featureType, "input \"" + name + "\" holds " +
                                                                dataTypeName(array->dataType()) +
                                                                " values that are not whole numbers, the model takes " +
                                                                dataTypeName(c.dataType));
      array = converted(array, c.dataType);
    }
    inputs.emplace(name, std::move(array));
  }
  if (!kernel_) throw MLModelError(MLModelError::Kind::unsupported, url_.filename().string() + " has nothing to run");
  detail::ArrayMap outputs;
  try {
    outputs = kernel_->predict(inputs);
  } catch (const MLModelError&) {
    throw;
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& e) {
    throw MLModelError(MLModelError::Kind::generic, url_.filename().string() + ": prediction failed: " + e.what());
  }
  std::map<std::string, MLFeatureValue> features;
  for (auto& [name, array] : outputs) features.emplace(name, MLFeatureValue(std::move(array)));
  return std::make_shared<MLDictionaryFeatureProvider>(std::move(features));
}

std::shared_ptr<MLMultiArray> MLModel::converted(const std::shared_ptr<MLMultiArray>& array,
                                                MLMultiArrayDataType type) const {
  constexpr std::size_t kKept = 2;
  const std::uint64_t identifier = array->identifier(), generation = array->generation();
  {
    std::lock_guard lock(conversionsMutex_);
    for (const auto& c : conversions_)
      if (c.identifier == identifier && c.generation == generation && c.array->dataType() == type) return c.array;
  }
  auto result = MLMultiArray::make(array->shape(), type);
  if (isFloat(type)) {
    std::vector<float> values(static_cast<std::size_t>(array->count()));
    detail::readFloats(*array, 0, array->count(), values.data());
    result->assignFloats(values);
  } else {
    for (std::int64_t i = 0; i < array->count(); ++i) result->setValue(i, (*array)[i]);
  }
  std::lock_guard lock(conversionsMutex_);
  conversions_.push_front({identifier, generation, result});
  if (conversions_.size() > kKept) conversions_.pop_back();
  return result;
}

std::future<std::shared_ptr<MLFeatureProvider>> MLModel::predictionAsync(std::shared_ptr<const MLFeatureProvider> input,
                                                                         const MLPredictionOptions& options) const {
  auto self = shared_from_this();
  return std::async(std::launch::async, [self, input = std::move(input), options] { return self->prediction(*input, options); });
}

std::shared_ptr<MLFeatureProvider> MLModel::prediction(const MLFeatureProvider&, MLState&, const MLPredictionOptions&) const {
  throw MLModelError(MLModelError::Kind::unsupported, "Stateful prediction is not supported by this runtime");
}

}  // namespace platform::ml
