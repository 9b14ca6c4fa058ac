#include "KestrumModels/ModelInfo.h"

#include <vector>

namespace kestrum {

namespace fs = std::filesystem;

namespace {

// Appends a path component: a leading "/" does not replace the folder as operator/ would.
// ("/base", "/v2") => "/base/v2"
void appendComponent(fs::path& folder, const std::string& component) {
  const auto start = component.find_first_not_of('/');
  if (start != std::string::npos) folder /= component.substr(start);
}

}  // namespace

std::string ModelInfo::downloadPattern() const {
  return name + "/" + version.value_or("*") + "/" + variant.value_or("*") + "/*";
}

std::string ModelInfo::description() const {
  std::string text = name;
  for (const auto* part : {&version, &variant})
    if (*part) text += "/" + **part;
  return text;
}

std::string ModelInfo::debugDescription() const {
  using platform::ml::MLComputeUnits;
  const char* units = "unknown";
  switch (computeUnits) {
    case MLComputeUnits::cpuOnly: units = "cpuOnly"; break;
    case MLComputeUnits::cpuAndGPU: units = "cpuAndGPU"; break;
    case MLComputeUnits::all: units = "all"; break;
    case MLComputeUnits::cpuAndNeuralEngine: units = "cpuAndNeuralEngine"; break;
  }
  return "ModelInfo(name: " + name + ", version: " + version.value_or("nil") + ", variant: " +
         variant.value_or("nil") + ", computeUnit: " + units + ")";
}

fs::path ModelInfo::modelURL(const fs::path& baseURL) const {
  fs::path url = baseURL;
  appendComponent(url, name);
  if (version) appendComponent(url, *version);
  if (variant) appendComponent(url, *variant);
  return url;
}

std::optional<fs::path> ModelInfo::findBaseFolder(const fs::path& folder) const {
  // Components as a file URL has them: the root counts as one, empty ones (a trailing "/") do not.
  std::vector<fs::path> components;
  for (const auto& component : folder)
    if (!component.empty()) components.push_back(component);
  while (components.size() >= 2) {
    if (components.back() == name) {
      fs::path parent;
      for (std::size_t i = 0; i + 1 < components.size(); ++i) parent /= components[i];
      return parent;
    }
    components.pop_back();
  }
  return std::nullopt;
}

}  // namespace kestrum
