// The desktop services the paster needs, as interfaces: the clipboard (and the PRIMARY selection), the
// paste chords and facts about the focused application. The desktop front implements them over X11/Qt;
// tests use fakes. All are called on the main thread.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace platform::desktop {

// One clipboard item: its types (MIME types on Linux) with their raw bytes.
using PasteboardItem = std::map<std::string, std::string>;
// Every item of the clipboard, in order.
using PasteboardSnapshot = std::vector<PasteboardItem>;

class Pasteboard {
 public:
  virtual ~Pasteboard() = default;
  // Each item with every type for which it gives bytes (types without bytes are left out).
  virtual PasteboardSnapshot items() const = 0;
  virtual void clearContents() = 0;
  virtual void setString(const std::string& text) = 0;
  // The plain-text string, nothing when there is none.
  virtual std::optional<std::string> string() const = 0;
  // Writes all items in one go (after `clearContents`).
  virtual void writeItems(const PasteboardSnapshot& items) = 0;
};

// The keys that make a window paste.
enum class PasteChord {
  controlV,       // most applications
  controlShiftV,  // terminal emulators that paste the clipboard with it
  shiftInsert,    // xterm and rxvt, which paste the PRIMARY selection with it
};

class PasteKeys {
 public:
  virtual ~PasteKeys() = default;
  // Synthesises the chord: its modifiers down, the key down and up, the modifiers up.
  virtual void sendPasteChord(PasteChord chord) = 0;
};

// A window's X11 WM_CLASS: its class ("XTerm") and its instance name ("xterm"); either may be empty.
struct WindowClass {
  std::string className;
  std::string instanceName;
  friend bool operator==(const WindowClass&, const WindowClass&) = default;
};

class FocusedApplication {
 public:
  virtual ~FocusedApplication() = default;
  // Identifier of the frontmost application; nothing when none.
  virtual std::optional<std::string> frontmostApplicationId() const = 0;
  // This application's identifier; nothing when unavailable.
  virtual std::optional<std::string> ownApplicationId() const = 0;
  virtual std::optional<std::string> keyWindowTitle() const = 0;
  virtual std::optional<std::string> firstResponderTypeName() const = 0;
  // The WM_CLASS of the focused window of another application; nothing when none can be known.
  virtual std::optional<WindowClass> focusedWindowClass() const = 0;
  // Sends the paste action to this application's focused widget; true when one handled it.
  virtual bool sendPasteAction() = 0;
};

}  // namespace platform::desktop
