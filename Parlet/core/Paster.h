// Delivers text into the focused application the way a user would: puts it on the clipboard,
// pastes (the paste action when this application has focus, else the chord the focused window
// pastes with, PasteChords.h), and 0.6 s later puts back what the clipboard held before. A window
// that pastes the PRIMARY selection (xterm) is offered the text there too, and the selection is
// put back the same way. Pastes that follow one another within 0.6 s keep the first snapshot and
// restore it once, 0.6 s after the last paste, so the user's own clipboard and selection survive.
// Main thread only; the restore runs on the main queue.
//   paster.paste("Hello there");
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "KestrumCore/MainQueue.h"
#include "Parlet/core/ParletLog.h"
#include "platform/Desktop/PasteSeams.h"

namespace parlet {

using platform::desktop::FocusedApplication;
using platform::desktop::PasteChord;
using platform::desktop::PasteKeys;
using platform::desktop::Pasteboard;
using platform::desktop::PasteboardItem;
using platform::desktop::PasteboardSnapshot;

class Paster {
 public:
  struct Dependencies {
    kestrum::MainQueue* mainQueue = nullptr;  // required
    std::shared_ptr<Pasteboard> pasteboard;   // required
    std::shared_ptr<PasteKeys> keys;          // required
    std::shared_ptr<FocusedApplication> focus;  // required
    LogSink log;                                // default: ParletLog
    // Blocks the main thread briefly before the keys are sent; default std::this_thread::sleep_for.
    std::function<void(std::chrono::microseconds)> pause;
    // The PRIMARY selection. Without it a window that pastes only the selection gets Ctrl+V.
    std::shared_ptr<Pasteboard> selection;
  };

  static constexpr std::chrono::milliseconds restoreDelay{600};

  // Throws std::invalid_argument when a required dependency is missing.
  explicit Paster(Dependencies dependencies);
  Paster(const Paster&) = delete;
  Paster& operator=(const Paster&) = delete;

  // Does nothing for an empty text.
  void paste(const std::string& text);

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace parlet
