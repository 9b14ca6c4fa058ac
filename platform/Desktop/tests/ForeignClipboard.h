// Another X client's side of the clipboard, for tests: a thread that owns CLIPBOARD (or another selection,
// such as PRIMARY) and serves fixed bytes for its targets, and a reader that converts a target and returns the bytes (INCR transfers included).
// Each uses a connection of its own, so the test's Qt event loop must keep running meanwhile.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace desktoptest {

class ForeignClipboardOwner {
 public:
  // Takes the selection with these (target, bytes) pairs; returns once it owns it. A connection to
  // the X server that does not come up within 10 s fails the test here (and owns() is false).
  explicit ForeignClipboardOwner(std::map<std::string, std::string> targets, std::string selection = "CLIPBOARD");
  ~ForeignClipboardOwner();
  // Whether it still owns the clipboard (it stops serving once another client takes it).
  bool owns() const { return state_->owns; }

 private:
  // Shared with the serving thread, which is let go, not waited for, when it never came up.
  struct State {
    std::map<std::string, std::string> targets;
    std::string selection;
    std::atomic<bool> owns{false}, stop{false}, ready{false};
  };
  static void serve(State& state);
  std::shared_ptr<State> state_;
  std::thread thread_;
};

// The bytes the selection's owner gives for `target`; nothing when it refuses or does not answer.
std::optional<std::string> readClipboard(const std::string& target, const std::string& selection = "CLIPBOARD");
// The clipboard's targets (its TARGETS list), by name.
std::vector<std::string> clipboardTargets();
// Clears the clipboard's owner (as if the owning application quit).
void dropClipboardOwner();

}  // namespace desktoptest
