// The paste chord on X11: Ctrl+V typed through the XTEST extension, with V found by its symbol in the
// current layout (so it is the key that types "v", whatever its position). Each chord uses a fresh
// connection, so layout changes are always seen. The constructor throws DesktopError when the display
// cannot be opened or lacks XTEST; a chord whose keys the layout lacks is not sent.
#pragma once

#include "platform/Desktop/PasteSeams.h"

namespace platform::desktop {

class X11PasteKeys : public PasteKeys {
 public:
  X11PasteKeys();
  void sendPasteChord() override;
};

}  // namespace platform::desktop
