// Turns presses and releases of one modifier key into `onPress`, `onRelease`, `onLockChange` and
// `onCancel`. Hold longer than 0.6 s: records while held. Shorter tap: releases 350 ms later unless a
// second press comes first, which locks recording hands-free until the next press or Escape.
// The trigger key used with any other key, a mouse button or the wheel is a chord, not a dictation:
// another key or a click going down while the trigger is held, or between the two taps of a double tap,
// cancels the press (`onCancel`), and the trigger does nothing more until it comes up. Keys typed and
// clicks made while locked change nothing.
// Main thread only: events hop onto the main queue, the deferred release is a delayed item there.
//   HotkeyManager manager(HotkeyManager::presets[0], {...});  manager.start();
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "KestrumCore/MainQueue.h"
#include "Parlet/core/ParletLog.h"
#include "platform/Desktop/KeyEvents.h"

namespace parlet {

using platform::desktop::KeyEvent;
using platform::desktop::KeyEventMonitoring;
using platform::desktop::kEscapeKeyCode;
using platform::desktop::kOtherKeyCode;
namespace EventMask = platform::desktop::EventMask;
namespace ModifierFlag = platform::desktop::ModifierFlag;

class HotkeyManager {
 public:
  struct Key {
    std::uint16_t keyCode = 0;
    std::uint64_t flag = 0;  // the ModifierFlag bit set while the key is down
    std::string title;
    friend bool operator==(const Key&, const Key&) = default;
  };

  // The selectable trigger keys; the index is the menu tag. Row 0, Right Alt (61), is the default.
  static const std::array<Key, 8> presets;
  // The preset with this key code; row 0 for any other value or none.
  static const Key& presetForKeyCode(std::optional<std::int64_t> keyCode);

  struct Callbacks {
    std::function<void()> onPress;
    std::function<void()> onRelease;
    std::function<void(bool)> onLockChange;
    std::function<void()> onCancel;  // ends the press with nothing kept, in place of onRelease
  };

  struct Dependencies {
    kestrum::MainQueue* mainQueue = nullptr;  // required
    KeyEventMonitoring* monitors = nullptr;   // required by start()
    LogSink log;                              // default: ParletLog
  };

  static constexpr std::chrono::milliseconds holdThreshold{600};
  static constexpr std::chrono::milliseconds releaseDelay{350};

  HotkeyManager(Key key, Callbacks callbacks, Dependencies dependencies);
  ~HotkeyManager();
  HotkeyManager(const HotkeyManager&) = delete;
  HotkeyManager& operator=(const HotkeyManager&) = delete;

  // Installs the four monitors (global and local modifier changes, global and local key downs),
  // each once.
  void start();
  // Ends a running hold or lock (onRelease, then onLockChange(false) when locked) and switches key.
  void setKey(Key key);
  const Key& key() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace parlet
