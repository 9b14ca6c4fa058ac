#include "platform/Desktop/EvdevKeyMonitor.h"

#include <fcntl.h>
#include <linux/input.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Desktop/tests/PostedWork.h"
#include "platform/Desktop/tests/SeenKeyEvents.h"

namespace platform::desktop {
namespace {

using platform::desktop::KeyEvent;
using platform::desktop::ModifierFlag::control;
using platform::desktop::ModifierFlag::option;
using platform::desktop::ModifierFlag::shift;
namespace EventMask = platform::desktop::EventMask;

using keymonitortest::Seen;

// A keyboard whose device node is a pipe of struct input_event records; closing the writing end is
// unplugging it.
class PipeKeyboard : public KeyboardDevice {
 public:
  PipeKeyboard(std::string path, int fd, std::vector<unsigned> held) : path_(std::move(path)), fd_(fd), held_(std::move(held)) {}
  ~PipeKeyboard() override { ::close(fd_); }
  const std::string& path() const override { return path_; }
  int fd() const override { return fd_; }
  std::vector<unsigned> heldKeys() const override { return held_; }
  bool readEvents(std::vector<input_event>& events) override {
    char buffer[sizeof(input_event) * 16];
    for (;;) {
      const ssize_t got = ::read(fd_, buffer, sizeof buffer);
      if (got == 0) return false;
      if (got < 0) return errno == EAGAIN || errno == EINTR;
      pending_.insert(pending_.end(), buffer, buffer + got);
      std::size_t whole = pending_.size() / sizeof(input_event);
      for (std::size_t i = 0; i < whole; ++i) {
        input_event event;
        std::memcpy(&event, pending_.data() + i * sizeof event, sizeof event);
        events.push_back(event);
      }
      pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(whole * sizeof(input_event)));
    }
  }

 private:
  std::string path_;
  int fd_;
  std::vector<unsigned> held_;
  std::vector<char> pending_;
};

// The test's end of a pipe keyboard.
class Typist {
 public:
  explicit Typist(int fd) : fd_(fd) {}
  ~Typist() { unplug(); }
  void key(unsigned code, int value) {
    send(EV_KEY, code, value);
    send(EV_SYN, SYN_REPORT, 0);
  }
  void press(unsigned code) { key(code, 1); }
  void release(unsigned code) { key(code, 0); }
  void wheel(unsigned axis, int steps) {
    send(EV_REL, axis, steps);
    send(EV_SYN, SYN_REPORT, 0);
  }
  void unplug() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  void send(unsigned type, unsigned code, int value) {
    input_event event{};
    event.type = static_cast<__u16>(type);
    event.code = static_cast<__u16>(code);
    event.value = value;
    ASSERT_EQ(::write(fd_, &event, sizeof event), static_cast<ssize_t>(sizeof event));
  }
  int fd_;
};

class FakeSource : public KeyboardSource {
 public:
  FakeSource() { EXPECT_EQ(::pipe2(changes_, O_NONBLOCK | O_CLOEXEC), 0); }
  ~FakeSource() override {
    ::close(changes_[0]);
    ::close(changes_[1]);
  }

  // A keyboard present from the start (`plugged` false) or plugged in later.
  std::unique_ptr<Typist> keyboard(const std::string& path, bool plugged, std::vector<unsigned> held = {}) {
    int ends[2];
    EXPECT_EQ(::pipe2(ends, O_NONBLOCK | O_CLOEXEC), 0);
    std::lock_guard lock(mutex_);
    (plugged ? added_ : present_).push_back(std::make_unique<PipeKeyboard>(path, ends[0], std::move(held)));
    if (plugged) {
      const char byte = 1;
      EXPECT_EQ(::write(changes_[1], &byte, 1), 1);
    }
    return std::make_unique<Typist>(ends[1]);
  }

  // The source reports the keyboard at `path` removed (its node may still give end of file later).
  void reportRemoved(const std::string& path) {
    std::lock_guard lock(mutex_);
    removed_.push_back(path);
    const char byte = 1;
    EXPECT_EQ(::write(changes_[1], &byte, 1), 1);
  }

  std::vector<std::unique_ptr<KeyboardDevice>> scan(const std::set<std::string>&) override {
    std::lock_guard lock(mutex_);
    return std::exchange(present_, {});
  }
  int changesFd() const override { return changes_[0]; }
  Changes readChanges(const std::set<std::string>&) override {
    char drain[16];
    while (::read(changes_[0], drain, sizeof drain) > 0) {
    }
    std::lock_guard lock(mutex_);
    return {std::exchange(added_, {}), std::exchange(removed_, {})};
  }

