// The paste chords on X11 (Ctrl+V, Ctrl+Shift+V, Shift+Insert) typed through the XTEST extension, each
// key found by its symbol in the current layout (so V is the key that types "v", whatever its
// position). Each chord uses a fresh connection, so layout changes are always seen. The constructor
// throws DesktopError when the display cannot be opened or lacks XTEST; a chord whose keys the layout
// lacks is not sent.
#pragma once

#include "platform/Desktop/PasteSeams.h"

namespace platform::desktop {

class X11PasteKeys : public PasteKeys {
 public:
  X11PasteKeys();
  void sendPasteChord(PasteChord chord) override;
};

}  // namespace platform::desktop
