// The error of the desktop services: a display that cannot be opened, an X extension that is missing,
// a launch-at-login file that cannot be written. `what()` says which display, extension or file.
#pragma once

#include <stdexcept>
#include <string>

namespace platform::desktop {

class DesktopError : public std::runtime_error {
 public:
  explicit DesktopError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace platform::desktop
