// The application's own diagnostic log. Every line "[HH:mm:ss.SSS] message" (local time, taken at
// the call) goes to standard error at once on the caller's thread and, in call order, to the log
// file on a writer thread. The first line of a process starts the file afresh with a header. The
// file is always one we created and keep open; when it is deleted, the next line makes it anew, but
// only in a folder of ours that no one else can write to. File errors are swallowed: `write` never
// throws and never waits for the file. A URL in a line loses its user information and query
// (platform::net::redactUrls). Thread-safe.
//   ParletLog::write("transcribe begin");   // [14:03:07.412] transcribe begin
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "KestrumCore/Logging.h"
#include "platform/System/Folders.h"

namespace parlet {

// Where the pipeline, the trigger key, the paster and the archive send their trace lines.
using LogSink = std::function<void(const std::string& message)>;

// One log file with its writer thread.
class LogFile {
 public:
  using Clock = std::chrono::system_clock;

  struct Options {
    std::function<Clock::time_point()> now;                   // default: the system clock
    std::function<void(std::string_view)> standardError;      // default: write(2) to descriptor 2
  };

  // An empty `url` logs to standard error only.
  explicit LogFile(std::filesystem::path url, Options options = {});
  // Writes the pending lines, then stops the writer thread.
  ~LogFile();
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  void write(std::string_view message);
  // Returns once every line written before the call has reached the file (or failed to).
  void flush();
  const std::filesystem::path& url() const { return url_; }

  // "[14:03:07.412] transcribe begin\n" for a message at that local time.
  static std::string line(Clock::time_point time, std::string_view message);
  // "===== Parlet launched 2026-03-05 14:03:07 +0000 =====\n" (UTC, whole seconds).
  static std::string header(Clock::time_point time);

 private:
  struct Pending {
    std::string line;
    Clock::time_point time;
  };
  void run();
  void fileStep(const Pending& pending);

  std::filesystem::path url_;
  Options options_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Pending> pending_;
  std::uint64_t submitted_ = 0;
  std::uint64_t done_ = 0;
  bool stopping_ = false;
  bool didStart_ = false;              // writer thread only
  platform::system::UniqueFd file_;    // writer thread only
  std::thread writer_;
};

// The process's log: "parlet.log" in the per-user private temporary folder. Notes of repairs and
// stand-ins of that folder are written as lines of their own before the next line.
struct ParletLog {
  static void write(std::string_view message);
  static LogFile& shared();
  // Empty when the private folder cannot be had (lines then go to standard error only).
  static std::filesystem::path url();
  // A sink that writes through `write`.
  static LogSink sink();
  // Sends the core library's and the speech engine's lines at `level` and above to `sink` (empty:
  // this log) as "engine: <line>", in place of the system log. Process-wide; the last call wins.
  static void adoptLibraryLines(kestrum::Logging::LogLevel level, LogSink sink = {});
};

}  // namespace parlet
