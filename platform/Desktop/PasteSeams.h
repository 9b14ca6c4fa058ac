// The desktop services the paster needs, as interfaces: the clipboard, the paste chord (Ctrl+V on
// Linux) and facts about the focused application. The desktop front implements them over X11/Qt;
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

class PasteKeys {
 public:
  virtual ~PasteKeys() = default;
  // Synthesises the paste chord (V with the paste modifier) down and up.
  virtual void sendPasteChord() = 0;
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
  // Sends the paste action to this application's focused widget; true when one handled it.
  virtual bool sendPasteAction() = 0;
};

}  // namespace platform::desktop
