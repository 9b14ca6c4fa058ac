// The trigger key's event source on Wayland sessions (and any other): every keyboard among the kernel's
// input devices, read on a thread of the monitor's own (read-only, never grabbed, so typing goes on as
// before), keyboards plugged in or removed followed through the source. Events come out as the X11
// watcher gives them (platform/Desktop/KeyEvents.h codes by key position; modifiers as flag changes with the
// flags of all keyboards together, other keys as key downs), posted to the main thread and handed to the
// monitors there; auto-repeat is left out, and a keyboard that goes away releases what it held. An
// event goes to the local monitors while this application has the focus, else to the global ones.
// Add monitors on the main thread. Never throws after construction; a keyboard that cannot be
// read is skipped (see `rescan`).
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "platform/Desktop/EvdevKeyboards.h"
#include "platform/Desktop/KeyEvents.h"

namespace platform::desktop {

class EvdevKeyMonitor : public KeyEventMonitoring {
 public:
  struct Options {
    std::unique_ptr<KeyboardSource> source;  // default: the kernel's keyboards through udev
    std::function<bool()> ownsFocus;         // default: a Qt window of this application has the focus
    std::function<void(const std::string&)> log;  // keyboards found and lost; default: none
  };

  // Starts reading. Throws DesktopError when the reader thread cannot be set up.
  EvdevKeyMonitor(PostToMain postToMain, Options options);
  ~EvdevKeyMonitor() override;
  EvdevKeyMonitor(const EvdevKeyMonitor&) = delete;
  EvdevKeyMonitor& operator=(const EvdevKeyMonitor&) = delete;

  // Adding a monitor also looks again for keyboards, since permission may have come since.
  Token addGlobalMonitor(std::uint64_t mask, Handler handler) override;
  Token addLocalMonitor(std::uint64_t mask, Handler handler) override;

  // Looks again, on the reader thread, for keyboards that are not read yet.
  void rescan();
  // Keyboards being read now.
  std::size_t keyboardCount() const;

 private:
  struct Shared;
  struct Reader;
  std::shared_ptr<Shared> shared_;
  std::unique_ptr<Reader> reader_;
};

}  // namespace platform::desktop
