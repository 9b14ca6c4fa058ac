#include "platform/Desktop/X11PasteKeys.h"

#include <algorithm>
#include <vector>

#include <X11/XKBlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include "platform/Desktop/DesktopError.h"
#include "platform/Desktop/detail/SyntheticKeys.h"
#include "platform/Desktop/detail/XDisplay.h"

namespace platform::desktop {

X11PasteKeys::X11PasteKeys() {
  auto display = detail::openDisplay();
  if (!detail::hasXTest(display.get()))
    throw DesktopError("the X display " + detail::displayNameForMessages() +
                       " lacks the XTEST extension, needed to type Ctrl+V");
}

void X11PasteKeys::sendPasteChord(PasteChord chord) {
  detail::DisplayPtr display(XOpenDisplay(nullptr));
  if (!display) return;
  Display* d = display.get();
  auto key = [d](KeySym symbol, KeySym alternative) {
    KeyCode code = XKeysymToKeycode(d, symbol);
    return code != 0 ? code : XKeysymToKeycode(d, alternative);
  };
  std::vector<KeyCode> modifiers;
  if (chord != PasteChord::shiftInsert) modifiers.push_back(key(XK_Control_L, XK_Control_R));
  if (chord != PasteChord::controlV) modifiers.push_back(key(XK_Shift_L, XK_Shift_R));
  const KeyCode last = chord == PasteChord::shiftInsert ? key(XK_Insert, XK_Insert) : key(XK_v, XK_v);
  if (last == 0 || std::find(modifiers.begin(), modifiers.end(), 0) != modifiers.end()) return;

  std::vector<detail::SyntheticKey> keys;
  for (KeyCode modifier : modifiers) keys.push_back({modifier, true});
  keys.push_back({last, true});
  keys.push_back({last, false});
  for (auto it = modifiers.rbegin(); it != modifiers.rend(); ++it) keys.push_back({*it, false});
  detail::expectSyntheticKeys(keys);
  for (const detail::SyntheticKey& k : keys)
    XTestFakeKeyEvent(d, k.keycode, k.press ? True : False, CurrentTime);
  XSync(d, False);
}

}  // namespace platform::desktop
