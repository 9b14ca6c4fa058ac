#include "platform/Desktop/detail/EvdevKeyState.h"

#include <linux/input-event-codes.h>

#include <utility>

namespace platform::desktop::detail {
namespace {

using ModifierFlag::command;
using ModifierFlag::control;
using ModifierFlag::option;
using ModifierFlag::shift;

// Kernel key codes are positional, like the desktop codes: KEY_V is the key right of C on the bottom
// letter row, code 9, whatever the layout puts there.
constexpr std::pair<unsigned, DesktopKey> kKeys[] = {
    {KEY_RIGHTALT, {61, option}},    {KEY_LEFTALT, {58, option}},   {KEY_RIGHTMETA, {54, command}},
    {KEY_LEFTMETA, {55, command}},   {KEY_RIGHTCTRL, {62, control}}, {KEY_LEFTCTRL, {59, control}},
    {KEY_RIGHTSHIFT, {60, shift}},   {KEY_LEFTSHIFT, {56, shift}},
    {KEY_ESC, {53, 0}},  {KEY_GRAVE, {50, 0}}, {KEY_BACKSLASH, {42, 0}}, {KEY_ENTER, {36, 0}}, {KEY_TAB, {48, 0}},
    {KEY_SPACE, {49, 0}}, {KEY_BACKSPACE, {51, 0}},
    {KEY_1, {18, 0}}, {KEY_2, {19, 0}}, {KEY_3, {20, 0}}, {KEY_4, {21, 0}}, {KEY_5, {23, 0}}, {KEY_6, {22, 0}},
    {KEY_7, {26, 0}}, {KEY_8, {28, 0}}, {KEY_9, {25, 0}}, {KEY_0, {29, 0}}, {KEY_MINUS, {27, 0}},
    {KEY_EQUAL, {24, 0}},
    {KEY_Q, {12, 0}}, {KEY_W, {13, 0}}, {KEY_E, {14, 0}}, {KEY_R, {15, 0}}, {KEY_T, {17, 0}}, {KEY_Y, {16, 0}},
    {KEY_U, {32, 0}}, {KEY_I, {34, 0}}, {KEY_O, {31, 0}}, {KEY_P, {35, 0}}, {KEY_LEFTBRACE, {33, 0}},
    {KEY_RIGHTBRACE, {30, 0}},
    {KEY_A, {0, 0}}, {KEY_S, {1, 0}}, {KEY_D, {2, 0}}, {KEY_F, {3, 0}}, {KEY_G, {5, 0}}, {KEY_H, {4, 0}},
    {KEY_J, {38, 0}}, {KEY_K, {40, 0}}, {KEY_L, {37, 0}}, {KEY_SEMICOLON, {41, 0}}, {KEY_APOSTROPHE, {39, 0}},
    {KEY_Z, {6, 0}}, {KEY_X, {7, 0}}, {KEY_C, {8, 0}}, {KEY_V, {9, 0}}, {KEY_B, {11, 0}}, {KEY_N, {45, 0}},
    {KEY_M, {46, 0}}, {KEY_COMMA, {43, 0}}, {KEY_DOT, {47, 0}}, {KEY_SLASH, {44, 0}},
};

}  // namespace

std::optional<DesktopKey> desktopKeyForEvdevCode(unsigned code) {
  for (const auto& [kernel, key] : kKeys)
    if (kernel == code) return key;
  return std::nullopt;
}

void EvdevKeyState::addDevice(Device device, const std::vector<unsigned>& heldCodes) {
  for (unsigned code : heldCodes)
    if (auto key = desktopKeyForEvdevCode(code); key && key->flag) holders_[code].insert(device);
}

std::vector<KeyDelivery> EvdevKeyState::handle(Device device, unsigned type, unsigned code, int value) {
  // A turn of a wheel, in notches or in finer steps.
  if (type == EV_REL && value != 0 &&
      (code == REL_WHEEL || code == REL_HWHEEL || code == REL_WHEEL_HI_RES || code == REL_HWHEEL_HI_RES))
    return {{EventMask::keyDown, {kPointerCode, flags(), true}}};
  // value: 1 press, 0 release, 2 auto-repeat (ignored).
  if (type != EV_KEY || (value != 0 && value != 1)) return {};
  auto key = desktopKeyForEvdevCode(code);
  if (!key) {
    // Mouse buttons (left, right, middle, side, extra...); joystick and pen buttons share the event
    // type but are neither keys nor clicks.
    if (value == 1 && code >= BTN_MOUSE && code < BTN_JOYSTICK) return {{EventMask::keyDown, {kPointerCode, flags(), true}}};
    const bool isKey = (code > KEY_RESERVED && code < BTN_MISC) || (code >= KEY_OK && code < BTN_TRIGGER_HAPPY);
    if (value == 1 && isKey) return {{EventMask::keyDown, {kOtherKeyCode, flags(), true}}};
    return {};
  }
  if (key->flag == 0) {
    if (value == 1) return {{EventMask::keyDown, {key->code, flags(), true}}};
    return {};
  }
  return setHeld(device, code, value == 1);
}

std::vector<KeyDelivery> EvdevKeyState::removeDevice(Device device) {
  std::vector<KeyDelivery> releases;
  std::vector<unsigned> held;
  for (const auto& [code, devices] : holders_)
    if (devices.count(device)) held.push_back(code);
  for (unsigned code : held)
    for (auto& delivery : setHeld(device, code, false)) releases.push_back(delivery);
  return releases;
}

std::uint64_t EvdevKeyState::flags() const {
  std::uint64_t result = 0;
  for (const auto& [code, devices] : holders_)
    if (!devices.empty()) result |= desktopKeyForEvdevCode(code)->flag;
  return result;
}

std::vector<KeyDelivery> EvdevKeyState::setHeld(Device device, unsigned code, bool down) {
  std::set<Device>& devices = holders_[code];
  const bool wasDown = !devices.empty();
  if (down)
    devices.insert(device);
  else
    devices.erase(device);  // a release whose press came before we watched is a no-op
  if (wasDown == !devices.empty()) return {};
  return {{EventMask::flagsChanged, {desktopKeyForEvdevCode(code)->code, flags(), !devices.empty()}}};
}

}  // namespace platform::desktop::detail