 private:
  int changes_[2];
  std::mutex mutex_;
  std::vector<std::unique_ptr<KeyboardDevice>> present_, added_;
  std::vector<std::string> removed_;
};

class EvdevKeyMonitorTest : public ::testing::Test {
 protected:
  // Keyboards present at the start are made before the monitor.
  void startMonitor() {
    EvdevKeyMonitor::Options options;
    auto source = std::make_unique<FakeSource>();
    source_ = source.get();
    for (auto& [path, typist] : early_) typists_[path] = source_->keyboard(path, false);
    options.source = std::move(source);
    options.ownsFocus = [this] { return ownsFocus_; };
    monitor_ = std::make_unique<EvdevKeyMonitor>(queue_.poster(), std::move(options));
    for (bool local : {false, true})
      for (std::uint64_t mask : {EventMask::flagsChanged, EventMask::keyDown}) {
        auto handler = [this, local, mask](const KeyEvent& e) { seen_.push_back({local, mask, e.keyCode, e.modifierFlags, e.down}); };
        if (local) monitor_->addLocalMonitor(mask, handler);
        else monitor_->addGlobalMonitor(mask, handler);
      }
    waitUntil([&] { return monitor_->keyboardCount() == early_.size(); });
  }

  void waitUntil(const std::function<bool()>& done) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done() && std::chrono::steady_clock::now() < limit) {
      queue_.runUntilIdle();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    queue_.runUntilIdle();
  }

  // Everything delivered up to a closing Escape typed on `last`, which is left out.
  std::vector<Seen> collect(Typist& last) {
    last.press(KEY_ESC);
    last.release(KEY_ESC);
    waitUntil([&] { return !seen_.empty() && seen_.back().keyCode == 53; });
    EXPECT_FALSE(seen_.empty());
    if (!seen_.empty()) seen_.pop_back();
    return std::exchange(seen_, {});
  }

  Typist& typist(const std::string& path) { return *typists_.at(path); }

  PostedWork queue_;
  std::map<std::string, int> early_{{"/dev/input/event3", 0}, {"/dev/input/event7", 0}};
  std::map<std::string, std::unique_ptr<Typist>> typists_;
  FakeSource* source_ = nullptr;
  bool ownsFocus_ = false;
  std::unique_ptr<EvdevKeyMonitor> monitor_;
  std::vector<Seen> seen_;
};

Seen pressed(std::uint16_t code, std::uint64_t flags) { return {false, EventMask::flagsChanged, code, flags, true}; }
Seen released(std::uint16_t code, std::uint64_t flags) { return {false, EventMask::flagsChanged, code, flags, false}; }
Seen keyDown(std::uint16_t code, std::uint64_t flags) { return {false, EventMask::keyDown, code, flags, true}; }

// Events of different keyboards have no order between them until read, so each step is collected
// before the next.
struct Step {
  const char* keyboard;
  unsigned code;
  int value;
  std::vector<Seen> expected;
};

