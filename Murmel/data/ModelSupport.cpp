#include "Murmel/data/ModelSupport.h"

#include <algorithm>
#include <unordered_set>

#include "KestrumCore/Logging.h"
#include "Murmel/data/Constants.h"
#include "Murmel/data/detail/JsonFields.h"

namespace murmel {

using platform::json::Object;
using platform::json::Value;

namespace {

// Keeps the first occurrence of every name: ["a","b","a","c"] => ["a","b","c"]
std::vector<std::string> uniqued(const std::vector<std::string>& names) {
  std::vector<std::string> result;
  std::unordered_set<std::string> seen;
  for (const auto& name : names)
    if (seen.insert(name).second) result.push_back(name);
  return result;
}

// A bracketed list of quoted texts: {"iPhone13", "iPad13,1"} => ["iPhone13", "iPad13,1"]
std::string bracketed(const std::vector<std::string>& items) {
  std::string text = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i) text += ", ";
    text += '"';
    for (char c : items[i]) {
      if (c == '"' || c == '\\') text += '\\';
      text += c;
    }
    text += '"';
  }
  return text + "]";
}

std::vector<DeviceSupport> mergeDeviceSupport(const std::vector<DeviceSupport>& remote,
                                              const std::vector<DeviceSupport>& fallback) {
  std::unordered_set<std::string> remoteIdentifiers;
  for (const auto& row : remote) remoteIdentifiers.insert(row.identifiers.begin(), row.identifiers.end());

  std::vector<DeviceSupport> merged;
  for (const auto& row : remote) {
    auto shares = [&](const DeviceSupport& candidate) {
      return std::any_of(candidate.identifiers.begin(), candidate.identifiers.end(), [&](const std::string& id) {
        return std::find(row.identifiers.begin(), row.identifiers.end(), id) != row.identifiers.end();
      });
    };
    auto match = std::find_if(fallback.begin(), fallback.end(), shares);
    if (match == fallback.end()) {
      merged.push_back(row);
      continue;
    }
    std::vector<std::string> supported = row.models.supported;
    supported.insert(supported.end(), match->models.supported.begin(), match->models.supported.end());
    merged.push_back(DeviceSupport{row.chips, row.identifiers, ModelSupport(row.models.defaultModel, uniqued(supported))});
  }
  for (const auto& row : fallback) {
    bool covered = std::any_of(row.identifiers.begin(), row.identifiers.end(),
                               [&](const std::string& id) { return remoteIdentifiers.count(id) > 0; });
    if (!covered) merged.push_back(row);
  }
  return merged;
}

}  // namespace

Value ModelSupport::toJson() const {
  Object o;
  detail::put(o, "default", defaultModel);
  detail::put(o, "supported", supported);
  return Value(std::move(o));
}

ModelSupport ModelSupport::fromJson(const Value& json) {
  const Value& j = detail::keyed(json);
  auto defaultModel = detail::required<std::string>(j, "default");
  return ModelSupport(std::move(defaultModel), detail::required<std::vector<std::string>>(j, "supported"));
}

Value DeviceSupport::toJson() const {
  Object o;
  detail::putIfPresent(o, "chips", chips);
  detail::put(o, "identifiers", identifiers);
  o.emplace_back("models", models.toJson());
  return Value(std::move(o));
}

DeviceSupport DeviceSupport::fromJson(const Value& json) {
  const Value& j = detail::keyed(json);
  auto chips = detail::optional<std::string>(j, "chips");
  auto identifiers = detail::required<std::vector<std::string>>(j, "identifiers");
  return DeviceSupport{std::move(chips), std::move(identifiers), ModelSupport::fromJson(j.at("models"))};
}

ModelSupportConfig::ModelSupportConfig(std::string repoName, std::string repoVersion,
                                       std::vector<DeviceSupport> deviceSupports, bool includeFallback)
    : repoName_(std::move(repoName)), repoVersion_(std::move(repoVersion)) {
  const auto& fallback = Constants::fallbackModelSupportConfig();
  if (includeFallback && fallback.repoName().find(repoName_) != std::string::npos)
    deviceSupports_ = mergeDeviceSupport(deviceSupports, fallback.deviceSupports());
  else
    deviceSupports_ = std::move(deviceSupports);
  complete();
}

