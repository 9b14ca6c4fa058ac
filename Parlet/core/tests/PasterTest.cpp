#include "Parlet/core/Paster.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Parlet/core/tests/Fakes.h"

namespace parlet {
namespace {

using ::testing::ElementsAre;
using std::chrono::milliseconds;
using Plain = testing::FakePasteboard;

class PasterTest : public ::testing::Test {
 protected:
  std::unique_ptr<Paster> makePaster() {
    return std::make_unique<Paster>(Paster::Dependencies{&queue, pasteboard, keys, focus,
                                                         [this](const std::string& line) { log.push_back(line); },
                                                         [this](std::chrono::microseconds d) { pauses.push_back(d.count()); }});
  }
  void at(int ms) { queue.advance(milliseconds(ms) - queue.now()); }

  kestrum::ManualMainQueue queue;
  std::shared_ptr<testing::FakePasteboard> pasteboard = std::make_shared<testing::FakePasteboard>();
  std::shared_ptr<testing::FakePasteKeys> keys = std::make_shared<testing::FakePasteKeys>();
  std::shared_ptr<testing::FakeFocus> focus = std::make_shared<testing::FakeFocus>();
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

}  // namespace
}  // namespace parlet
