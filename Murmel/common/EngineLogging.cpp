#include "Murmel/common/EngineLogging.h"

#include <string>

namespace murmel {

using platform::system::Signposter;
using platform::system::SystemLog;

#define MURMEL_CHANNEL(Group)                                                                  \
  const SystemLog& Logging::Group::logger() {                                                  \
    static const SystemLog log{std::string(Logging::subsystem), #Group};                       \
    return log;                                                                                \
  }                                                                                            \
  const Signposter& Logging::Group::signposter() {                                             \
    static const Signposter poster{logger().subsystem(), logger().category()};                 \
    return poster;                                                                             \
  }

MURMEL_CHANNEL(AudioEncoding)
MURMEL_CHANNEL(FeatureExtractor)
MURMEL_CHANNEL(TranscribeTask)

#undef MURMEL_CHANNEL

Signposter::IntervalState Logging::beginSignpost(std::string_view name, const Signposter& signposter) {
  return signposter.beginInterval(name);
}

void Logging::endSignpost(std::string_view name, const Signposter::IntervalState& interval,
                          const Signposter& signposter) {
  signposter.endInterval(name, interval);
}

}  // namespace murmel
