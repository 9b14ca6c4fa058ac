// Which model folders run on which devices: rows of device-identifier prefixes with their default
// and supported models. A configuration completes itself at construction (merge with the built-in
// table, known models, disabled lists, default row). Lookup never fails. Values; not synchronised.
// JSON: {"name","version","device_support":[{"chips"?,"identifiers","models":{"default","supported"}}]};
// reading throws platform::json::DecodingError on a missing key or a wrong type, and (dataCorrupted)
// on a table beyond the bounds below, before any of its rows is built. Construction takes time and
// memory in proportion to rows times known models.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "platform/System/Json.h"

namespace murmel {

struct ModelSupport {
  ModelSupport(std::string defaultModel, std::vector<std::string> supported, std::vector<std::string> disabled = {})
      : defaultModel(std::move(defaultModel)), supported(std::move(supported)), disabled(std::move(disabled)) {}

  std::string defaultModel;            // "default": used when the caller names none
  std::vector<std::string> supported;  // in the table's order
  std::vector<std::string> disabled;   // known but not supported here; filled by the configuration

  // "default" and "supported" only.
  platform::json::Value toJson() const;
  static ModelSupport fromJson(const platform::json::Value& json);
  friend bool operator==(const ModelSupport&, const ModelSupport&) = default;
};

struct DeviceSupport {
  std::optional<std::string> chips;     // informative only, never matched
  std::vector<std::string> identifiers;  // device identifier prefixes, "Mac14", "iPad13,1"
  ModelSupport models;

  platform::json::Value toJson() const;
  static DeviceSupport fromJson(const platform::json::Value& json);
  friend bool operator==(const DeviceSupport&, const DeviceSupport&) = default;
};

class ModelSupportConfig {
 public:
  // Real tables have about ten rows and a few dozen model names; a document beyond these, or
  // larger than maxDocumentBytes, is refused when read.
  static constexpr std::size_t maxRows = 256;
  static constexpr std::size_t maxKnownModels = 512;
  static constexpr std::size_t maxDocumentBytes = 1u << 20;

  // Merges the built-in table into `deviceSupports` when asked and when the built-in table's name
  // contains `repoName`, then derives knownModels, the disabled lists and the default row.
  ModelSupportConfig(std::string repoName, std::string repoVersion, std::vector<DeviceSupport> deviceSupports,
                     bool includeFallback = true);

  const std::string& repoName() const { return repoName_; }
  const std::string& repoVersion() const { return repoVersion_; }
  const std::vector<DeviceSupport>& deviceSupports() const { return deviceSupports_; }
  std::vector<DeviceSupport>& deviceSupports() { return deviceSupports_; }
  const std::vector<std::string>& knownModels() const { return knownModels_; }
  const DeviceSupport& defaultSupport() const { return defaultSupport_; }

  // The row whose identifier is the longest prefix of `deviceIdentifier` (first one on ties), else
  // the default row; logs the choice.
  ModelSupport modelSupport(const std::string& deviceIdentifier) const;

  platform::json::Value toJson() const;
  // Always completed with includeFallback = true.
  static ModelSupportConfig fromJson(const platform::json::Value& json);

  // The built-in table, assembled without merging.
  static ModelSupportConfig makeFallback();

 private:
  struct Assembled {};
  ModelSupportConfig(Assembled, std::string repoName, std::string repoVersion, std::vector<DeviceSupport> rows);
  void complete();

  std::string repoName_;
  std::string repoVersion_;
  std::vector<DeviceSupport> deviceSupports_;
  std::vector<std::string> knownModels_;
  DeviceSupport defaultSupport_{std::nullopt, {}, ModelSupport("openai_whisper-base", {})};
};

}  // namespace murmel
