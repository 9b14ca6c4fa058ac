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
                                                         [this](std::chrono::microseconds d) { pauses.push_back(d.count()); },
                                                         selection});
  }
  void at(int ms) { queue.advance(milliseconds(ms) - queue.now()); }

  kestrum::ManualMainQueue queue;
  std::shared_ptr<testing::FakePasteboard> pasteboard = std::make_shared<testing::FakePasteboard>();
  std::shared_ptr<testing::FakePasteKeys> keys = std::make_shared<testing::FakePasteKeys>();
  std::shared_ptr<testing::FakeFocus> focus = std::make_shared<testing::FakeFocus>();
  std::shared_ptr<testing::FakePasteboard> selection = std::make_shared<testing::FakePasteboard>();
  std::vector<std::string> log;
  std::vector<long> pauses;
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
  paster->paste("Grüße, world");
  EXPECT_EQ(pasteboard->string(), "Grüße, world");
  EXPECT_EQ(keys->chords, 1);
  EXPECT_THAT(pauses, ElementsAre(30000));
  EXPECT_THAT(log, ElementsAre("paste: front=org.example.editor isSelf=false keyWin=? firstResp=nil chars=12 wrote_pb=12",
                               "paste: posted Ctrl+V"));
  at(599);
  EXPECT_EQ(pasteboard->string(), "Grüße, world");
  at(600);
  EXPECT_EQ(pasteboard->contents, userClipboard);
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
  EXPECT_EQ(keys->chords, 0);
  EXPECT_TRUE(pauses.empty());
  EXPECT_THAT(log, ElementsAre("paste: front=org.parlet.Parlet isSelf=true keyWin=Archive firstResp=QLineEdit chars=2 wrote_pb=2",
                               "paste: sendAction(paste:) result=true"));

  log.clear();
  focus->pasteActionHandled = false;
  makePaster()->paste("hi");
  EXPECT_EQ(keys->chords, 1);
  EXPECT_THAT(pauses, ElementsAre(20000));
  EXPECT_THAT(log, ElementsAre(::testing::_, "paste: sendAction(paste:) result=false",
                               "paste: sendAction failed, fell back to Ctrl+V"));
}

TEST_F(PasterTest, UnknownOwnIdentifierIsNeverSelf) {
  focus->own.reset();
  focus->front.reset();
  makePaster()->paste("a");
  EXPECT_EQ(log.front(), "paste: front=? isSelf=false keyWin=? firstResp=nil chars=1 wrote_pb=1");
  EXPECT_EQ(keys->chords, 1);
}

TEST_F(PasterTest, PastesWithin600msRestoreTheUsersClipboardOnceAfterTheLast) {
  pasteboard->contents = userClipboard;
  auto paster = makePaster();
  paster->paste("first dictation");
  at(300);
  paster->paste("second dictation");
  at(600);  // the first paste's restore would have run here
  EXPECT_EQ(pasteboard->string(), "second dictation");
  at(899);
  EXPECT_EQ(pasteboard->string(), "second dictation");
  at(900);
  EXPECT_EQ(pasteboard->contents, userClipboard);
  EXPECT_EQ(pasteboard->writes, 1);
  at(5000);
  EXPECT_EQ(pasteboard->writes, 1);

  // A later paste takes a fresh snapshot.
  pasteboard->contents = {{{Plain::plainText, "copied later"}}};
  paster->paste("third");
  at(5600);
  EXPECT_EQ(pasteboard->string(), "copied later");
}

TEST_F(PasterTest, RestoreRunsEvenWhenThePasterIsGone) {
  pasteboard->contents = userClipboard;
  makePaster()->paste("text");
  at(600);
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
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.window.className);
    pasteboard->contents = userClipboard;
    selection->contents = {{{Plain::plainText, "selected by the user"}}};
    focus->front = c.window.className;
    focus->windowClass = c.window;
    keys->sent.clear();
    log.clear();
    makePaster()->paste("ls -la");
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
  at(600);
  EXPECT_EQ(selection->contents, userClipboard);

  selection->contents.clear();
  paster->paste("git status");
  EXPECT_EQ(selection->string(), "git status");
  at(1200);
  EXPECT_TRUE(selection->contents.empty());
}

TEST_F(PasterTest, ARunOfPastesRestoresTheSelectionItFoundBeforeTheFirstThatBorrowedIt) {
  selection->contents = userClipboard;
  auto paster = makePaster();
  focus->windowClass = WindowClass{"Gedit", "gedit"};
  paster->paste("into the editor");
  at(200);
  focus->windowClass = WindowClass{"XTerm", "xterm"};
  paster->paste("first command");
  at(400);
  paster->paste("second command");
  EXPECT_EQ(selection->string(), "second command");
  at(1000);
  EXPECT_EQ(selection->contents, userClipboard);
  EXPECT_EQ(selection->writes, 1);
}

TEST_F(PasterTest, WithoutTheSelectionAWindowThatPastesItGetsCtrlV) {
  selection = nullptr;
  focus->windowClass = WindowClass{"XTerm", "xterm"};
  makePaster()->paste("echo hi");
  EXPECT_THAT(keys->sent, ElementsAre(PasteChord::controlV));
  EXPECT_EQ(log.back(), "paste: posted Ctrl+V");
}

TEST_F(PasterTest, InsideThisApplicationTheWindowClassIsNotAsked) {
  focus->front = focus->own;
  focus->pasteActionHandled = false;
  focus->windowClass = WindowClass{"XTerm", "xterm"};
  selection->contents = userClipboard;
  makePaster()->paste("hi");
  EXPECT_THAT(keys->sent, ElementsAre(PasteChord::controlV));
  EXPECT_EQ(selection->contents, userClipboard);
}

}  // namespace
}  // namespace parlet
