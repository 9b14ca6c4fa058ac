#include "platform/Desktop/X11PasteKeys.h"

// Qt before X11: Xlib's macros (Bool, Status, None) break Qt's headers.
#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include <X11/XKBlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include "platform/Desktop/DesktopError.h"
#include "platform/Desktop/detail/SyntheticKeys.h"
#include "platform/Desktop/detail/XDisplay.h"

namespace platform::desktop {
namespace {

struct KeyboardDeleter {
  void operator()(XkbDescPtr keyboard) const { XkbFreeKeyboard(keyboard, XkbAllComponentsMask, True); }
};
using KeyboardPtr = std::unique_ptr<XkbDescRec, KeyboardDeleter>;

// The key typing `symbol` without modifiers: in the active group first, else in any other group.
KeyCode keyInAnyGroup(Display* d, XkbDescPtr keyboard, KeySym symbol) {
  XkbStateRec state{};
  const int active = XkbGetState(d, XkbUseCoreKbd, &state) == Success ? state.group : 0;
  for (bool activeGroup : {true, false})
    for (int code = keyboard->min_key_code; code <= keyboard->max_key_code; ++code)
      for (int group = 0; group < XkbKeyNumGroups(keyboard, code); ++group)
        if ((group == active) == activeGroup && XkbKeyGroupWidth(keyboard, code, group) > 0 &&
            XkbKeySymEntry(keyboard, code, 0, group) == symbol)
          return static_cast<KeyCode>(code);
  return 0;
}

// The key at a place on the keyboard by the keyboard's own name for it ("AB04": V on a US layout).
KeyCode keyNamed(Display* d, XkbDescPtr keyboard, std::string_view name) {
  if (XkbGetNames(d, XkbKeyNamesMask, keyboard) != Success || !keyboard->names || !keyboard->names->keys) return 0;
  for (int code = keyboard->min_key_code; code <= keyboard->max_key_code; ++code) {
    const char* raw = keyboard->names->keys[code].name;
    if (std::string_view(raw, strnlen(raw, XkbKeyNameLength)) == name) return static_cast<KeyCode>(code);
  }
  return 0;
}

// A key code that types nothing and is no modifier, free to bind; 0 when there is none.
KeyCode spareKey(Display* d) {
  int min = 0, max = 0;
  XDisplayKeycodes(d, &min, &max);
  int perCode = 0;
  KeySym* symbols = XGetKeyboardMapping(d, static_cast<KeyCode>(min), max - min + 1, &perCode);
  XModifierKeymap* modifiers = XGetModifierMapping(d);
  KeyCode found = 0;
  for (int code = max; symbols && modifiers && code >= min && !found; --code) {
    const KeySym* row = symbols + static_cast<std::ptrdiff_t>(code - min) * perCode;
    const bool empty = std::all_of(row, row + perCode, [](KeySym s) { return s == NoSymbol; });
    const KeyCode* mods = modifiers->modifiermap;
    const bool modifier = std::find(mods, mods + 8 * modifiers->max_keypermod, code) != mods + 8 * modifiers->max_keypermod;
    if (empty && !modifier) found = static_cast<KeyCode>(code);
  }
  if (symbols) XFree(symbols);
  if (modifiers) XFreeModifiermap(modifiers);
  return found;
}

struct Letter {
  KeySym symbol;
  std::string_view place;  // the key's name on the keyboard, the last resort
};

}  // namespace

struct X11PasteKeys::State {
  // A spare key code bound to a letter, and the letter; unbound when the timer fires.
  KeyCode bound = 0;
  KeySym boundTo = NoSymbol;
  std::unique_ptr<QTimer> unbind;

  void release() {
    if (unbind) unbind->stop();
    if (bound == 0) return;
    // Only while the key still has our binding: a layout set since has its own symbols there.
    if (detail::DisplayPtr display{XOpenDisplay(nullptr)}; display && XkbKeycodeToKeysym(display.get(), bound, 0, 0) == boundTo) {
      KeySym nothing = NoSymbol;
      XChangeKeyboardMapping(display.get(), bound, 1, &nothing, 1);
      XSync(display.get(), False);
    }
    bound = 0;
    boundTo = NoSymbol;
  }

