#include "Parlet/core/Paster.h"

#include <optional>
#include <stdexcept>
#include <thread>

#include "Parlet/core/PasteChords.h"
#include "Parlet/core/detail/Text.h"

namespace parlet {

struct Paster::State {
  Dependencies deps;
  // The clipboard as it was before the first of a run of pastes, while its restore is pending.
  std::optional<PasteboardSnapshot> pending;
  // The selection as it was before the first paste of the run that borrowed it.
  std::optional<PasteboardSnapshot> pendingSelection;
  kestrum::MainQueue::TimerId restoreTimer = 0;

  void restore() {
    restoreTimer = 0;
    PasteboardSnapshot saved = std::move(*pending);
    pending.reset();
    if (!saved.empty()) {  // an empty clipboard keeps the dictated text
      deps.pasteboard->clearContents();
      deps.pasteboard->writeItems(saved);
    }
    if (pendingSelection) {
      // The selection was only borrowed for the chord: an empty one is left empty again.
      PasteboardSnapshot selection = std::move(*pendingSelection);
      pendingSelection.reset();
      deps.selection->clearContents();
      if (!selection.empty()) deps.selection->writeItems(selection);
    }
  }

  // The chord the focused window pastes with, offering the text as the selection where it pastes that.
  PasteChord prepareChord(const std::string& text) {
    PasteChord chord = pasteChordFor(deps.focus->focusedWindowClass());
    if (!pastesSelection(chord)) return chord;
    if (!deps.selection) return PasteChord::controlV;
    if (!pendingSelection) pendingSelection = deps.selection->items();
    deps.selection->clearContents();
    deps.selection->setString(text);
    return chord;
  }
};

Paster::Paster(Dependencies dependencies) : state_(std::make_shared<State>()) {
  if (!dependencies.mainQueue || !dependencies.pasteboard || !dependencies.keys || !dependencies.focus)
    throw std::invalid_argument("Paster needs a main queue, a pasteboard, paste keys and the focused application");
  if (!dependencies.log) dependencies.log = ParletLog::sink();
  if (!dependencies.pause) dependencies.pause = [](std::chrono::microseconds d) { std::this_thread::sleep_for(d); };
  state_->deps = std::move(dependencies);
}

void Paster::paste(const std::string& text) {
  if (text.empty()) return;
  State& s = *state_;
  Dependencies& d = s.deps;

  if (s.pending) {
    // A restore is still due: the clipboard now holds our own earlier text, not the user's.
    d.mainQueue->cancel(s.restoreTimer);
    s.restoreTimer = 0;
  } else {
    s.pending = d.pasteboard->items();
  }
  d.pasteboard->clearContents();
  d.pasteboard->setString(text);

  std::optional<std::string> frontId = d.focus->frontmostApplicationId();
  std::optional<std::string> ownId = d.focus->ownApplicationId();
  std::string front = frontId.value_or("?");
  bool isSelf = frontId && ownId && *frontId == *ownId;
  std::string keyWin = d.focus->keyWindowTitle().value_or("?");
  std::string firstResp = d.focus->firstResponderTypeName().value_or("nil");
  std::optional<std::string> readBack = d.pasteboard->string();
  std::string wrote = readBack ? std::to_string(detail::characterCount(*readBack)) : "-1";
  d.log("paste: front=" + front + " isSelf=" + (isSelf ? "true" : "false") + " keyWin=" + keyWin +
        " firstResp=" + firstResp + " chars=" + std::to_string(detail::characterCount(text)) + " wrote_pb=" + wrote);

  if (isSelf) {
    bool handled = d.focus->sendPasteAction();
    d.log(std::string("paste: sendAction(paste:) result=") + (handled ? "true" : "false"));
    if (!handled) {
      d.pause(std::chrono::microseconds(20000));
      d.keys->sendPasteChord(PasteChord::controlV);
      d.log("paste: sendAction failed, fell back to Ctrl+V");
    }
  } else {
    const PasteChord chord = s.prepareChord(text);
    d.pause(std::chrono::microseconds(30000));
    d.keys->sendPasteChord(chord);
    d.log("paste: posted " + chordName(chord));
  }

  // Holds the state strongly: the restore happens even if the paster is gone by then.
  s.restoreTimer = d.mainQueue->postAfter(restoreDelay, [state = state_] { state->restore(); });
}

}  // namespace parlet
