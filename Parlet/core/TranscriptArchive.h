// The archive of past dictations: a list of entries, newest first, kept in "transcripts.json"
// (pretty-printed JSON array, sorted keys, whole-second UTC dates, upper-case ids), rewritten
// atomically on every change. `add` keeps the newest 200. A file that exists but cannot be read or
// decoded is set aside under another name before the first write replaces it; that and any failed
// write are logged, never thrown. Main thread only (no lock); observers hear of a change just
// before it takes effect.
//   TranscriptArchive::shared().add(" Hello \n");   // entries().front().text == "Hello"
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "Parlet/core/ParletLog.h"
#include "platform/System/Uuid.h"

namespace parlet {

class TranscriptArchive {
 public:
  using Clock = std::chrono::system_clock;
  using UUID = platform::system::UUID;

  struct Entry {
    UUID id;
    Clock::time_point date;
    std::string text;  // trimmed of white space and line breaks
    friend bool operator==(const Entry&, const Entry&) = default;
  };

  struct Options {
    std::function<Clock::time_point()> now;  // default: the system clock
    std::function<UUID()> makeId;            // default: a random UUID
    LogSink log;                             // default: ParletLog
  };

  using ObserverId = std::uint64_t;

  static constexpr std::size_t maxEntries = 200;
  // An entry's text holds at most this many bytes (hours of speech hold far less): a longer
  // transcript is not archived (logged), and a file holding one is unreadable. A file over
  // maxFileBytes is unreadable unread. An unreadable file is set aside before the next write.
  static constexpr std::size_t maxEntryBytes = 256u << 10;
  static constexpr std::uintmax_t maxFileBytes = 128u << 20;

  // The process-wide archive at `defaultLocation()`, created on first use.
  static TranscriptArchive& shared();
  // <application support>/Parlet/transcripts.json (the folder is created); the private temporary
  // folder stands in when that folder cannot be made, and when neither can, the result is empty.
  // Each failure goes to `log` (default: ParletLog).
  static std::filesystem::path defaultLocation(const LogSink& log = {});

  // Reads the archive at `url` once, after removing temporaries that interrupted writes left beside
  // it. Never throws for a missing or bad file. An empty `url` keeps the archive in memory only.
  explicit TranscriptArchive(std::filesystem::path url, Options options = {});
  TranscriptArchive(const TranscriptArchive&) = delete;
  TranscriptArchive& operator=(const TranscriptArchive&) = delete;

  const std::vector<Entry>& entries() const { return entries_; }
  const std::filesystem::path& url() const { return url_; }

  void add(std::string_view text);
  // Writes only when something was removed.
  void remove(const std::unordered_set<UUID>& ids);
  // Removes every entry with `entry.id`; writes even when nothing matched.
  void remove(const Entry& entry);
  // Writes an empty array even when already empty.
  void clear();

  // `willChange` runs before each change of `entries`.
  ObserverId observe(std::function<void()> willChange);
  void removeObserver(ObserverId id);

  // The file's text for these entries. Throws platform::json::EncodingError.
  static std::string encode(const std::vector<Entry>& entries);
  // Entries of an archive file; throws platform::json::ParseError or DecodingError.
  static std::vector<Entry> decode(std::string_view text);

 private:
  void load();
  void persist();
  bool setAsideUnreadableFile();
  void willChange();

  std::vector<Entry> entries_;
  std::filesystem::path url_;
  Options options_;
  bool unreadableFile_ = false;  // the file at url_ must be set aside before it is replaced
  std::vector<std::pair<ObserverId, std::function<void()>>> observers_;
  ObserverId lastObserver_ = 0;
};

}  // namespace parlet
