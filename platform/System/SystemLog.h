// The system log: lines go to syslog(3) with the priority of their type, prefixed with the
// category in brackets ("[Kestrum] Loading models"). Never throws; thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace platform::system {

enum class LogType { debug, info, defaultType, error, fault };

class SystemLog {
 public:
  SystemLog(std::string subsystem, std::string category);

  void write(LogType type, std::string_view message) const;

  const std::string& subsystem() const { return subsystem_; }
  const std::string& category() const { return category_; }

 private:
  std::string subsystem_;
  std::string category_;
};

}  // namespace platform::system
