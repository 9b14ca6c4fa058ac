// Delivers text into the focused application the way a user would: puts it on the clipboard,
// pastes (the paste action when this application has focus, else the chord the focused window
// pastes with, PasteChords.h), and 0.6 s after the chord puts back what the clipboard held before. A
// window that pastes the PRIMARY selection (xterm) is offered the text there too, and the selection is
// put back the same way. Pastes that follow one another within 0.6 s keep the first snapshot and
// restore it once, 0.6 s after the last chord, so the user's own clipboard and selection survive.
// Nothing here blocks the main thread, which serves the clipboard: the chord goes once the focused
// window has asked for the new clipboard (some windows ignore a chord that comes before that answer),
// or after `requestWait`. Pastes run one after another. With a menu of this application open, the menu
// is closed and the text goes to the window that had the focus before it. A paste whose chord cannot
// be typed, or whose window cannot get the focus back, leaves the text on the clipboard (nothing is
// restored) and reports `keptOnClipboard`. Main thread only; the waits run on the main queue.
//   paster.paste("Hello there", [](Paster::Outcome outcome) { ... });
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "KestrumCore/MainQueue.h"
#include "Parlet/core/ParletLog.h"
#include "platform/Desktop/PasteSeams.h"

namespace parlet {

using platform::desktop::ClipboardRequest;
using platform::desktop::ClipboardRequests;
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
    // The PRIMARY selection. Without it a window that pastes only the selection gets Ctrl+V.
    std::shared_ptr<Pasteboard> selection;
    // Requests of other applications for the clipboard. Without it every chord waits `requestWait`.
    std::shared_ptr<ClipboardRequests> requests;
  };

  enum class Outcome {
    pasted,           // the paste action was handled or the chord was typed
    keptOnClipboard,  // nothing was typed: the text stays on the clipboard
  };
  using Done = std::function<void(Outcome)>;

  static constexpr std::chrono::milliseconds restoreDelay{600};
  // The longest wait for the focused window's first request for the new clipboard, before the chord,
  // and again after it before the next paste may take the clipboard.
  static constexpr std::chrono::milliseconds requestWait{250};
  // After that request: time for the answer to reach the window.
  static constexpr std::chrono::milliseconds answerGrace{20};
  // Before the chord that follows a paste action no widget handled.
  static constexpr std::chrono::milliseconds actionFallbackDelay{20};
  // The longest wait for the focus to come back once this application's menu is closed.
  static constexpr std::chrono::milliseconds focusWait{500};

  // Throws std::invalid_argument when a required dependency is missing.
  explicit Paster(Dependencies dependencies);
  ~Paster();
  Paster(const Paster&) = delete;
  Paster& operator=(const Paster&) = delete;

  // Does nothing for an empty text. `done` is called once the paste has gone or failed.
  void paste(const std::string& text, Done done = {});

  // What the pill says when a paste left the text on the clipboard.
  static constexpr const char* keptNotice = "Couldn't paste: the text is on the clipboard";

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace parlet
