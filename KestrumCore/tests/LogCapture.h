// LogCapture: collects the shared logger's lines while it lives. It sets the level, installs a
// callback that appends to the capture's own list, and puts the previous callback and level back
// when it goes, also when a failed assertion or an exception leaves the test early. The list is
// shared with the callback, so a line still being delivered on another thread never reaches a
// released capture. Thread-safe.
//   LogCapture log(Logging::LogLevel::debug);  run();  EXPECT_EQ(log.lines(), expected);
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "KestrumCore/Logging.h"

namespace testsupport {

class LogCapture {
 public:
  explicit LogCapture(kestrum::Logging::LogLevel level = kestrum::Logging::LogLevel::debug)
      : previousLevel_(kestrum::Logging::shared().logLevel()),
        previousCallback_(kestrum::Logging::shared().loggingCallback()) {
    kestrum::Logging::shared().setLogLevel(level);
    kestrum::Logging::shared().setLoggingCallback([lines = lines_](const std::string& line) {
      std::lock_guard<std::mutex> hold(lines->mutex);
      lines->all.push_back(line);
    });
  }
  ~LogCapture() {
    kestrum::Logging::shared().setLoggingCallback(previousCallback_);
    kestrum::Logging::shared().setLogLevel(previousLevel_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Every line so far, in delivery order.
  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> hold(lines_->mutex);
    return lines_->all;
  }
  // The lines that contain `text`.
  std::vector<std::string> containing(std::string_view text) const {
    std::vector<std::string> found;
    for (auto& line : lines())
      if (line.find(text) != std::string::npos) found.push_back(std::move(line));
    return found;
  }
  void clear() {
    std::lock_guard<std::mutex> hold(lines_->mutex);
    lines_->all.clear();
  }

 private:
  struct Lines {
    std::mutex mutex;
    std::vector<std::string> all;
  };
  std::shared_ptr<Lines> lines_ = std::make_shared<Lines>();
  kestrum::Logging::LogLevel previousLevel_;
  kestrum::Logging::Callback previousCallback_;
};

}  // namespace testsupport
