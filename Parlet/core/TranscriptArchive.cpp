#include "Parlet/core/TranscriptArchive.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <system_error>

#include "Parlet/core/detail/Files.h"
#include "Parlet/core/detail/Text.h"
#include "platform/System/Folders.h"
#include "platform/System/Json.h"

namespace parlet {
namespace json = platform::json;
namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's days_from_civil).
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);
}

bool isLeap(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned daysInMonth(std::int64_t y, unsigned m) {
  static constexpr unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && isLeap(y) ? 29 : days[m - 1];
}

// 2024-03-05T14:07:09Z (fractions of a second dropped, rounding down).
std::string internetDateTime(TranscriptArchive::Clock::time_point date) {
  std::int64_t seconds = std::chrono::floor<std::chrono::seconds>(date.time_since_epoch()).count();
  std::int64_t days = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
  std::int64_t secondOfDay = seconds - days * 86400;
  std::int64_t y;
  unsigned m, d;
  civilFromDays(days, y, m, d);
  char text[48];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02d:%02d:%02dZ", static_cast<long long>(y), m, d,
                static_cast<int>(secondOfDay / 3600), static_cast<int>(secondOfDay / 60 % 60),
                static_cast<int>(secondOfDay % 60));
  return text;
}

bool digits(std::string_view text, std::size_t at, std::size_t count, int& value) {
  if (at + count > text.size()) return false;
  value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

// Reads YYYY-MM-DDTHH:MM:SS followed by Z or +HH:MM / -HH:MM; fractional seconds are refused.
TranscriptArchive::Clock::time_point parseInternetDateTime(const std::string& text) {
  auto bad = [&] {
    return json::DecodingError(json::DecodingError::Kind::dataCorrupted,
                               "Expected date string to be ISO8601-formatted: " + text);
  };
  int year, month, day, hour, minute, second;
  if (text.size() < 20 || !digits(text, 0, 4, year) || text[4] != '-' || !digits(text, 5, 2, month) ||
      text[7] != '-' || !digits(text, 8, 2, day) || text[10] != 'T' || !digits(text, 11, 2, hour) ||
      text[13] != ':' || !digits(text, 14, 2, minute) || text[16] != ':' || !digits(text, 17, 2, second))
    throw bad();
  if (month < 1 || month > 12 || day < 1 || static_cast<unsigned>(day) > daysInMonth(year, month) || hour > 23 ||
      minute > 59 || second > 59)
    throw bad();
  int offsetSeconds = 0;
  std::string_view zone = std::string_view(text).substr(19);
  if (zone == "Z") {
  } else if (zone.size() == 6 && (zone[0] == '+' || zone[0] == '-') && zone[3] == ':') {
    int oh, om;
    if (!digits(zone, 1, 2, oh) || !digits(zone, 4, 2, om) || oh > 23 || om > 59) throw bad();
    offsetSeconds = (oh * 3600 + om * 60) * (zone[0] == '+' ? 1 : -1);
  } else {
    throw bad();
  }
  std::int64_t seconds = daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
                         hour * 3600 + minute * 60 + second - offsetSeconds;
  // The clock counts nanoseconds in 64 bits (years 1678 to 2261); a date beyond would overflow.
  constexpr std::int64_t limit =
      std::chrono::duration_cast<std::chrono::seconds>(TranscriptArchive::Clock::duration::max()).count();
  if (seconds >= limit || seconds <= -limit) throw bad();
  return TranscriptArchive::Clock::time_point(std::chrono::seconds(seconds));
}

const std::string& stringMember(const json::Value& object, std::string_view key) {
  return object.at(key).asString();
}

}  // namespace

std::filesystem::path TranscriptArchive::defaultLocation(const LogSink& log) {
  const LogSink& say = log ? log : ParletLog::sink();
  auto folderIn = [](const std::filesystem::path& base) {
    std::filesystem::path folder = base / "Parlet";
    std::filesystem::create_directories(folder);
    return folder;
  };
  try {
    return platform::system::applicationDataDirectory() / "transcripts.json";
  } catch (const std::exception& error) {
    say(std::string("archive: cannot make its folder: ") + error.what());
  }
  // Never a folder that other users can reach: the private folder, else nowhere.
  try {
    std::filesystem::path folder = folderIn(platform::system::privateTemporaryDirectory());
    say("archive: keeping transcripts in " + folder.string() + " instead");
    return folder / "transcripts.json";
  } catch (const std::exception& error) {
    say(std::string("archive: cannot make a folder in the private temporary folder either: ") + error.what() +
        "; keeping transcripts in memory only");
  }
  return {};
}

TranscriptArchive& TranscriptArchive::shared() {
  static TranscriptArchive archive(defaultLocation());
  return archive;
}

TranscriptArchive::TranscriptArchive(std::filesystem::path url, Options options)
    : url_(std::move(url)), options_(std::move(options)) {
  if (!options_.now) options_.now = [] { return Clock::now(); };
  if (!options_.makeId) options_.makeId = [] { return UUID(); };
  if (!options_.log) options_.log = ParletLog::sink();
  load();
}

