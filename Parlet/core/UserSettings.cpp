#include "Parlet/core/UserSettings.h"

#include <system_error>

#include "Parlet/core/detail/Files.h"
#include "platform/System/Folders.h"

namespace parlet {
namespace json = platform::json;

std::optional<std::int64_t> UserSettings::integer(const std::string& key) const {
  std::optional<json::Value> stored = value(key);
  if (!stored) return std::nullopt;
  auto kind = stored->kind();
  if (kind != json::Value::Kind::integer && kind != json::Value::Kind::unsignedInteger) return std::nullopt;
  try {
    return stored->asInt();
  } catch (const json::DecodingError&) {
    return std::nullopt;
  }
}

bool UserSettings::boolean(const std::string& key) const {
  std::optional<json::Value> stored = value(key);
  return stored && stored->kind() == json::Value::Kind::boolean && stored->asBool();
}

const HotkeyManager::Key& currentKey(const UserSettings& settings) {
  return HotkeyManager::presetForKeyCode(settings.integer(UserSettings::triggerKeyCodeKey));
}

std::optional<json::Value> InMemorySettings::value(const std::string& key) const {
  auto it = values_.find(key);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

void InMemorySettings::setValue(const std::string& key, json::Value value) { values_[key] = std::move(value); }

namespace {

// The settings folder is checked as the data folder is (ours, no link, no one else writes): another
// user's settings are neither loaded nor written over. A missing folder is fine.
bool foreignFolder(const std::filesystem::path& folder, const LogSink& log) {
  std::error_code missing;
  if (!std::filesystem::exists(std::filesystem::symlink_status(folder, missing))) return false;
  std::string problem;
  try {
    const platform::system::FolderInspection found = platform::system::inspectOwnFolder(folder, 022);
    if (found.usable) {
      if (!found.note.empty()) log("settings: " + found.note);
      return false;
    }
    problem = found.note;
  } catch (const std::exception& error) {
    problem = std::string("cannot be checked: ") + error.what();
  }
  log("settings: folder " + folder.string() + " " + problem + "; settings are kept in memory only");
  return true;
}

}  // namespace

std::filesystem::path JsonFileSettings::defaultLocation() {
  return platform::system::settingsDirectory() / "settings.json";
}

JsonFileSettings::JsonFileSettings(std::filesystem::path url, LogSink log)
    : url_(std::move(url)), log_(std::move(log)), values_(json::Object{}) {
  if (!log_) log_ = ParletLog::sink();
  if ((foreignFolder_ = foreignFolder(url_.parent_path(), log_))) return;
  if (std::size_t removed = detail::removeStaleTemporaries(url_)) {
    log_("settings: removed " + std::to_string(removed) + " temporary files left by an interrupted write");
  }
  try {
    json::Value parsed = json::parse(detail::readWholeFile(url_, maxFileBytes));
    if (parsed.kind() != json::Value::Kind::object) throw json::DecodingError(json::DecodingError::Kind::typeMismatch, "not an object");
    // What cannot be written back (1e400 reads as infinity) would make every later save fail.
    json::write(parsed);
    values_ = std::move(parsed);
  } catch (const std::system_error& error) {
    if (error.code() == std::errc::no_such_file_or_directory) return;
    unreadableFile_ = true;
    log_("settings: cannot read " + url_.string() + ": " + error.what());
  } catch (const std::exception& error) {
    unreadableFile_ = true;
    log_("settings: cannot decode " + url_.string() + ": " + error.what());
  }
}

std::optional<json::Value> JsonFileSettings::value(const std::string& key) const {
  if (const json::Value* found = values_.find(key)) return *found;
  return std::nullopt;
}

void JsonFileSettings::setValue(const std::string& key, json::Value value) {
  json::Value values = values_;
  values.set(key, std::move(value));
  std::string text;
  try {
    text = json::write(values, {.pretty = true, .sortedKeys = true});
  } catch (const std::exception& error) {
    // Kept out, so that the settings stay writable.
    log_("settings: " + key + " has no JSON form and is not stored: " + error.what());
    return;
  }
  values_ = std::move(values);
  if (foreignFolder_) return;
  // A file the reader would refuse, and set aside at the next start, must never be written: the
  // file keeps its earlier settings and the change lasts for this run only.
  if (text.size() > maxFileBytes) {
    log_("settings: " + key + " is not saved: the settings would take " + std::to_string(text.size()) +
         " bytes, more than the 4 MiB a settings file may hold; " + url_.string() + " keeps its earlier settings");
    return;
  }
  try {
    std::filesystem::create_directories(url_.parent_path());
    if ((foreignFolder_ = foreignFolder(url_.parent_path(), log_))) return;
    if (unreadableFile_) {
      if (auto aside = detail::setAsideUnreadable(url_)) {
        log_("settings: set aside unreadable " + url_.string() + " as " + aside->string());
      }
      unreadableFile_ = false;
    }
    detail::writeFileAtomically(url_, text);
  } catch (const std::exception& error) {
    log_(std::string("settings: write failed: ") + error.what());
  }
}

}  // namespace parlet
