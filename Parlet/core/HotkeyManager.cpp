#include "Parlet/core/HotkeyManager.h"

#include <stdexcept>

namespace parlet {

const std::array<HotkeyManager::Key, 8> HotkeyManager::presets = {{
    {61, ModifierFlag::option, "Right Alt"},
    {58, ModifierFlag::option, "Left Alt"},
    {54, ModifierFlag::command, "Right Super"},
    {55, ModifierFlag::command, "Left Super"},
    {62, ModifierFlag::control, "Right Control"},
    {59, ModifierFlag::control, "Left Control"},
    {60, ModifierFlag::shift, "Right Shift"},
    {56, ModifierFlag::shift, "Left Shift"},
}};

const HotkeyManager::Key& HotkeyManager::presetForKeyCode(std::optional<std::int64_t> keyCode) {
  if (keyCode) {
    for (const Key& key : presets)
      if (key.keyCode == *keyCode) return key;
  }
  return presets[0];
}

namespace {

// chord: the trigger is down but its press was cancelled by another key; it waits for the key up.
enum class InternalState { idle, held, deferring, locked, lockedKeyDown, chord };

const char* name(InternalState state) {
  switch (state) {
    case InternalState::idle: return "idle";
    case InternalState::held: return "held";
    case InternalState::deferring: return "deferring";
    case InternalState::locked: return "locked";
    case InternalState::lockedKeyDown: return "lockedKeyDown";
    case InternalState::chord: return "chord";
  }
  return "?";
}

}  // namespace

struct HotkeyManager::State : std::enable_shared_from_this<HotkeyManager::State> {
  Callbacks callbacks;
  Dependencies deps;
  Key key;
  InternalState state = InternalState::idle;
  std::optional<kestrum::MainQueue::Duration> pressDownTime;
  kestrum::MainQueue::TimerId deferReleaseTask = 0;  // 0: none
  std::optional<KeyEventMonitoring::Token> globalFlagsMonitor, localFlagsMonitor, globalKeyDownMonitor,
      localKeyDownMonitor;

  void release() {
    if (callbacks.onRelease) callbacks.onRelease();
  }
  void press() {
    if (callbacks.onPress) callbacks.onPress();
  }
  void lockChange(bool locked) {
    if (callbacks.onLockChange) callbacks.onLockChange(locked);
  }
  void cancel() {
    if (callbacks.onCancel) callbacks.onCancel();
  }

  void cancelDeferredRelease() {
    if (deferReleaseTask != 0) deps.mainQueue->cancel(deferReleaseTask);
    deferReleaseTask = 0;
  }

  void processFlagsChanged(std::uint16_t keyCode, bool isDown) {
    if (keyCode != key.keyCode) {
      if (isDown) handleOtherKeyDown();
      return;
    }
    deps.log("hotkey flags keyCode=" + std::to_string(keyCode) + " isDown=" + (isDown ? "true" : "false") +
             " state=" + name(state));
    if (isDown)
      handleKeyDown();
    else
      handleKeyUp();
  }

  void handleKeyDown() {
    switch (state) {
      case InternalState::idle:
        state = InternalState::held;
        pressDownTime = deps.mainQueue->now();
        press();
        break;
      case InternalState::deferring:
        cancelDeferredRelease();
        state = InternalState::locked;
        lockChange(true);
        break;
      case InternalState::locked:
        state = InternalState::lockedKeyDown;
        lockChange(false);
        release();
        break;
      case InternalState::held:
      case InternalState::lockedKeyDown:
      case InternalState::chord:
        break;
    }
  }

  void handleKeyUp() {
    switch (state) {
      case InternalState::held:
        if (pressDownTime && deps.mainQueue->now() - *pressDownTime > holdThreshold) {
          state = InternalState::idle;
          pressDownTime.reset();
          release();
        } else {
          state = InternalState::deferring;
          startDeferredRelease();
        }
        break;
      case InternalState::lockedKeyDown:
      case InternalState::chord:
        state = InternalState::idle;
        pressDownTime.reset();
        break;
      case InternalState::idle:
      case InternalState::deferring:
      case InternalState::locked:
        break;
    }
  }

