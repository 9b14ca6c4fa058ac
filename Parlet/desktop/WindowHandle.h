// What the shell's controllers need of a window the toolkit made for them: bring it forward and
// close it. Closing leads, through the toolkit, to the controller's `windowWillClose()`.
// Main thread only.
#pragma once

namespace parlet {

class WindowHandle {
 public:
  virtual ~WindowHandle() = default;
  // Shows the window, raises it and gives it the keyboard focus.
  virtual void bringToFront() = 0;
  virtual void close() = 0;
  virtual bool isVisible() const = 0;
};

}  // namespace parlet
