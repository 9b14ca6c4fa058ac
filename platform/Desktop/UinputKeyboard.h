// The paste chords on Wayland sessions (and any other): Ctrl+V, Ctrl+Shift+V, Shift+Insert or Ctrl+Y typed by a
// virtual keyboard made through /dev/uinput, which the compositor reads like any keyboard. Each key is
// the one that types its symbol in the current layout (XkbLayout.h), so V is the key that types "v".
// Which chord is the paster's choice from the focused window's class, which only Xwayland's windows
// tell; a native Wayland window tells nothing and so gets Ctrl+V. The virtual keyboard is made once, at construction or else at the first chord,
// and kept for the session, since a compositor takes a moment to start reading a new device. Events go
// through a sink, so tests see what would be written. Main thread only; never throws: without
// /dev/uinput a chord is not sent and the sink is tried again at the next one.
//   UinputPasteKeys keys;  keys.sendPasteChord(PasteChord::controlV);
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/Desktop/PasteSeams.h"
#include "platform/Desktop/XkbLayout.h"

namespace platform::desktop {

// The name our virtual keyboard shows; the evdev key monitor leaves it out.
inline constexpr const char* kVirtualKeyboardName = "Parlet virtual keyboard";

// Where the virtual keyboard's events go: the uinput device, or a recorder in tests.
class KeyEventSink {
 public:
  virtual ~KeyEventSink() = default;
  // One kernel event (EV_KEY or EV_SYN with its code and value).
  virtual void write(unsigned type, unsigned code, int value) = 0;
};

// Makes the uinput keyboard (every key of a full keyboard). Throws DesktopError naming /dev/uinput and
// the reason when it cannot.
std::unique_ptr<KeyEventSink> makeUinputKeyboard();

class UinputPasteKeys : public PasteKeys {
 public:
  struct Options {
    std::function<std::unique_ptr<KeyEventSink>()> openSink;  // default: makeUinputKeyboard
    std::function<PasteChordKeys()> keys;                     // default: currentPasteChordKeys
    std::function<void(const std::string&)> log;              // failures to make the keyboard
  };

  UinputPasteKeys() : UinputPasteKeys(Options{}) {}
  explicit UinputPasteKeys(Options options);
  ~UinputPasteKeys() override;

  // The modifiers down, the key down and up, the modifiers up, each followed by a report. False only
  // without the virtual keyboard; a layout without the letter gets the key at its US place.
  bool sendPasteChord(PasteChord chord) override;
  bool ready() const { return sink_ != nullptr; }

 private:
  bool open();

  Options options_;
  std::unique_ptr<KeyEventSink> sink_;
};

}  // namespace platform::desktop
