// Accessibility trust for the evdev backend: trusted when at least one keyboard among the kernel's
// input devices can be read and /dev/uinput can be opened for writing. Otherwise the reason says what
// is missing and points to "Grant Accessibility…", whose steps `grantAccessSteps` gives: membership of
// the input group, a udev rule that gives the group /dev/uinput (with the module loaded at boot), and a
// new login. The status is pure over an InputAccess; the probe opens and closes device nodes. Thread-
// safe; never throws.
//   if (auto status = evdevAccessibilityStatus(); !status.trusted) log(status.reason);
#pragma once

#include <string>

#include "platform/Desktop/AccessibilityTrust.h"

namespace platform::desktop {

struct InputAccess {
  bool keyboardReadable = false;   // some keyboard in /dev/input opens for reading
  bool uinputPresent = false;      // /dev/uinput exists
  bool uinputWritable = false;     // /dev/uinput opens for writing
  bool inputGroupListed = false;   // the user is a member of "input" in the group database
  bool inputGroupActive = false;   // this process has the input group (a login since the membership)
};

AccessibilityStatus evdevAccessibilityStatus(const InputAccess& access);
InputAccess probeInputAccess();
AccessibilityStatus evdevAccessibilityStatus();

// The one-time steps, as shell commands with their explanation, for the user `user`.
std::string grantAccessSteps(const std::string& user);
// The login name of this process's user ("$USER" when unknown).
std::string currentUserName();

}  // namespace platform::desktop
