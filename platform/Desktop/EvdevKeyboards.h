// Keyboards among the kernel's input devices, as the evdev trigger-key monitor reads them: a device is
// one open event node, a source finds the keyboards present and tells when keyboards come or go. The
// real source scans /dev/input/event* with libevdev (devices with key events that report the letter
// keys or one of the selectable trigger keys, and pointing devices with a left button or a wheel, whose
// clicks make chords with the trigger key), opens them read-only and never grabs them, and hears of
// hot-plugging from udev. Devices and sources are used from one thread at a time; nothing throws.
//   auto source = makeUdevKeyboardSource("Parlet virtual keyboard");  auto keyboards = source->scan({});
#pragma once

#include <linux/input.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

namespace platform::desktop {

class KeyboardDevice {
 public:
  virtual ~KeyboardDevice() = default;
  virtual const std::string& path() const = 0;
  // A descriptor that becomes readable when events are waiting or the device is gone.
  virtual int fd() const = 0;
  // Kernel key codes held down when the device was opened.
  virtual std::vector<unsigned> heldKeys() const = 0;
  // Appends the events ready now without blocking; false once the device is gone.
  virtual bool readEvents(std::vector<input_event>& events) = 0;
};

class KeyboardSource {
 public:
  struct Changes {
    std::vector<std::unique_ptr<KeyboardDevice>> added;
    std::vector<std::string> removed;  // paths
  };

  virtual ~KeyboardSource() = default;
  // The keyboards that can be opened now, leaving out the paths in `open`.
  virtual std::vector<std::unique_ptr<KeyboardDevice>> scan(const std::set<std::string>& open) = 0;
  // A descriptor that becomes readable when keyboards come or go; -1 when none is heard of.
  virtual int changesFd() const = 0;
  // What came or went since the last call (after `changesFd` became readable).
  virtual Changes readChanges(const std::set<std::string>& open) = 0;
};

// The kernel's keyboards; a device named `ignoredName` (our own virtual keyboard) is left out.
std::unique_ptr<KeyboardSource> makeUdevKeyboardSource(std::string ignoredName);

// The event nodes under /dev/input (event0, event1, ...), sorted.
std::vector<std::string> inputEventNodes();
// Whether the node at `path` can be opened for reading and is a keyboard by the rule above (a pointing
// device alone is not).
bool isReadableKeyboard(const std::string& path);

}  // namespace platform::desktop