TEST_F(EvdevKeyMonitorTest, ModifiersAreTrackedAcrossKeyboards) {
  startMonitor();
  const char* a = "/dev/input/event3";
  const char* b = "/dev/input/event7";
  const Step steps[] = {
      {a, KEY_LEFTSHIFT, 1, {pressed(56, shift)}},
      {b, KEY_RIGHTALT, 1, {pressed(61, option | shift)}},
      {b, KEY_V, 1, {keyDown(9, option | shift)}},  // key downs carry the flags of every keyboard
      {b, KEY_V, 0, {}},
      {a, KEY_LEFTSHIFT, 0, {released(56, option)}},
      {b, KEY_RIGHTALT, 0, {released(61, 0)}},
      // One key held on both keyboards is down until both let go.
      {a, KEY_RIGHTALT, 1, {pressed(61, option)}},
      {b, KEY_RIGHTALT, 1, {}},
      {a, KEY_RIGHTALT, 0, {}},
      {b, KEY_RIGHTALT, 0, {released(61, 0)}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(std::string(step.keyboard) + " key " + std::to_string(step.code) + " value " + std::to_string(step.value));
    typist(step.keyboard).key(step.code, step.value);
    EXPECT_EQ(collect(typist(step.keyboard)), step.expected);
  }
}

// Keys without a desktop code go down as "another key"; a mouse button or a wheel turn on the same
// device goes down as the pointer (Shift+click makes a chord), a joystick button as nothing.
TEST_F(EvdevKeyMonitorTest, AutoRepeatIsIgnoredAndKeysWithoutDesktopCodesGoDownAsOtherKeys) {
  startMonitor();
  Typist& a = typist("/dev/input/event3");
  a.press(KEY_RIGHTCTRL);
  for (int i = 0; i < 3; ++i) a.key(KEY_RIGHTCTRL, 2);
  a.press(KEY_A);
  a.key(KEY_A, 2);
  a.release(KEY_A);
  a.press(KEY_F5);
  a.key(KEY_F5, 2);
  a.release(KEY_F5);
  a.press(KEY_END);
  a.release(KEY_END);
  a.press(BTN_LEFT);
  a.release(BTN_LEFT);
  a.press(BTN_SIDE);
  a.release(BTN_SIDE);
  a.wheel(REL_WHEEL, -1);
  a.wheel(REL_HWHEEL_HI_RES, 60);
  a.wheel(REL_X, 5);  // moving the pointer is nothing
  a.press(BTN_TRIGGER);
  a.release(BTN_TRIGGER);
  a.press(KEY_FN);
  a.release(KEY_RIGHTCTRL);
  a.release(KEY_LEFTALT);  // a release without a press
  EXPECT_EQ(collect(a), (std::vector<Seen>{pressed(62, control), keyDown(0, control), keyDown(kOtherKeyCode, control),
                                           keyDown(kOtherKeyCode, control), keyDown(kPointerCode, control),
                                           keyDown(kPointerCode, control), keyDown(kPointerCode, control),
                                           keyDown(kPointerCode, control), keyDown(kOtherKeyCode, control),
                                           released(62, 0)}));
}

TEST_F(EvdevKeyMonitorTest, AKeyboardThatDisappearsReleasesWhatItHeld) {
  startMonitor();
  const char* a = "/dev/input/event3";
  const char* b = "/dev/input/event7";
  const Step steps[] = {
      {b, KEY_RIGHTSHIFT, 1, {pressed(60, shift)}},
      {a, KEY_RIGHTALT, 1, {pressed(61, option | shift)}},
      {a, KEY_RIGHTSHIFT, 1, {}},  // also held on b: stays down after a goes
  };
  // Gone as its node ends, or as the source reports it removed first.
  for (bool reported : {false, true}) {
    SCOPED_TRACE(reported ? "reported removed" : "end of file");
    if (reported) {
      typist(a).unplug();
      typists_[a] = source_->keyboard(a, true);
      waitUntil([&] { return monitor_->keyboardCount() == 2; });
    }
    for (const Step& step : steps) {
      typist(step.keyboard).key(step.code, step.value);
      EXPECT_EQ(collect(typist(step.keyboard)), step.expected);
    }
    if (reported)
      source_->reportRemoved(a);
    else
      typist(a).unplug();
    waitUntil([&] { return monitor_->keyboardCount() == 1; });
    EXPECT_EQ(monitor_->keyboardCount(), 1u);
    EXPECT_EQ(collect(typist(b)), (std::vector<Seen>{released(61, shift)}));
    typist(b).release(KEY_RIGHTSHIFT);
    EXPECT_EQ(collect(typist(b)), (std::vector<Seen>{released(60, 0)}));
  }
}

TEST_F(EvdevKeyMonitorTest, PluggedKeyboardsAreReadAndKeysHeldWhenOpenedCount) {
  early_.clear();
  startMonitor();
  auto late = source_->keyboard("/dev/input/event12", true, {KEY_LEFTCTRL});
  waitUntil([&] { return monitor_->keyboardCount() == 1; });
  ASSERT_EQ(monitor_->keyboardCount(), 1u);
  late->press(KEY_C);
  late->release(KEY_LEFTCTRL);  // held before it was opened: its release is seen
  EXPECT_EQ(collect(*late), (std::vector<Seen>{keyDown(8, control), released(59, 0)}));
}

TEST_F(EvdevKeyMonitorTest, EventsGoToLocalMonitorsWhileThisApplicationHasTheFocus) {
  startMonitor();
  Typist& a = typist("/dev/input/event3");
  ownsFocus_ = true;
  a.press(KEY_LEFTMETA);
  a.release(KEY_LEFTMETA);
  const std::uint64_t command = platform::desktop::ModifierFlag::command;
  EXPECT_EQ(collect(a), (std::vector<Seen>{{true, EventMask::flagsChanged, 55, command, true},
                                           {true, EventMask::flagsChanged, 55, 0, false}}));
}

TEST_F(EvdevKeyMonitorTest, DeliveriesPendingWhenTheMonitorEndsAreDropped) {
  startMonitor();
  Typist& a = typist("/dev/input/event3");
  a.press(KEY_LEFTALT);
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (queue_.pendingCount() == 0 && std::chrono::steady_clock::now() < limit)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_GT(queue_.pendingCount(), 0u);
  monitor_.reset();
  queue_.runUntilIdle();
  EXPECT_TRUE(seen_.empty());
}

}  // namespace
}  // namespace platform::desktop