ModelSupportConfig::ModelSupportConfig(Assembled, std::string repoName, std::string repoVersion,
                                       std::vector<DeviceSupport> rows)
    : repoName_(std::move(repoName)), repoVersion_(std::move(repoVersion)), deviceSupports_(std::move(rows)) {
  complete();
}

void ModelSupportConfig::complete() {
  std::vector<std::string> all;
  for (const auto& row : deviceSupports_) all.insert(all.end(), row.models.supported.begin(), row.models.supported.end());
  knownModels_ = uniqued(all);
  for (auto& row : deviceSupports_) {
    row.models.disabled.clear();
    const std::unordered_set<std::string> supported(row.models.supported.begin(), row.models.supported.end());
    for (const auto& name : knownModels_)
      if (!supported.count(name)) row.models.disabled.push_back(name);
  }
  defaultSupport_ = DeviceSupport{std::nullopt, {}, ModelSupport("openai_whisper-base", knownModels_)};
}

ModelSupport ModelSupportConfig::modelSupport(const std::string& deviceIdentifier) const {
  const DeviceSupport* best = nullptr;
  std::size_t bestLength = 0;
  for (const auto& row : deviceSupports_) {
    for (const auto& prefix : row.identifiers) {
      // A longer match replaces the kept one; on equal lengths the first stays.
      if (deviceIdentifier.starts_with(prefix) && (best == nullptr || prefix.size() > bestLength)) {
        best = &row;
        bestLength = prefix.size();
      }
    }
  }
  if (best) {
    kestrum::Logging::debug("Matched " + deviceIdentifier + " to devices: " + bracketed(best->identifiers));
    return best->models;
  }
  kestrum::Logging::info("No device support found for " + deviceIdentifier + ", using default");
  return defaultSupport_.models;
}

Value ModelSupportConfig::toJson() const {
  Object o;
  detail::put(o, "name", repoName_);
  detail::put(o, "version", repoVersion_);
  platform::json::Array rows;
  for (const auto& row : deviceSupports_) rows.push_back(row.toJson());
  o.emplace_back("device_support", Value(std::move(rows)));
  return Value(std::move(o));
}

ModelSupportConfig ModelSupportConfig::fromJson(const Value& json) {
  using platform::json::DecodingError;
  const Value& j = detail::keyed(json);
  auto name = detail::required<std::string>(j, "name");
  auto version = detail::required<std::string>(j, "version");
  const auto& rowValues = j.at("device_support").asArray();
  // Every row gets a list of the names it does not support: rows times names must stay small.
  if (rowValues.size() > maxRows)
    throw DecodingError(DecodingError::Kind::dataCorrupted,
                        "The model-support table has " + std::to_string(rowValues.size()) + " rows; at most " +
                            std::to_string(maxRows) + " are read (real tables have about ten)");
  std::vector<DeviceSupport> rows;
  std::unordered_set<std::string> names;
  for (const auto& row : rowValues) {
    rows.push_back(DeviceSupport::fromJson(row));
    names.insert(rows.back().models.supported.begin(), rows.back().models.supported.end());
    if (names.size() > maxKnownModels)
      throw DecodingError(DecodingError::Kind::dataCorrupted,
                          "The model-support table names more than " + std::to_string(maxKnownModels) +
                              " models (real tables name a few dozen)");
  }
  return ModelSupportConfig(std::move(name), std::move(version), std::move(rows), true);
}

