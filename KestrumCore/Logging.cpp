#include "KestrumCore/Logging.h"

#include <cmath>
#include <cstdio>
#include <utility>

#include "platform/System/NumberText.h"
#include "platform/System/SystemInfo.h"

namespace kestrum {
namespace {

constexpr const char* subsystemIdentifier = "org.parlet.kestrum";

}  // namespace

std::string describeDouble(double value) { return platform::system::shortestText(value); }
std::string describeFloat(float value) { return platform::system::shortestText(value); }

Logging::Logging() : logger_(subsystemIdentifier, "Kestrum") {}

Logging& Logging::shared() {
  // Never destroyed: detached jobs may still log while static objects go away at exit.
  static Logging* instance = new Logging();
  return *instance;
}

std::optional<Logging::LogLevel> Logging::logLevel(int rawValue) {
  if (rawValue < 1 || rawValue > 4) return std::nullopt;
  return static_cast<LogLevel>(rawValue);
}

Logging::Callback Logging::loggingCallback() const {
  std::lock_guard<std::mutex> hold(callbackMutex_);
  return callback_ ? *callback_ : Callback();
}

void Logging::setLoggingCallback(Callback callback) {
  auto replacement = callback ? std::make_shared<const Callback>(std::move(callback)) : nullptr;
  std::shared_ptr<const Callback> previous;
  {
    std::lock_guard<std::mutex> hold(callbackMutex_);
    previous = std::exchange(callback_, std::move(replacement));
  }
  // `previous` is released here, outside the lock (or by the last line still using it).
}

void Logging::log(const std::vector<std::string>& items, std::string_view separator, LogType type) {
  std::string line;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) line += separator;
    line += items[i];
  }
  std::shared_ptr<const Callback> callback;
  {
    std::lock_guard<std::mutex> hold(callbackMutex_);
    callback = callback_;
  }
  if (callback) {
    try {
      (*callback)(line);
    } catch (...) {
      // Logging never fails; a throwing callback loses only its own line.
    }
    return;
  }
  logger_.write(type, line);
}

std::string Logging::formatTimeWithPercentage(double time, double runs, double fullDuration) {
  double ms = time * 1000;
  double perRun = runs > 0 ? ms / runs : 0;
  double percent = ms / fullDuration * 100;
  // glibc prints the sign of a NaN ("-nan" for 0/0); the report always reads "nan".
  if (std::isnan(percent)) percent = std::fabs(percent);
  char buffer[160];
  std::snprintf(buffer, sizeof buffer, "%8.2f ms / %6.0f runs (%8.2f ms/run) %5.2f%%", ms, runs, perRun, percent);
  return buffer;
}

std::uint64_t Logging::getMemoryUsage() { return platform::system::residentMemoryBytes() >> 20; }

void Logging::logCurrentMemoryUsage(std::string_view message) {
  std::uint64_t usage = getMemoryUsage();
  if (shared().logLevel() == LogLevel::debug) {
    debug(std::string(message) + " - Memory usage: " + std::to_string(usage) + " MB");
  }
}

std::uint64_t getMemoryUsage() { return Logging::getMemoryUsage(); }
void logCurrentMemoryUsage(std::string_view message) { Logging::logCurrentMemoryUsage(message); }

}  // namespace kestrum