  // Any key but the trigger, Escape included. Keys that were down before the trigger do not come
  // here again: key downs arrive once per press.
  void handleOtherKeyDown() {
    switch (state) {
      case InternalState::held:
        deps.log(std::string("hotkey chord state=") + name(state));
        state = InternalState::chord;
        pressDownTime.reset();
        cancel();
        break;
      case InternalState::deferring:
        deps.log(std::string("hotkey chord state=") + name(state));
        cancelDeferredRelease();
        state = InternalState::idle;
        pressDownTime.reset();
        cancel();
        break;
      case InternalState::idle:
      case InternalState::locked:
      case InternalState::lockedKeyDown:
      case InternalState::chord:
        break;
    }
  }

  void processKeyDown(std::uint16_t keyCode) {
    if (keyCode == kEscapeKeyCode && state == InternalState::locked) {
      state = InternalState::idle;
      lockChange(false);
      release();
      return;
    }
    handleOtherKeyDown();
  }

  void startDeferredRelease() {
    cancelDeferredRelease();
    std::weak_ptr<State> weak = weak_from_this();
    auto id = std::make_shared<kestrum::MainQueue::TimerId>(0);
    *id = deps.mainQueue->postAfter(releaseDelay, [weak, id] {
      auto self = weak.lock();
      // Cancelled or superseded when the stored handle is no longer this one.
      if (!self || self->deferReleaseTask != *id || self->state != InternalState::deferring) return;
      self->state = InternalState::idle;
      self->pressDownTime.reset();
      self->deferReleaseTask = 0;
      self->release();
    });
    deferReleaseTask = *id;
  }

  KeyEventMonitoring::Handler flagsHandler() {
    std::weak_ptr<State> weak = weak_from_this();
    kestrum::MainQueue* queue = deps.mainQueue;
    return [weak, queue](const KeyEvent& event) {
      std::uint16_t keyCode = event.keyCode;
      bool down = event.down;
      queue->post([weak, keyCode, down] {
        if (auto self = weak.lock()) self->processFlagsChanged(keyCode, down);
      });
    };
  }

  KeyEventMonitoring::Handler keyDownHandler() {
    std::weak_ptr<State> weak = weak_from_this();
    kestrum::MainQueue* queue = deps.mainQueue;
    return [weak, queue](const KeyEvent& event) {
      std::uint16_t keyCode = event.keyCode;
      queue->post([weak, keyCode] {
        if (auto self = weak.lock()) self->processKeyDown(keyCode);
      });
    };
  }
};

HotkeyManager::HotkeyManager(Key key, Callbacks callbacks, Dependencies dependencies)
    : state_(std::make_shared<State>()) {
  if (!dependencies.mainQueue) throw std::invalid_argument("HotkeyManager needs a main queue");
  if (!dependencies.log) dependencies.log = ParletLog::sink();
  state_->callbacks = std::move(callbacks);
  state_->deps = std::move(dependencies);
  state_->key = std::move(key);
}

HotkeyManager::~HotkeyManager() { state_->cancelDeferredRelease(); }

void HotkeyManager::start() {
  State& s = *state_;
  if (!s.deps.monitors) throw std::invalid_argument("HotkeyManager needs key event monitors to start");
  KeyEventMonitoring& monitors = *s.deps.monitors;
  if (!s.globalFlagsMonitor) s.globalFlagsMonitor = monitors.addGlobalMonitor(EventMask::flagsChanged, s.flagsHandler());
  if (!s.localFlagsMonitor) s.localFlagsMonitor = monitors.addLocalMonitor(EventMask::flagsChanged, s.flagsHandler());
  if (!s.globalKeyDownMonitor)
    s.globalKeyDownMonitor = monitors.addGlobalMonitor(EventMask::keyDown, s.keyDownHandler());
  if (!s.localKeyDownMonitor) s.localKeyDownMonitor = monitors.addLocalMonitor(EventMask::keyDown, s.keyDownHandler());
}

void HotkeyManager::setKey(Key key) {
  State& s = *state_;
  s.cancelDeferredRelease();
  switch (s.state) {
    case InternalState::held:
    case InternalState::deferring:
      s.release();
      break;
    case InternalState::locked:
    case InternalState::lockedKeyDown:
      s.release();
      s.lockChange(false);
      break;
    case InternalState::idle:
    case InternalState::chord:
      break;
  }
  s.state = InternalState::idle;
  s.pressDownTime.reset();
  s.key = std::move(key);
}

const HotkeyManager::Key& HotkeyManager::key() const { return state_->key; }

}  // namespace parlet
