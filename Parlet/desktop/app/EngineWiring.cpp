#include "Parlet/desktop/app/EngineWiring.h"

#include <stdexcept>

namespace parlet::app {

SpeechEngineFactory applicationEngineFactory(std::function<void(const hub::Progress&)> downloadProgress,
                                             std::function<void()> downloadEnded) {
  (void)downloadProgress;
  return [downloadEnded](const EngineOptions&) -> std::shared_ptr<SpeechEngine> {
    if (downloadEnded) downloadEnded();
    throw std::runtime_error("this build of Parlet has no speech engine yet");
  };
}

}  // namespace parlet::app
