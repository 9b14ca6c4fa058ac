#include "KestrumCore/ModelUtilities.h"

#include <algorithm>
#include <vector>

namespace kestrum {

namespace fs = std::filesystem;

namespace {

const fs::path kPackageModel = fs::path("Data") / "com.apple.CoreML" / "model.mlmodel";

std::optional<std::int64_t> dimension(const std::shared_ptr<const platform::ml::MLModel>& model, bool input,
                                      const std::string& name, std::int64_t position) {
  if (!model) return std::nullopt;
  const auto& description = model->modelDescription();
  const auto& features = input ? description.inputDescriptionsByName : description.outputDescriptionsByName;
  const auto it = features.find(name);
  if (it == features.end() || it->second.type != platform::ml::MLFeatureType::multiArray ||
      !it->second.multiArrayConstraint)
    return std::nullopt;
  const auto& shape = it->second.multiArrayConstraint->shape;
  if (position < 0 || position >= static_cast<std::int64_t>(shape.size())) return std::nullopt;
  return shape[static_cast<std::size_t>(position)];
}

}  // namespace

fs::path ModelUtilities::detectModelURL(const fs::path& folder, const std::string& name) {
  const fs::path compiled = folder / (name + ".mlmodelc");
  const fs::path package = folder / (name + ".mlpackage") / kPackageModel;
  std::error_code ec;
  if (fs::exists(package, ec) && !fs::exists(compiled, ec)) return package;
  return compiled;
}

fs::path ModelUtilities::detectModelURL(const fs::path& folder, const std::string& name, bool recursive) {
  if (!recursive) return detectModelURL(folder, name);
  const std::string target = name + ".mlmodelc";
  std::error_code ec;
  if (fs::exists(folder / target, ec)) return folder / target;
  fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec), end;
  for (; !ec && it != end; it.increment(ec))
    if (it->path().filename() == target) return it->path();
  return folder / target;
}

std::optional<fs::path> ModelUtilities::detectModelURL(const fs::path& folder) {
  std::error_code ec;
  fs::directory_iterator it(folder, ec), end;
  if (ec) return std::nullopt;
  std::vector<fs::path> entries;
  for (; !ec && it != end; it.increment(ec)) entries.push_back(it->path());
  for (const auto& entry : entries)
    if (entry.extension() == ".mlmodelc") return entry;
  for (const auto& entry : entries)
    if (entry.extension() == ".mlpackage") return entry / kPackageModel;
  return std::nullopt;
}

std::optional<std::int64_t> ModelUtilities::getModelInputDimension(const std::shared_ptr<const platform::ml::MLModel>& model,
                                                                   const std::string& name, std::int64_t position) {
  return dimension(model, true, name, position);
}

std::optional<std::int64_t> ModelUtilities::getModelOutputDimension(const std::shared_ptr<const platform::ml::MLModel>& model,
                                                                    const std::string& name, std::int64_t position) {
  return dimension(model, false, name, position);
}

}  // namespace kestrum
