// The library logger with the engine's signpost channels: `Logging::AudioEncoding`,
// `Logging::FeatureExtractor` and `Logging::TranscribeTask`, each a system-log channel and a
// signposter on it, created once on first use (thread-safe). beginSignpost/endSignpost bracket an
// interval; with tracing off they only make an id and a state.
//   auto state = Logging::beginSignpost("EncodeAudio", Logging::AudioEncoding::signposter());
//   Logging::endSignpost("EncodeAudio", state, Logging::AudioEncoding::signposter());
#pragma once

#include <string_view>

#include "KestrumCore/Logging.h"
#include "platform/System/Signposter.h"
#include "platform/System/SystemLog.h"

namespace murmel {

// kestrum::Logging's entry points plus the engine's channels; never instantiated.
struct Logging : kestrum::Logging {
  Logging() = delete;

  static constexpr std::string_view subsystem = "org.parlet.murmel";

  struct AudioEncoding {
    static const platform::system::SystemLog& logger();
    static const platform::system::Signposter& signposter();
  };
  struct FeatureExtractor {
    static const platform::system::SystemLog& logger();
    static const platform::system::Signposter& signposter();
  };
  struct TranscribeTask {
    static const platform::system::SystemLog& logger();
    static const platform::system::Signposter& signposter();
  };

  static platform::system::Signposter::IntervalState beginSignpost(std::string_view name,
                                                                    const platform::system::Signposter& signposter);
  static void endSignpost(std::string_view name, const platform::system::Signposter::IntervalState& interval,
                          const platform::system::Signposter& signposter);
};

}  // namespace murmel
