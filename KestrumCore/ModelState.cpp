#include "KestrumCore/ModelState.h"

namespace kestrum {

std::string description(ModelState state) {
  switch (state) {
    case ModelState::unloading: return "Unloading";
    case ModelState::unloaded: return "Unloaded";
    case ModelState::loading: return "Loading";
    case ModelState::loaded: return "Loaded";
    case ModelState::prewarming: return "Specializing";
    case ModelState::prewarmed: return "Specialized";
    case ModelState::downloading: return "Downloading";
    case ModelState::downloaded: return "Downloaded";
  }
  return "Unknown";
}

}  // namespace kestrum
