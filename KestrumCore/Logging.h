// The process-wide logger of the core library and the speech engine.
// `Logging::debug/info/error(items...)` test the level first, then render the items as print would
// ("1", "a", "2.5", "1.0", "true") joined by " " (or by a leading `Logging::Separator{","}`) and
// hand the line to the callback when one is set, else to the system log (category "Kestrum").
// Level and callback may be changed from any thread at any time; the callback runs on the logging
// thread and may be called from several threads at once. Never throws.
//   Logging::shared().setLogLevel(Logging::LogLevel::info);  Logging::info("Loaded", count, "models");
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "KestrumCore/Describe.h"
#include "platform/System/SystemLog.h"

namespace kestrum {

class Logging {
 public:
  // Severity order is declaration order; nothing is emitted at `none`.
  enum class LogLevel : int { debug = 1, info = 2, error = 3, none = 4 };
  // The level with this raw value; nothing outside 1...4.
  static std::optional<LogLevel> logLevel(int rawValue);

  using LogType = platform::system::LogType;
  using Callback = std::function<void(const std::string&)>;

  // Replaces the " " between items when passed as the first argument.
  struct Separator {
    std::string_view text;
  };

  static Logging& shared();

  LogLevel logLevel() const { return logLevel_.load(std::memory_order_relaxed); }
  void setLogLevel(LogLevel level) { logLevel_.store(level, std::memory_order_relaxed); }

  // An empty function removes the callback; lines then go to the system log.
  Callback loggingCallback() const;
  void setLoggingCallback(Callback callback);

  // Joins the rendered items with `separator` and delivers the line. No level test.
  void log(const std::vector<std::string>& items, std::string_view separator, LogType type);

  template <class... Items>
  static void debug(const Items&... items) {
    if (shared().logLevel() <= LogLevel::debug) emit(LogType::debug, items...);
  }
  template <class... Items>
  static void info(const Items&... items) {
    if (shared().logLevel() <= LogLevel::info) emit(LogType::info, items...);
  }
  template <class... Items>
  static void error(const Items&... items) {
    if (shared().logLevel() <= LogLevel::error) emit(LogType::error, items...);
  }

  // One row of the timings report: time in seconds, runs, full duration in milliseconds.
  //   formatTimeWithPercentage(0.5, 4, 1000) == "  500.00 ms /      4 runs (  125.00 ms/run) 50.00%"
  static std::string formatTimeWithPercentage(double time, double runs, double fullDuration);

  // Resident memory of the process in whole MiB; 0 when unknown.
  static std::uint64_t getMemoryUsage();
  // At level debug only: "<message> - Memory usage: <MiB> MB".
  static void logCurrentMemoryUsage(std::string_view message);

 private:
  Logging();

  template <class First, class... Rest>
  static void emit(LogType type, const First& first, const Rest&... rest) {
    if constexpr (std::is_same_v<First, Separator>) {
      shared().log({describe(rest)...}, first.text, type);
    } else {
      shared().log({describe(first), describe(rest)...}, " ", type);
    }
  }
  static void emit(LogType type) { shared().log({}, " ", type); }

  std::atomic<LogLevel> logLevel_{LogLevel::none};
  mutable std::mutex callbackMutex_;
  std::shared_ptr<const Callback> callback_;
  platform::system::SystemLog logger_;
};

std::uint64_t getMemoryUsage();
void logCurrentMemoryUsage(std::string_view message);

}  // namespace kestrum
