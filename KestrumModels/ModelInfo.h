// Names a model inside a repository laid out as <name>/<version>/<variant>/: the glob that selects
// its files, its printed forms and where it lives below a local copy of the repository. A plain
// value; never throws.
//   ModelInfo{.variant = "base", .name = "whisper"}.downloadPattern() == "whisper/*/base/*"
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "platform/ML/MLModel.h"

namespace kestrum {

struct ModelInfo {
  std::optional<std::string> version{};  // version folder; absent: any
  std::optional<std::string> variant{};  // variant folder (size, quantisation); absent: any
  std::string name{};                  // model family folder, and the file name searched for
  platform::ml::MLComputeUnits computeUnits = platform::ml::MLComputeUnits::all;  // descriptive only

  // name/(version or *)/(variant or *)/*
  std::string downloadPattern() const;
  // The present ones of name, version, variant joined by "/".
  std::string description() const;
  // "ModelInfo(name: whisper, version: nil, variant: base, computeUnit: all)"
  std::string debugDescription() const;
  // baseURL/name[/version][/variant]
  std::filesystem::path modelURL(const std::filesystem::path& baseURL) const;
  // The parent of the nearest folder named `name` at or above `folder`; absent when the walk runs
  // out of components first. "/m/whisper/v1/base" => "/m".
  std::optional<std::filesystem::path> findBaseFolder(const std::filesystem::path& folder) const;
};

}  // namespace kestrum
