#include "platform/Desktop/X11PasteKeys.h"

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

void X11PasteKeys::sendPasteChord() {
  detail::DisplayPtr display(XOpenDisplay(nullptr));
  if (!display) return;
  Display* d = display.get();
  KeyCode control = XKeysymToKeycode(d, XK_Control_L);
  if (control == 0) control = XKeysymToKeycode(d, XK_Control_R);
  const KeyCode v = XKeysymToKeycode(d, XK_v);
  if (control == 0 || v == 0) return;
  detail::expectSyntheticKeys({{control, true}, {v, true}, {v, false}, {control, false}});
  XTestFakeKeyEvent(d, control, True, CurrentTime);
  XTestFakeKeyEvent(d, v, True, CurrentTime);
  XTestFakeKeyEvent(d, v, False, CurrentTime);
  XTestFakeKeyEvent(d, control, False, CurrentTime);
  XSync(d, False);
}

}  // namespace platform::desktop
