// The speech engine the application runs on, chosen in this one place. Download progress of the
// first start goes to `downloadProgress` (from the loading thread); `downloadEnded` runs when a
// creation returns or fails.
#pragma once

#include <functional>

#include "Hub/Progress.h"
#include "Parlet/core/SpeechEngine.h"

namespace parlet::app {

SpeechEngineFactory applicationEngineFactory(std::function<void(const hub::Progress&)> downloadProgress,
                                             std::function<void()> downloadEnded);

}  // namespace parlet::app