ModelSupportConfig ModelSupportConfig::makeFallback() {
  const std::vector<std::string> row1{"openai_whisper-base", "openai_whisper-base.en", "openai_whisper-tiny",
                                      "openai_whisper-tiny.en"};
  const std::vector<std::string> row2{"openai_whisper-tiny",
                                      "openai_whisper-tiny.en",
                                      "openai_whisper-base",
                                      "openai_whisper-base.en",
                                      "openai_whisper-small",
                                      "openai_whisper-small.en",
                                      "openai_whisper-large-v2_949MB",
                                      "openai_whisper-large-v2_turbo_955MB",
                                      "openai_whisper-large-v3_947MB",
                                      "openai_whisper-large-v3_turbo_954MB",
                                      "distil-whisper_distil-large-v3_594MB",
                                      "distil-whisper_distil-large-v3_turbo_600MB",
                                      "openai_whisper-large-v3-v20240930_626MB",
                                      "openai_whisper-large-v3-v20240930_turbo_632MB"};
  const std::vector<std::string> row3{"openai_whisper-tiny",
                                      "openai_whisper-tiny.en",
                                      "openai_whisper-base",
                                      "openai_whisper-base.en",
                                      "openai_whisper-small",
                                      "openai_whisper-small.en",
                                      "openai_whisper-large-v2",
                                      "openai_whisper-large-v2_949MB",
                                      "openai_whisper-large-v3",
                                      "openai_whisper-large-v3_947MB",
                                      "distil-whisper_distil-large-v3",
                                      "distil-whisper_distil-large-v3_594MB",
                                      "openai_whisper-large-v3-v20240930_626MB"};
  const std::vector<std::string> row4{"openai_whisper-tiny",
                                      "openai_whisper-tiny.en",
                                      "openai_whisper-base",
                                      "openai_whisper-base.en",
                                      "openai_whisper-small",
                                      "openai_whisper-small.en",
                                      "openai_whisper-large-v2",
                                      "openai_whisper-large-v2_949MB",
                                      "openai_whisper-large-v2_turbo",
                                      "openai_whisper-large-v2_turbo_955MB",
                                      "openai_whisper-large-v3",
                                      "openai_whisper-large-v3_947MB",
                                      "openai_whisper-large-v3_turbo",
                                      "openai_whisper-large-v3_turbo_954MB",
                                      "distil-whisper_distil-large-v3",
                                      "distil-whisper_distil-large-v3_594MB",
                                      "distil-whisper_distil-large-v3_turbo",
                                      "distil-whisper_distil-large-v3_turbo_600MB",
                                      "openai_whisper-large-v3-v20240930",
                                      "openai_whisper-large-v3-v20240930_turbo",
                                      "openai_whisper-large-v3-v20240930_626MB",
                                      "openai_whisper-large-v3-v20240930_turbo_632MB"};
  const std::vector<std::string> row5{"openai_whisper-tiny", "openai_whisper-tiny.en", "openai_whisper-base",
                                      "openai_whisper-base.en", "openai_whisper-small", "openai_whisper-small.en"};
  std::vector<DeviceSupport> rows{
      {"A12, A13, S9, S10",
       {"iPhone11", "iPhone12", "iPad12,1", "iPad12,2", "Watch7", "Watch8"},
       ModelSupport("openai_whisper-tiny", row1)},
      {"A16, A17 Pro, A18",
       {"iPhone15", "iPhone16", "iPhone17", "iPad15,7", "iPad15,8", "iPad16,1", "iPad16,2"},
       ModelSupport("openai_whisper-base", row2)},
      {"M1",
       {"MacBookPro17,1", "MacBookPro18,1", "MacBookPro18,2", "MacBookPro18,3", "MacBookPro18,4", "MacBookAir10,1",
        "Macmini9,1", "iMac21,1", "iMac21,2", "Mac13", "iPad13,4", "iPad13,5", "iPad13,6", "iPad13,7", "iPad13,8",
        "iPad13,9", "iPad13,10", "iPad13,11", "iPad13,16", "iPad13,17"},
       ModelSupport("openai_whisper-large-v3-v20240930_626MB", row3)},
      {"M2, M3, M4",
       {"Mac14", "Mac15", "Mac16", "iPad14,3", "iPad14,4", "iPad14,5", "iPad14,6", "iPad14,8", "iPad14,9",
        "iPad14,10", "iPad14,11", "iPad15", "iPad16"},
       ModelSupport("openai_whisper-large-v3-v20240930", row4)},
      {"A14",
       {"iPhone13", "iPad13,1", "iPad13,2", "iPad13,18", "iPad13,19"},
       ModelSupport("openai_whisper-base", row5)},
      {"A15", {"iPhone14", "iPad14,1", "iPad14,2"}, ModelSupport("openai_whisper-base", row2)},
  };
  return ModelSupportConfig(Assembled{}, "murmel-coreml-fallback", "0.4", std::move(rows));
}

}  // namespace murmel
