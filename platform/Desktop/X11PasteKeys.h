// The paste chords on X11 (Ctrl+V, Ctrl+Shift+V, Shift+Insert, Ctrl+Y) typed through the XTEST
// extension. The letter is the key that types it in the keymap's active group, else in any other group
// (windows match a chord's letter across groups). A keymap of one non-Latin layout (Russian, Greek,
// Hebrew, Arabic) has no such key, and Qt and GTK windows do not take Ctrl with the key at V's place
// there for Ctrl+V: a spare key code is bound to the letter for a while instead (the binding goes
// again 2 s after the last chord that used it, or with this object), and only where none can be bound
// the key at the letter's place on the keyboard (V right of C) is sent. Each chord uses a fresh connection, so layout changes are
// always seen. The constructor throws DesktopError when the display cannot be opened or lacks XTEST;
// `sendPasteChord` returns false when the chord could not be typed. Main thread of the Qt application.
#pragma once

#include <memory>

#include "platform/Desktop/PasteSeams.h"

namespace platform::desktop {

class X11PasteKeys : public PasteKeys {
 public:
  X11PasteKeys();
  ~X11PasteKeys() override;
  X11PasteKeys(const X11PasteKeys&) = delete;
  X11PasteKeys& operator=(const X11PasteKeys&) = delete;

  bool sendPasteChord(PasteChord chord) override;

  static constexpr int spareKeyHoldMs = 2000;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace platform::desktop
