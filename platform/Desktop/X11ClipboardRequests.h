// The requests of other X clients for the clipboard and the PRIMARY selection while this application
// owns them, seen as Qt's connection receives them (a native event filter, so before Qt answers each).
// A request is from the focused window when the asking client also owns the active window
// (_NET_ACTIVE_WINDOW, else the input focus): X clients' resource ids share their client's base. Main
// thread of a QGuiApplication on X11; does nothing on other platforms.
//   auto requests = std::make_shared<X11ClipboardRequests>();  requests->setHandler(...);
#pragma once

#include <memory>

#include "platform/Desktop/PasteSeams.h"

namespace platform::desktop {

class X11ClipboardRequests : public ClipboardRequests {
 public:
  X11ClipboardRequests();
  ~X11ClipboardRequests() override;
  X11ClipboardRequests(const X11ClipboardRequests&) = delete;
  X11ClipboardRequests& operator=(const X11ClipboardRequests&) = delete;

  void setHandler(std::function<void(const ClipboardRequest&)> handler) override;

 private:
  struct Filter;
  std::unique_ptr<Filter> filter_;
};

}  // namespace platform::desktop