  // A key that types `symbol`, bound to a spare key code if need be.
  KeyCode letterKey(Display* d, const Letter& letter) {
    // A key bound earlier is found here while it still types the letter (a new layout drops it).
    KeyboardPtr keyboard(XkbGetMap(d, XkbKeyTypesMask | XkbKeySymsMask, XkbUseCoreKbd));
    if (keyboard) {
      if (KeyCode key = keyInAnyGroup(d, keyboard.get(), letter.symbol)) return key;
    } else if (KeyCode key = XKeysymToKeycode(d, letter.symbol)) {
      return key;
    }
    if (KeyCode key = bindSpare(d, letter.symbol)) return key;
    // Windows that fall back to a US keymap for shortcuts (Qt's do not, nor GTK's) take this one.
    return keyboard ? keyNamed(d, keyboard.get(), letter.place) : 0;
  }

  KeyCode bindSpare(Display* d, KeySym symbol) {
    release();
    const KeyCode spare = spareKey(d);
    if (spare == 0) return 0;
    detail::XErrorTrap trap(d);
    XChangeKeyboardMapping(d, spare, 1, &symbol, 1);
    if (trap.failed()) return 0;
    bound = spare;
    boundTo = symbol;
    return spare;
  }

  // Windows take up the new binding when they hear of it, which may be after the chord: it stays a while.
  void holdBinding() {
    if (bound == 0 || !QCoreApplication::instance()) return;
    if (!unbind) {
      unbind = std::make_unique<QTimer>();
      unbind->setSingleShot(true);
      QObject::connect(unbind.get(), &QTimer::timeout, [this] { release(); });
    }
    unbind->start(spareKeyHoldMs);
  }
};

X11PasteKeys::X11PasteKeys() : state_(std::make_unique<State>()) {
  auto display = detail::openDisplay();
  if (!detail::hasXTest(display.get()))
    throw DesktopError("the X display " + detail::displayNameForMessages() +
                       " lacks the XTEST extension, needed to type Ctrl+V");
}

X11PasteKeys::~X11PasteKeys() { state_->release(); }

bool X11PasteKeys::sendPasteChord(PasteChord chord) {
  detail::DisplayPtr display(XOpenDisplay(nullptr));
  if (!display) return false;
  Display* d = display.get();
  auto key = [d](KeySym symbol, KeySym alternative) {
    KeyCode code = XKeysymToKeycode(d, symbol);
    return code != 0 ? code : XKeysymToKeycode(d, alternative);
  };
  const bool shift = chord == PasteChord::controlShiftV || chord == PasteChord::shiftInsert;
  std::vector<KeyCode> modifiers;
  if (chord != PasteChord::shiftInsert) modifiers.push_back(key(XK_Control_L, XK_Control_R));
  if (shift) modifiers.push_back(key(XK_Shift_L, XK_Shift_R));
  KeyCode last = 0;
  if (chord == PasteChord::shiftInsert) last = key(XK_Insert, XK_KP_Insert);
  else if (chord == PasteChord::controlY) last = state_->letterKey(d, {XK_y, "AD06"});
  else last = state_->letterKey(d, {XK_v, "AB04"});
  if (last == 0 || std::find(modifiers.begin(), modifiers.end(), 0) != modifiers.end()) return false;

  std::vector<detail::SyntheticKey> keys;
  for (KeyCode modifier : modifiers) keys.push_back({modifier, true});
  keys.push_back({last, true});
  keys.push_back({last, false});
  for (auto it = modifiers.rbegin(); it != modifiers.rend(); ++it) keys.push_back({*it, false});
  detail::expectSyntheticKeys(keys);
  for (const detail::SyntheticKey& k : keys)
    XTestFakeKeyEvent(d, k.keycode, k.press ? True : False, CurrentTime);
  XSync(d, False);
  if (last == state_->bound) state_->holdBinding();
  return true;
}

}  // namespace platform::desktop
