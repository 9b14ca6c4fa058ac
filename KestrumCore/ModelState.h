// The lifecycle state of a set of compiled models. Cases pair up as an activity (even ordinal)
// and its finished state (the next odd one); `isBusy` is true exactly for the activities.
// description(ModelState::prewarmed) == "Specialized". A plain value.
#pragma once

#include <string>

namespace kestrum {

enum class ModelState {
  unloading = 0,
  unloaded = 1,
  loading = 2,
  loaded = 3,
  prewarming = 4,
  prewarmed = 5,
  downloading = 6,
  downloaded = 7,
};

// "Unloading", "Unloaded", "Loading", "Loaded", "Specializing", "Specialized", "Downloading", "Downloaded".
std::string description(ModelState state);

// True while an operation is in progress: unloading, loading, prewarming, downloading.
constexpr bool isBusy(ModelState state) { return (static_cast<int>(state) % 2) == 0; }

}  // namespace kestrum
