// The trigger-key watcher, the paste chord and the Accessibility check of the chosen backend
// (BackendChoice.h), made together for the application. On X11 the watcher and chord exist only when
// the display is trusted at start; on evdev the watcher always exists (it picks up keyboards once they
// can be read) and the virtual keyboard is made now if /dev/uinput allows, else at the first chord.
// A part that cannot be made is left out and logged. GUI thread; never throws.
//   auto input = makeInputServices(post, log);  log(input.choice.logLine());
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/Desktop/AccessibilityTrust.h"
#include "platform/Desktop/BackendChoice.h"
#include "platform/Desktop/KeyEvents.h"
#include "platform/Desktop/PasteSeams.h"

namespace platform::desktop {

struct InputServices {
  BackendChoice choice;
  std::unique_ptr<KeyEventMonitoring> keys;  // none: the trigger key is not watched
  std::shared_ptr<PasteKeys> pasteKeys;      // none: no paste chord
  std::function<AccessibilityStatus()> accessibility;
  // "Grant Accessibility…": the steps window on evdev; none on X11, whose reason says what to do.
  std::function<void()> showGrantSteps;
};

InputServices makeInputServices(PostToMain postToMain, std::function<void(const std::string&)> log);

}  // namespace platform::desktop
