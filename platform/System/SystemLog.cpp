#include "platform/System/SystemLog.h"

#include <syslog.h>

namespace platform::system {

SystemLog::SystemLog(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

void SystemLog::write(LogType type, std::string_view message) const {
  int priority = LOG_NOTICE;
  switch (type) {
    case LogType::debug: priority = LOG_DEBUG; break;
    case LogType::info: priority = LOG_INFO; break;
    case LogType::defaultType: priority = LOG_NOTICE; break;
    case LogType::error: priority = LOG_ERR; break;
    case LogType::fault: priority = LOG_CRIT; break;
  }
  // The message is always an argument, never the format.
  syslog(LOG_USER | priority, "[%s] %.*s", category_.c_str(), static_cast<int>(message.size()), message.data());
}

}  // namespace platform::system
