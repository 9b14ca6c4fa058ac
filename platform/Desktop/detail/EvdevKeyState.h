// The key state behind the evdev trigger-key monitor: kernel key events of several keyboards in,
// the desktop's key events out (platform/Desktop/KeyEvents.h codes, the same ones the X11 watcher gives).
// A modifier key counts as down while any keyboard holds it; its flag changes are reported when that
// changes. Other keys go down as key downs, kOtherKeyCode where they have no desktop code; mouse
// buttons and wheel turns go down as kPointerCode (joystick and pen buttons are nothing). Auto-repeat is
// ignored. A keyboard that goes away releases what it held. Not thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "platform/Desktop/KeyEvents.h"

namespace platform::desktop::detail {

struct DesktopKey {
  std::uint16_t code = 0;
  std::uint64_t flag = 0;  // the modifier bit, 0 for other keys
};

// The desktop key at a kernel key code (KEY_RIGHTALT -> 61, option); none for keys without one.
std::optional<DesktopKey> desktopKeyForEvdevCode(unsigned code);

struct KeyDelivery {
  std::uint64_t mask = 0;  // EventMask::flagsChanged or EventMask::keyDown
  KeyEvent event;
};

class EvdevKeyState {
 public:
  using Device = int;

  // Keys the device already holds when it is first seen (no events for them).
  void addDevice(Device device, const std::vector<unsigned>& heldCodes);
  // One kernel event of `device` (type, code, value as in struct input_event).
  std::vector<KeyDelivery> handle(Device device, unsigned type, unsigned code, int value);
  // The device is gone: releases of the modifier keys only it held.
  std::vector<KeyDelivery> removeDevice(Device device);

  std::uint64_t flags() const;

 private:
  std::vector<KeyDelivery> setHeld(Device device, unsigned code, bool down);
  std::map<unsigned, std::set<Device>> holders_;  // modifier key code -> devices holding it
};

}  // namespace platform::desktop::detail