std::string TranscriptArchive::encode(const std::vector<Entry>& entries) {
  json::Array array;
  array.reserve(entries.size());
  for (const Entry& entry : entries) {
    array.emplace_back(json::Object{{"date", json::Value(internetDateTime(entry.date))},
                                    {"id", json::Value(entry.id.uuidString())},
                                    {"text", json::Value(entry.text)}});
  }
  return json::write(json::Value(std::move(array)), {.pretty = true, .sortedKeys = true, .escapeSlashes = true});
}

std::vector<TranscriptArchive::Entry> TranscriptArchive::decode(std::string_view text) {
  json::Value root = json::parse(text);
  std::vector<Entry> entries;
  for (const json::Value& item : root.asArray()) {
    if (item.kind() != json::Value::Kind::object)
      throw json::DecodingError(json::DecodingError::Kind::typeMismatch, "Expected an entry object");
    Entry entry;
    auto id = UUID::parse(stringMember(item, "id"));
    if (!id)
      throw json::DecodingError(json::DecodingError::Kind::dataCorrupted,
                                "Attempted to decode UUID from invalid UUID string.");
    entry.id = *id;
    entry.date = parseInternetDateTime(stringMember(item, "date"));
    entry.text = stringMember(item, "text");
    if (entry.text.size() > maxEntryBytes)
      throw json::DecodingError(json::DecodingError::Kind::dataCorrupted,
                                "An entry's text holds " + std::to_string(entry.text.size()) + " bytes, more than the " +
                                    std::to_string(maxEntryBytes >> 10) + " KiB an entry may hold");
    entries.push_back(std::move(entry));
  }
  return entries;
}

void TranscriptArchive::load() {
  if (url_.empty()) return;
  if (std::size_t removed = detail::removeStaleTemporaries(url_)) {
    options_.log("archive: removed " + std::to_string(removed) + " temporary files left by an interrupted write");
  }
  std::string bytes;
  try {
    bytes = detail::readWholeFile(url_, maxFileBytes);
  } catch (const std::system_error& error) {
    if (error.code() == std::errc::no_such_file_or_directory) return;  // first run
    unreadableFile_ = true;
    options_.log("archive: cannot read " + url_.string() + ": " + error.what() +
                 "; it will be set aside before the next write");
    return;
  }
  try {
    entries_ = decode(bytes);
  } catch (const std::exception& error) {
    entries_.clear();
    unreadableFile_ = true;
    options_.log("archive: cannot decode " + url_.string() + ": " + error.what() +
                 "; it will be set aside before the next write");
  }
}

bool TranscriptArchive::setAsideUnreadableFile() {
  try {
    if (auto target = detail::setAsideUnreadable(url_)) {
      options_.log("archive: set aside unreadable " + url_.string() + " as " + target->string());
    }
  } catch (const std::exception& error) {
    options_.log(std::string("archive: ") + error.what() + "; not writing");
    return false;
  }
  unreadableFile_ = false;
  return true;
}

void TranscriptArchive::persist() {
  if (url_.empty()) return;  // in memory only
  std::string bytes;
  try {
    bytes = encode(entries_);
  } catch (const std::exception& error) {
    options_.log(std::string("archive: encoding failed: ") + error.what());
    return;
  }
  if (unreadableFile_ && !setAsideUnreadableFile()) return;
  try {
    detail::writeFileAtomically(url_, bytes);
  } catch (const std::exception& error) {
    options_.log(std::string("archive: write failed: ") + error.what());
  }
}

void TranscriptArchive::willChange() {
  // A copy, so that an observer may add or remove observers.
  auto observers = observers_;
  for (auto& [id, callback] : observers) callback();
}

TranscriptArchive::ObserverId TranscriptArchive::observe(std::function<void()> callback) {
  observers_.emplace_back(++lastObserver_, std::move(callback));
  return lastObserver_;
}

void TranscriptArchive::removeObserver(ObserverId id) {
  std::erase_if(observers_, [&](const auto& observer) { return observer.first == id; });
}

void TranscriptArchive::add(std::string_view text) {
  std::string trimmed = detail::trimmingWhitespaceAndNewlines(text);
  if (trimmed.empty()) return;
  if (trimmed.size() > maxEntryBytes) {
    options_.log("archive: a transcript of " + std::to_string(trimmed.size()) + " bytes is more than the " +
                 std::to_string(maxEntryBytes >> 10) + " KiB an entry may hold; it is not archived");
    return;
  }
  willChange();
  entries_.insert(entries_.begin(), Entry{options_.makeId(), options_.now(), std::move(trimmed)});
  if (entries_.size() > maxEntries) entries_.resize(maxEntries);
  persist();
}

void TranscriptArchive::remove(const std::unordered_set<UUID>& ids) {
  if (ids.empty()) return;
  auto matches = [&](const Entry& entry) { return ids.count(entry.id) != 0; };
  if (std::none_of(entries_.begin(), entries_.end(), matches)) return;
  willChange();
  std::erase_if(entries_, matches);
  persist();
}

void TranscriptArchive::remove(const Entry& entry) {
  willChange();
  UUID id = entry.id;  // `entry` may be an element of entries_
  std::erase_if(entries_, [&](const Entry& e) { return e.id == id; });
  persist();
}

void TranscriptArchive::clear() {
  willChange();
  entries_.clear();
  persist();
}

}  // namespace parlet
