// The speech engine the application runs on, chosen in this one place. The model is brought into
// the cache first, where its download can be watched: progress goes to `downloadProgress` (from
// the loading thread, units are bytes) and `downloadEnded` runs when a creation returns or fails.
// The engine then loads the cached folder without asking the repository again. With
// HF_HUB_OFFLINE set (hubOfflineRequested()) no request is made: the cached model is used, and
// its absence is an error saying so. The engine's log lines go to the application's log
// (ParletLog) at the options' level.
#pragma once

#include <functional>

#include "KestrumCore/Progress.h"
#include "Parlet/core/SpeechEngine.h"

namespace parlet::app {

SpeechEngineFactory applicationEngineFactory(std::function<void(const kestrum::Progress&)> downloadProgress,
                                             std::function<void()> downloadEnded);

// HF_HUB_OFFLINE is "1", "true", "yes" or "on" (any case).
bool hubOfflineRequested();

}  // namespace parlet::app
