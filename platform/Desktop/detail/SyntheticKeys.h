// Key events this process types itself (the paste chord), so that the trigger-key monitor does not take
// them for the user's: with Left Ctrl as the trigger key, the chord's Ctrl would otherwise start a
// dictation. The monitor drops each raw event from a typing (XTEST) device that matches the oldest one
// still expected, so one monitor per process sees the chord left out. Main thread only.
#pragma once

#include <vector>

namespace platform::desktop::detail {

struct SyntheticKey {
  unsigned keycode;  // X keycode
  bool press;        // press or release
};

// A monitor starts (true) or stops (false) taking announced events; without one nothing is announced.
void listenForSyntheticKeys(bool listen);
// Announces events about to be typed, in order; each is expected for half a second.
void expectSyntheticKeys(const std::vector<SyntheticKey>& keys);
// Whether this raw event is the oldest announced one (it is then no longer expected).
bool takeSyntheticKey(unsigned keycode, bool press);

}  // namespace platform::desktop::detail
