// The kernel key codes that type a symbol in a keyboard layout, found with xkbcommon: the paste chord
// sends the key that types "v" in the user's layout, so a Dvorak user gets Ctrl+V and not Ctrl+K (the
// key where US has "v"); and the name a layout gives a trigger key (Right Alt is "AltGr" on German). The current keymap is the X server's (on a Wayland session that is Xwayland's,
// which follows the compositor's); without an X server, xkbcommon's default names (the XKB_DEFAULT_*
// variables, else US). Stateless functions; none throws.
//   auto keys = pasteChordKeys(*currentKeymap());  // keys.v == KEY_DOT on Dvorak
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

struct xkb_keymap;

namespace platform::desktop {

// A kernel key code (KEY_V = 47) of the key that types `keysym` without modifiers in layout `layout`
// (an index into the keymap's layouts), else in the first other layout that has it; none when no
// layout does.
std::optional<std::uint16_t> keyTyping(xkb_keymap* keymap, std::uint32_t keysym, std::uint32_t layout = 0);

struct PasteChordKeys {
  std::uint16_t control;      // the key typing Control_L; KEY_LEFTCTRL when none does
  std::uint16_t v;            // the key typing "v"; KEY_V when none does
  std::uint16_t shift = 42;   // the key typing Shift_L; KEY_LEFTSHIFT when none does
  std::uint16_t insert = 110; // the key typing Insert; KEY_INSERT when none does
  std::uint16_t y = 21;       // the key typing "y"; KEY_Y when none does
  friend bool operator==(const PasteChordKeys&, const PasteChordKeys&) = default;
};

PasteChordKeys pasteChordKeys(xkb_keymap* keymap, std::uint32_t layout = 0);

// What layout `layout` calls a trigger key (a desktop key code of KeyEvents.h: 61 Right Alt, 58 Left
// Alt, ...), where that differs from the key's own name: "AltGr" for a key that shifts to the third
// level (ISO_Level3_Shift or Mode_switch, as Right Alt does on German, French and international
// layouts). None where the key keeps its name, or is not a trigger key.
std::optional<std::string> layoutKeyName(xkb_keymap* keymap, std::uint16_t desktopKeyCode, std::uint32_t layout = 0);

struct KeymapDeleter {
  void operator()(xkb_keymap* keymap) const;
};
using KeymapPtr = std::unique_ptr<xkb_keymap, KeymapDeleter>;

struct CurrentKeymap {
  KeymapPtr keymap;      // none when no keymap could be had
  std::uint32_t layout;  // the active layout
};

// Reads the keymap now (a fresh connection each time, so a changed layout is seen).
CurrentKeymap currentKeymap();
// The keys of the paste chord in the current keymap; the US positions when there is none.
PasteChordKeys currentPasteChordKeys();
// layoutKeyName in the current keymap and its active layout; none without a keymap.
std::optional<std::string> currentLayoutKeyName(std::uint16_t desktopKeyCode);

}  // namespace platform::desktop
