// The desktop services the paster needs, as interfaces: the clipboard (and the PRIMARY selection), the
// requests other applications make for it, the paste chords and facts about the focused application.
// The desktop front implements them over X11/Qt; tests use fakes. All are called on the main thread.
#pragma once

#include <functional>
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

// One request of another application for what this one holds on the clipboard or the selection.
struct ClipboardRequest {
  bool primary = false;            // for the PRIMARY selection, else the clipboard
  bool fromFocusedWindow = false;  // the asking client owns the window that has the focus
};

// Tells of the requests of other applications for the clipboard and the selection while this
// application holds them, each as it arrives and before it is answered.
class ClipboardRequests {
 public:
  virtual ~ClipboardRequests() = default;
  // Replaces the handler; an empty one stops the reports.
  virtual void setHandler(std::function<void(const ClipboardRequest&)> handler) = 0;
};

// The keys that make a window paste.
enum class PasteChord {
  controlV,       // most applications
  controlShiftV,  // terminal emulators that paste the clipboard with it
  shiftInsert,    // xterm and rxvt, which paste the PRIMARY selection with it
  controlY,       // Emacs, which yanks the clipboard with it
};

class PasteKeys {
 public:
  virtual ~PasteKeys() = default;
  // Synthesises the chord: its modifiers down, the key down and up, the modifiers up. False when it
  // was not sent (no display or virtual keyboard, or no key for it could be found or made).
  virtual bool sendPasteChord(PasteChord chord) = 0;
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
  // Whether a menu or other popup of this application is open: it holds the keyboard, so a chord
  // typed now would reach it and not the window below.
  virtual bool popupOpen() const { return false; }
  // Closes this application's popups and gives the focus back to the window that had it when the
  // first of them opened. False when that cannot be done (no such window is known, or it is gone).
  virtual bool closePopups() { return false; }
  // After closePopups(): whether that window has the focus again.
  virtual bool focusReturned() const { return true; }
};

}  // namespace platform::desktop
