// Key events as the trigger key sees them, and the seam that delivers them. Key codes and
// modifier bits are the classic desktop virtual codes (61 = right Alt/Option, 53 = Escape); the
// Linux backend maps physical keys onto them (Option is Alt, Command is Super). Keys without such
// a code (function keys, arrows, keypad, AltGr on a key of its own) go down as kOtherKeyCode; a
// button or a turn of the wheel of a mouse or touchpad goes down as kPointerCode.
#pragma once

#include <cstdint>
#include <functional>

namespace platform::desktop {

// Device-independent modifier bits, set while a key of that kind is down.
namespace ModifierFlag {
inline constexpr std::uint64_t shift = 1ull << 17;
inline constexpr std::uint64_t control = 1ull << 18;
inline constexpr std::uint64_t option = 1ull << 19;   // Alt
inline constexpr std::uint64_t command = 1ull << 20;  // Super
}  // namespace ModifierFlag

namespace EventMask {
inline constexpr std::uint64_t keyDown = 1ull << 10;
inline constexpr std::uint64_t flagsChanged = 1ull << 12;
}  // namespace EventMask

inline constexpr std::uint16_t kEscapeKeyCode = 53;
// A key down of some key that has no desktop code.
inline constexpr std::uint16_t kOtherKeyCode = 0xffff;
// A pointer button pressed or the wheel turned, delivered as a key down.
inline constexpr std::uint16_t kPointerCode = 0xfffe;

// Runs work on the application's main thread, in the order posted; callable from any thread.
using PostToMain = std::function<void(std::function<void()>)>;

// Key downs come once per press (auto-repeat is left out); modifiers come as flag changes, down and up.
struct KeyEvent {
  std::uint16_t keyCode = 0;
  std::uint64_t modifierFlags = 0;  // the flags after the change (modifier events)
  // Whether this key is down after the event. Modifier events need it: with both Alt keys held,
  // releasing one leaves the option flag set. Always true for key downs.
  bool down = false;
};

// Installs event monitors. Handlers run on the platform's event thread, see every matching
// event and never swallow it. Monitors stay installed for the life of the process.
class KeyEventMonitoring {
 public:
  using Handler = std::function<void(const KeyEvent&)>;
  using Token = std::uint64_t;

  virtual ~KeyEventMonitoring() = default;
  // Events delivered to other applications.
  virtual Token addGlobalMonitor(std::uint64_t mask, Handler handler) = 0;
  // Events delivered to this application.
  virtual Token addLocalMonitor(std::uint64_t mask, Handler handler) = 0;
};

}  // namespace platform::desktop
