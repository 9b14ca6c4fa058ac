// The clipboard through QClipboard (the CLIPBOARD selection on X11), or the PRIMARY selection, which
// xterm and rxvt paste with Shift+Insert; both behave alike. It holds one item: `items()` gives
// every format its owner offers, by Qt's name for it (UTF8_STRING is "text/plain"), with the exact
// bytes, and `writeItems` offers them again, so a snapshot taken before a paste restores the user's
// content byte for byte (plain text as UTF-8). Nothing when the clipboard has no owner. Main thread
// only; reading another application's clipboard waits for it (Qt's own time limit).
#pragma once

#include "platform/Desktop/PasteSeams.h"

class QMimeData;

namespace platform::desktop {

class QtPasteboard : public Pasteboard {
 public:
  enum class Selection { clipboard, primary };
  explicit QtPasteboard(Selection selection = Selection::clipboard) : selection_(selection) {}

  PasteboardSnapshot items() const override;
  void clearContents() override;
  void setString(const std::string& text) override;
  std::optional<std::string> string() const override;
  // Several items become one: the first item that offers a type gives its bytes.
  void writeItems(const PasteboardSnapshot& items) override;

 private:
  // Takes the clipboard with `data` (which it then owns).
  void offer(QMimeData* data);
  Selection selection_;
};

}  // namespace platform::desktop
