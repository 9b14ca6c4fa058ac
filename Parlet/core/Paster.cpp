#include "Parlet/core/Paster.h"

#include <deque>
#include <optional>
#include <stdexcept>

#include "Parlet/core/PasteChords.h"
#include "Parlet/core/detail/Text.h"

namespace parlet {

struct Paster::State : std::enable_shared_from_this<Paster::State> {
  using TimerId = kestrum::MainQueue::TimerId;
  struct Job {
    std::string text;
    Done done;
  };
  // A wait for the focused window's next request, ended by it (plus answerGrace) or by requestWait.
  struct Wait {
    bool primary = false;
    std::function<void()> then;
    TimerId timer = 0;
    bool heard = false;
  };

  Dependencies deps;
  std::deque<Job> jobs;
  std::optional<Job> current;  // the paste under way; later ones wait in `jobs`
  std::optional<Wait> wait;
  // The clipboard as it was before the first of a run of pastes, while its restore is pending.
  std::optional<PasteboardSnapshot> pending;
  // The selection as it was before the first paste of the run that borrowed it.
  std::optional<PasteboardSnapshot> pendingSelection;
  TimerId restoreTimer = 0;

  kestrum::MainQueue& queue() { return *deps.mainQueue; }

  // Timers hold the state strongly: a paste under way, and its restore, end even if the paster is gone.
  void after(std::chrono::milliseconds delay, void (State::*step)()) {
    queue().postAfter(delay, [self = shared_from_this(), step] { ((*self).*step)(); });
  }

  void next() {
    if (current || jobs.empty()) return;
    current = std::move(jobs.front());
    jobs.pop_front();
    if (!deps.focus->popupOpen()) return begin();
    // The menu holds the keyboard: a chord now would go into it.
    deps.log("paste: a menu of Parlet is open: closing it to paste into the window that had the focus");
    if (!deps.focus->closePopups()) return keep("no window to go back to");
    const auto deadline = queue().now() + focusWait;
    waitForFocus(deadline);
  }

  void waitForFocus(kestrum::MainQueue::Duration deadline) {
    if (!deps.focus->popupOpen() && deps.focus->focusReturned()) return begin();
    if (queue().now() >= deadline) return keep("the focus did not come back to the window");
    queue().postAfter(std::chrono::milliseconds(20), [self = shared_from_this(), deadline] { self->waitForFocus(deadline); });
  }

  void begin() {
    Dependencies& d = deps;
    const std::string& text = current->text;
    if (pending) {
      // A restore is still due: the clipboard now holds our own earlier text, not the user's.
      queue().cancel(restoreTimer);
      restoreTimer = 0;
    } else {
      pending = d.pasteboard->items();
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
      if (handled) return pasted(false);
      chord = PasteChord::controlV;
      after(actionFallbackDelay, &State::sendActionFallback);
      return;
    }
    chord = prepareChord(text);
    // The window may ask for the clipboard's targets first and ignore a chord that comes before the answer.
    awaitRequest(pastesSelection(chord), [this] { sendChord("paste: posted " + chordName(chord)); });
  }

  PasteChord chord = PasteChord::controlV;  // of the paste under way

  void sendActionFallback() { sendChord("paste: sendAction failed, fell back to Ctrl+V"); }

  void sendChord(const std::string& line) {
    if (!deps.keys->sendPasteChord(chord)) return keep(chordName(chord) + " could not be typed");
    deps.log(line);
    pasted(true);
  }

  // `typed`: a chord went, and the window fetches the text now: the next paste waits for that.
  void pasted(bool typed) {
    restoreTimer = queue().postAfter(restoreDelay, [self = shared_from_this()] { self->restore(); });
    Job job = std::move(*current);
    if (job.done) job.done(Outcome::pasted);
    if (!typed) return finish();
    awaitRequest(pastesSelection(chord), [this] { finish(); });
  }

  void keep(const std::string& why) {
    if (restoreTimer != 0) queue().cancel(restoreTimer);
    restoreTimer = 0;
    pending.reset();  // the text stays: nothing of the run is put back over it
    restoreSelection();
    deps.pasteboard->clearContents();
    deps.pasteboard->setString(current->text);
    deps.log("paste: not pasted (" + why + "); the text stays on the clipboard");
    Job job = std::move(*current);
    if (job.done) job.done(Outcome::keptOnClipboard);
    finish();
  }

  void finish() {
    current.reset();
    next();
  }

  void awaitRequest(bool primary, std::function<void()> then) {
    wait = Wait{primary, std::move(then)};
    wait->timer = queue().postAfter(requestWait, [self = shared_from_this()] { self->endWait(); });
  }

  void heard(const ClipboardRequest& request) {
    if (!wait || wait->heard || request.primary != wait->primary || !request.fromFocusedWindow) return;
    wait->heard = true;
    queue().cancel(wait->timer);
    // Runs after the request is answered, since the answer comes as soon as the handler returns.
    wait->timer = queue().postAfter(answerGrace, [self = shared_from_this()] { self->endWait(); });
  }

  void endWait() {
    if (!wait) return;
    auto then = std::move(wait->then);
    wait.reset();
    then();
  }

  void restore() {
    restoreTimer = 0;
    if (!pending) return;
    PasteboardSnapshot saved = std::move(*pending);
    pending.reset();
    if (!saved.empty()) {  // an empty clipboard keeps the dictated text
      deps.pasteboard->clearContents();
      deps.pasteboard->writeItems(saved);
    }
    restoreSelection();
  }

  void restoreSelection() {
    if (!pendingSelection) return;
    // The selection was only borrowed for the chord: an empty one is left empty again.
    PasteboardSnapshot selection = std::move(*pendingSelection);
    pendingSelection.reset();
    deps.selection->clearContents();
    if (!selection.empty()) deps.selection->writeItems(selection);
  }

  // The chord the focused window pastes with, offering the text as the selection where it pastes that.
  PasteChord prepareChord(const std::string& text) {
    PasteChord found = pasteChordFor(deps.focus->focusedWindowClass());
    if (!pastesSelection(found)) return found;
    if (!deps.selection) return PasteChord::controlV;
    if (!pendingSelection) pendingSelection = deps.selection->items();
    deps.selection->clearContents();
    deps.selection->setString(text);
    return found;
  }
};

Paster::Paster(Dependencies dependencies) : state_(std::make_shared<State>()) {
  if (!dependencies.mainQueue || !dependencies.pasteboard || !dependencies.keys || !dependencies.focus)
    throw std::invalid_argument("Paster needs a main queue, a pasteboard, paste keys and the focused application");
  if (!dependencies.log) dependencies.log = ParletLog::sink();
  state_->deps = std::move(dependencies);
  if (state_->deps.requests) {
    std::weak_ptr<State> weak = state_;
    state_->deps.requests->setHandler([weak](const ClipboardRequest& request) {
      if (auto self = weak.lock()) self->heard(request);
    });
  }
}

Paster::~Paster() {
  if (state_->deps.requests) state_->deps.requests->setHandler({});
}

void Paster::paste(const std::string& text, Done done) {
  if (text.empty()) return;
  state_->jobs.push_back({text, std::move(done)});
  state_->next();
}

}  // namespace parlet
