#include "Parlet/core/Paster.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Parlet/core/tests/Fakes.h"

namespace parlet {
namespace {

using ::testing::ElementsAre;
using std::chrono::milliseconds;
using Plain = testing::FakePasteboard;
using platform::desktop::WindowClass;

class PasterTest : public ::testing::Test {
 protected:
  std::unique_ptr<Paster> makePaster() {
    return std::make_unique<Paster>(Paster::Dependencies{&queue, pasteboard, keys, focus,
                                                         [this](const std::string& line) { log.push_back(line); },
                                                         selection, requests});
  }
  // `ms` after `origin`.
  void at(int ms) { queue.advance(origin + milliseconds(ms) - queue.now()); }
  kestrum::MainQueue::Duration origin{0};
  // Where the chord goes when no window asks for the clipboard first.
  static constexpr int chordAt = static_cast<int>(Paster::requestWait.count());
  Paster::Done record() {
    return [this](Paster::Outcome outcome) { outcomes.push_back(outcome); };
  }

  kestrum::ManualMainQueue queue;
  std::shared_ptr<testing::FakePasteboard> pasteboard = std::make_shared<testing::FakePasteboard>();
  std::shared_ptr<testing::FakePasteKeys> keys = std::make_shared<testing::FakePasteKeys>();
  std::shared_ptr<testing::FakeFocus> focus = std::make_shared<testing::FakeFocus>();
  std::shared_ptr<testing::FakePasteboard> selection = std::make_shared<testing::FakePasteboard>();
  std::shared_ptr<testing::FakeClipboardRequests> requests = std::make_shared<testing::FakeClipboardRequests>();
  std::vector<std::string> log;
  std::vector<Paster::Outcome> outcomes;
  // An image item and a rich-text item, with bytes that are not text.
  const PasteboardSnapshot userClipboard = {
      {{"image/png", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16)}},
      {{"text/rtf", "{\\rtf1 caf\\'e9}"}, {Plain::plainText, "caf\xC3\xA9"}}};
};

TEST_F(PasterTest, EmptyTextTouchesNothing) {
  pasteboard->contents = userClipboard;
  makePaster()->paste("");
  queue.advance(std::chrono::seconds(2));
  EXPECT_EQ(pasteboard->contents, userClipboard);
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(keys->chords, 0);
}

TEST_F(PasterTest, PastesWithTheChordAndRestoresTheClipboard600msLater) {
  pasteboard->contents = userClipboard;
  auto paster = makePaster();
  paster->paste("Grüße, world", record());
  EXPECT_EQ(pasteboard->string(), "Grüße, world");
  EXPECT_EQ(keys->chords, 0);  // the main thread serves the clipboard meanwhile
  at(chordAt);
  EXPECT_EQ(keys->chords, 1);
  EXPECT_THAT(outcomes, ElementsAre(Paster::Outcome::pasted));
  EXPECT_THAT(log, ElementsAre("paste: front=org.example.editor isSelf=false keyWin=? firstResp=nil chars=12 wrote_pb=12",
                               "paste: posted Ctrl+V"));
  at(chordAt + 599);
  EXPECT_EQ(pasteboard->string(), "Grüße, world");
  at(chordAt + 600);
  EXPECT_EQ(pasteboard->contents, userClipboard);
}

// A window that asks for the clipboard's targets as soon as its owner changes ignores a chord that
// comes before the answer: the chord waits for the focused window's first request (answered when the
// handler returns), or for the bound. Requests of other clients, or for the other selection, do not count.
TEST_F(PasterTest, TheChordWaitsForTheFocusedWindowsFirstRequestWithABound) {
  struct Request {
    int at;
    bool primary;
    bool fromFocusedWindow;
  };
  struct Case {
    const char* name;
    std::optional<WindowClass> window;
    std::vector<Request> requests;
    int chordAt;
  };
  const int grace = static_cast<int>(Paster::answerGrace.count());
  const Case cases[] = {
      {"the focused window asks at once", {}, {{3, false, true}}, 3 + grace},
      {"a clipboard manager asks first", {}, {{1, false, false}, {40, false, true}}, 40 + grace},
      {"only the selection is asked for", {}, {{2, true, true}}, chordAt},
      {"nobody asks", {}, {}, chordAt},
      {"xterm asks for the selection", WindowClass{"XTerm", "xterm"}, {{5, false, true}, {9, true, true}}, 9 + grace},
      {"a request after the bound", {}, {{chordAt + 10, false, true}}, chordAt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    origin = queue.now();
    focus->windowClass = c.window;
    keys->chords = 0;
    auto paster = makePaster();
    paster->paste("echo hi");
    int sentAt = -1;
    for (int ms = 0; ms <= chordAt + 50 && sentAt < 0; ++ms) {
      at(ms);
      for (const Request& r : c.requests)
        if (r.at == ms) requests->request(r.primary, r.fromFocusedWindow);
      if (keys->chords > 0) sentAt = ms;
    }
    EXPECT_EQ(sentAt, c.chordAt);
    EXPECT_EQ(keys->chords, 1);
    queue.advance(std::chrono::seconds(2));
  }
}

// Two transcripts that finish together: the second takes the clipboard only after the window has
// fetched the first, so each chord pastes its own text.
TEST_F(PasterTest, PastesGoOneAfterAnotherEachChordWithItsOwnText) {
  pasteboard->contents = userClipboard;
  auto paster = makePaster();
  std::vector<std::string> pastedTexts;
  paster->paste("first", [&](Paster::Outcome) { pastedTexts.push_back(*pasteboard->string()); });
  paster->paste("second", [&](Paster::Outcome) { pastedTexts.push_back(*pasteboard->string()); });
  EXPECT_EQ(pasteboard->string(), "first");
  at(10);
  requests->request(false, true);  // the window's first look at the new clipboard
  at(40);
  EXPECT_THAT(pastedTexts, ElementsAre("first"));
  EXPECT_EQ(pasteboard->string(), "first");  // the window has not fetched it yet
  at(60);
  requests->request(false, true);  // it fetches the text
  at(100);
  EXPECT_EQ(pasteboard->string(), "second");
  at(100 + chordAt);
  EXPECT_THAT(pastedTexts, ElementsAre("first", "second"));
  EXPECT_EQ(keys->chords, 2);
  at(100 + chordAt + 600);
  EXPECT_EQ(pasteboard->contents, userClipboard);
}

// A chord that cannot be typed (no key for it, no display): never logged as posted, the text stays on
// the clipboard (no restore puts the old one over it), and a borrowed selection goes back at once.
TEST_F(PasterTest, AChordThatCannotBeTypedLeavesTheTextOnTheClipboard) {
  pasteboard->contents = userClipboard;
  selection->contents = {{{Plain::plainText, "selected by the user"}}};
  focus->windowClass = WindowClass{"XTerm", "xterm"};
  keys->typeable = false;
  auto paster = makePaster();
  paster->paste("make install", record());
  at(chordAt);
  EXPECT_THAT(outcomes, ElementsAre(Paster::Outcome::keptOnClipboard));
  EXPECT_EQ(log.back(), "paste: not pasted (Shift+Insert could not be typed); the text stays on the clipboard");
  EXPECT_EQ(selection->string(), "selected by the user");
  at(5000);
  EXPECT_EQ(pasteboard->string(), "make install");
  EXPECT_EQ(pasteboard->writes, 0);

  // Also when an earlier paste's restore was still due.
  keys->typeable = true;
  focus->windowClass.reset();
  paster->paste("one");
  at(5000 + chordAt);
  keys->typeable = false;
  paster->paste("two", record());
  at(5000 + 3 * chordAt);
  EXPECT_EQ(outcomes.back(), Paster::Outcome::keptOnClipboard);
  at(9000);
  EXPECT_EQ(pasteboard->string(), "two");
}

// With this application's menu open the chord would go into the menu: the menu is closed and the
// text goes to the window that had the focus before it; where that cannot be, it stays on the clipboard.
TEST_F(PasterTest, WithItsOwnMenuOpenItPastesIntoTheWindowBelowOrKeepsTheText) {
  struct Case {
    const char* name;
    bool canGoBack;
    int focusBackAt;  // -1: never
    Paster::Outcome outcome;
  };
  const Case cases[] = {
      {"the focus is back at once", true, 0, Paster::Outcome::pasted},
      {"the focus comes back later", true, 300, Paster::Outcome::pasted},
      {"the focus never comes back", true, -1, Paster::Outcome::keptOnClipboard},
      {"no window to go back to", false, -1, Paster::Outcome::keptOnClipboard},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    origin = queue.now();
    pasteboard->contents = userClipboard;
    focus->popup = true;
    focus->canGoBack = c.canGoBack;
    focus->returned = c.focusBackAt == 0;
    keys->chords = 0;
    outcomes.clear();
    log.clear();
    auto paster = makePaster();
    paster->paste("into the editor", record());
    EXPECT_EQ(log.front(), "paste: a menu of Parlet is open: closing it to paste into the window that had the focus");
    for (int ms = 0; ms <= 2000; ms += 10) {
      if (ms == c.focusBackAt) focus->returned = true;
      at(ms);
    }
    EXPECT_THAT(outcomes, ElementsAre(c.outcome));
    EXPECT_EQ(keys->chords, c.outcome == Paster::Outcome::pasted ? 1 : 0);
    EXPECT_EQ(pasteboard->string().value_or(""),
              c.outcome == Paster::Outcome::pasted ? "caf\xC3\xA9" : "into the editor");
  }
}

TEST_F(PasterTest, AnEmptyClipboardKeepsTheDictatedText) {
  makePaster()->paste("hello");
  at(1000);
  EXPECT_EQ(pasteboard->string(), "hello");
  EXPECT_EQ(pasteboard->writes, 0);
}

TEST_F(PasterTest, InsideThisApplicationPastesThroughTheFocusedWidget) {
  focus->front = focus->own;
  focus->keyWindow = "Archive";
  focus->firstResponder = "QLineEdit";
  makePaster()->paste("hi");
  EXPECT_EQ(focus->pasteActions, 1);
  at(1000);
  EXPECT_EQ(keys->chords, 0);
  EXPECT_THAT(log, ElementsAre("paste: front=org.parlet.Parlet isSelf=true keyWin=Archive firstResp=QLineEdit chars=2 wrote_pb=2",
                               "paste: sendAction(paste:) result=true"));

  log.clear();
  focus->pasteActionHandled = false;
  makePaster()->paste("hi");
  at(1019);
  EXPECT_EQ(keys->chords, 0);
  at(1020);
  EXPECT_EQ(keys->chords, 1);
  EXPECT_THAT(log, ElementsAre(::testing::_, "paste: sendAction(paste:) result=false",
                               "paste: sendAction failed, fell back to Ctrl+V"));
}

TEST_F(PasterTest, UnknownOwnIdentifierIsNeverSelf) {
  focus->own.reset();
  focus->front.reset();
  makePaster()->paste("a");
  at(chordAt);
  EXPECT_EQ(log.front(), "paste: front=? isSelf=false keyWin=? firstResp=nil chars=1 wrote_pb=1");
  EXPECT_EQ(keys->chords, 1);
}

TEST_F(PasterTest, PastesWithin600msRestoreTheUsersClipboardOnceAfterTheLast) {
  pasteboard->contents = userClipboard;
  auto paster = makePaster();
  paster->paste("first dictation");
  at(550);  // the first chord went at 250, the wait after it ended at 500
  paster->paste("second dictation");
  at(850);  // the first paste's restore would have run here
  EXPECT_EQ(pasteboard->string(), "second dictation");
  at(1399);  // the second chord went at 800
  EXPECT_EQ(pasteboard->string(), "second dictation");
  at(1400);
  EXPECT_EQ(pasteboard->contents, userClipboard);
  EXPECT_EQ(pasteboard->writes, 1);
  at(5000);
  EXPECT_EQ(pasteboard->writes, 1);

  // A later paste takes a fresh snapshot.
  pasteboard->contents = {{{Plain::plainText, "copied later"}}};
  paster->paste("third");
  at(5000 + chordAt + 600);
  EXPECT_EQ(pasteboard->string(), "copied later");
}

TEST_F(PasterTest, RestoreRunsEvenWhenThePasterIsGone) {
  pasteboard->contents = userClipboard;
  makePaster()->paste("text");
  at(chordAt + 600);
  EXPECT_EQ(keys->chords, 1);
  EXPECT_EQ(pasteboard->contents, userClipboard);
}

TEST_F(PasterTest, ATerminalGetsItsOwnChordAndOnlyASelectionPasterIsOfferedTheSelection) {
  struct Case {
    WindowClass window;
    PasteChord chord;
    std::string logged;
    bool selectionHoldsText;
  };
  const Case cases[] = {
      {{"Firefox", "Navigator"}, PasteChord::controlV, "paste: posted Ctrl+V", false},
      {{"Xfce4-terminal", "xfce4-terminal"}, PasteChord::controlShiftV, "paste: posted Ctrl+Shift+V", false},
      {{"XTerm", "xterm"}, PasteChord::shiftInsert, "paste: posted Shift+Insert", true},
      {{"Emacs", "emacs"}, PasteChord::controlY, "paste: posted Ctrl+Y", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.window.className);
    pasteboard->contents = userClipboard;
    selection->contents = {{{Plain::plainText, "selected by the user"}}};
    focus->front = c.window.className;
    focus->windowClass = c.window;
    keys->sent.clear();
    log.clear();
    origin = queue.now();
    makePaster()->paste("ls -la");
    at(chordAt);
    EXPECT_THAT(keys->sent, ElementsAre(c.chord));
    EXPECT_EQ(log.back(), c.logged);
    EXPECT_EQ(pasteboard->string(), "ls -la");
    EXPECT_EQ(selection->string(), c.selectionHoldsText ? "ls -la" : "selected by the user");
    queue.advance(Paster::restoreDelay);
    EXPECT_EQ(pasteboard->contents, userClipboard);
    EXPECT_EQ(selection->contents, (PasteboardSnapshot{{{Plain::plainText, "selected by the user"}}}));
  }
}

TEST_F(PasterTest, TheSelectionComesBackByteForByteAndAnEmptyOneIsLeftEmpty) {
  focus->windowClass = WindowClass{"URxvt", "urxvt"};
  selection->contents = userClipboard;
  auto paster = makePaster();
  paster->paste("make test");
  EXPECT_EQ(selection->string(), "make test");
  at(chordAt + 600);
  EXPECT_EQ(selection->contents, userClipboard);

  selection->contents.clear();
  paster->paste("git status");
  EXPECT_EQ(selection->string(), "git status");
  at(2 * (chordAt + 600));
  EXPECT_TRUE(selection->contents.empty());
}

TEST_F(PasterTest, ARunOfPastesRestoresTheSelectionItFoundBeforeTheFirstThatBorrowedIt) {
  selection->contents = userClipboard;
  auto paster = makePaster();
  focus->windowClass = WindowClass{"Gedit", "gedit"};
  paster->paste("into the editor");
  at(2 * chordAt);
  focus->windowClass = WindowClass{"XTerm", "xterm"};
  paster->paste("first command");
  at(4 * chordAt);
  paster->paste("second command");
  EXPECT_EQ(selection->string(), "second command");
  at(5 * chordAt + 600);
  EXPECT_EQ(selection->contents, userClipboard);
  EXPECT_EQ(selection->writes, 1);
}

TEST_F(PasterTest, WithoutTheSelectionAWindowThatPastesItGetsCtrlV) {
  selection = nullptr;
  focus->windowClass = WindowClass{"XTerm", "xterm"};
  makePaster()->paste("echo hi");
  at(chordAt);
  EXPECT_THAT(keys->sent, ElementsAre(PasteChord::controlV));
  EXPECT_EQ(log.back(), "paste: posted Ctrl+V");
}

TEST_F(PasterTest, InsideThisApplicationTheWindowClassIsNotAsked) {
  focus->front = focus->own;
  focus->pasteActionHandled = false;
  focus->windowClass = WindowClass{"XTerm", "xterm"};
  selection->contents = userClipboard;
  makePaster()->paste("hi");
  at(1000);
  EXPECT_THAT(keys->sent, ElementsAre(PasteChord::controlV));
  EXPECT_EQ(selection->contents, userClipboard);
}

}  // namespace
}  // namespace parlet
