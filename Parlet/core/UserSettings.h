// The user's settings: "TriggerKeyCode" (integer, Right Alt when absent or not a preset key) and
// "HasOnboarded" (false when absent). `UserSettings` is the seam; `JsonFileSettings` keeps them in
// <XDG config>/Parlet/settings.json, read once and rewritten atomically on each change (a file that
// cannot be decoded, or holds a number with no JSON form such as 1e400, is set aside first under
// the next free "settings.json.unreadable[-N]", and logged; a value of no JSON form is logged and
// not stored; a change that would make the file larger than the reader accepts is kept for this run
// only, logged, and the file keeps its earlier settings); `InMemorySettings` serves tests.
// A settings folder that is a link or another user's (or that others may write to and cannot be
// repaired) is neither read nor written: the settings then live in memory only, and the log says why.
// Main thread only. Never throws for a missing or bad file; a failed write is logged.
//   HotkeyManager::Key key = currentKey(settings);
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "Parlet/core/HotkeyManager.h"
#include "Parlet/core/ParletLog.h"
#include "platform/System/Json.h"

namespace parlet {

class UserSettings {
 public:
  static constexpr const char* triggerKeyCodeKey = "TriggerKeyCode";
  static constexpr const char* hasOnboardedKey = "HasOnboarded";

  virtual ~UserSettings() = default;
  virtual std::optional<platform::json::Value> value(const std::string& key) const = 0;
  virtual void setValue(const std::string& key, platform::json::Value value) = 0;

  // Nothing when absent or not an integer.
  std::optional<std::int64_t> integer(const std::string& key) const;
  // False when absent or not a boolean.
  bool boolean(const std::string& key) const;
};

// The preset whose key code is stored under "TriggerKeyCode"; Right Alt for anything else.
const HotkeyManager::Key& currentKey(const UserSettings& settings);

class InMemorySettings : public UserSettings {
 public:
  std::optional<platform::json::Value> value(const std::string& key) const override;
  void setValue(const std::string& key, platform::json::Value value) override;

 private:
  std::map<std::string, platform::json::Value> values_;
};

class JsonFileSettings : public UserSettings {
 public:
  // <settings directory>/settings.json.
  static std::filesystem::path defaultLocation();
  // A settings file over this size (real ones hold a few hundred bytes) is unreadable: logged, and
  // set aside before the next write.
  static constexpr std::uintmax_t maxFileBytes = 4u << 20;

  explicit JsonFileSettings(std::filesystem::path url, LogSink log = {});

  std::optional<platform::json::Value> value(const std::string& key) const override;
  void setValue(const std::string& key, platform::json::Value value) override;

 private:
  std::filesystem::path url_;
  LogSink log_;
  platform::json::Value values_;  // an object
  bool unreadableFile_ = false;
  bool foreignFolder_ = false;  // a link or another user's folder: settings live in memory only
};

}  // namespace parlet
