#include "platform/Desktop/QtPasteboard.h"

#include <future>
#include <map>
#include <random>

#include <gtest/gtest.h>

#include "platform/Desktop/tests/DesktopTestSession.h"
#include "platform/Desktop/tests/ForeignClipboard.h"

namespace platform::desktop {
namespace {

using desktoptest::pumpUntil;

// Runs `read` on another thread while this one serves the clipboard from the event loop.
template <typename Read>
auto whileServing(Read read) {
  auto future = std::async(std::launch::async, read);
  pumpUntil([&] { return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
            std::chrono::seconds(20));
  return future.get();
}

std::string randomBytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator() & 0xff);
  return bytes;
}

class QtPasteboardTest : public ::testing::Test {
 protected:
  void SetUp() override { REQUIRE_X_SESSION(); }
};

TEST_F(QtPasteboardTest, AnotherApplicationsClipboardIsRestoredByteForByteInEveryFormat) {
  std::string everyByte;
  for (int i = 0; i < 256; ++i) everyByte += static_cast<char>(i);
  const std::string text = "Gr\xc3\xbc\xc3\x9f" "e, \xe2\x80\x9cworld\xe2\x80\x9d";
  const std::map<std::string, std::string> offered = {
      {"UTF8_STRING", text},
      {"text/plain;charset=utf-8", text},
      {"text/html", "<meta charset=utf-8><b>bold</b>"},
      {"text/uri-list", "file:///tmp/a%20b\r\n"},
      {"image/png", everyByte},
      {"application/x-parlet-note", std::string("a\0b\xff", 4)},
      {"application/x-parlet-empty", ""},
      {"application/octet-stream", randomBytes(3'000'000, 7)},  // far above one request's size
  };
  desktoptest::ForeignClipboardOwner owner(offered);
  ASSERT_TRUE(owner.owns());
  QtPasteboard pasteboard;

  const platform::desktop::PasteboardSnapshot saved = pasteboard.items();
  ASSERT_EQ(saved.size(), 1u);
  std::map<std::string, std::string> expected(offered.begin(), offered.end());
  expected.erase("UTF8_STRING");
  expected["text/plain"] = text;  // Qt's name for UTF8_STRING
  EXPECT_EQ(saved[0], (platform::desktop::PasteboardItem(expected.begin(), expected.end())));

  pasteboard.clearContents();
  pasteboard.setString("dictated text");
  EXPECT_EQ(pasteboard.string(), "dictated text");
  EXPECT_EQ(whileServing([] { return desktoptest::readClipboard("UTF8_STRING"); }), "dictated text");
  EXPECT_FALSE(owner.owns());

  pasteboard.clearContents();
  pasteboard.writeItems(saved);
  for (const auto& [target, bytes] : offered) {
    SCOPED_TRACE(target);
    auto read = whileServing([target = target] { return desktoptest::readClipboard(target); });
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->size(), bytes.size());
    EXPECT_TRUE(*read == bytes);
  }
}

TEST_F(QtPasteboardTest, AClipboardWithoutOwnerHasNoItemsAndNoString) {
  QtPasteboard pasteboard;
  pasteboard.setString("ours for a moment");
  desktoptest::dropClipboardOwner();
  ASSERT_TRUE(pumpUntil([&] { return pasteboard.items().empty(); }));
  EXPECT_EQ(pasteboard.string(), std::nullopt);
}

TEST_F(QtPasteboardTest, TheClipboardIsTakenAlsoWhenItChangedAfterTheLastEventThisApplicationSaw) {
  QtPasteboard pasteboard;
  for (std::string text : {"first", "second", "third"}) {
    pasteboard.setString("before");
    desktoptest::dropClipboardOwner();  // another client changes the clipboard at the server's time now
    pasteboard.setString(text);
    EXPECT_EQ(whileServing([] { return desktoptest::readClipboard("UTF8_STRING"); }), text);
  }
}

TEST_F(QtPasteboardTest, SeveralItemsAreOfferedAsOneWithTheFirstItemsBytesForATypeTheyShare) {
  QtPasteboard pasteboard;
  pasteboard.writeItems({{{"text/html", "<i>first</i>"}}, {{"text/html", "<i>second</i>"}, {"image/png", "PNG"}}});
  EXPECT_EQ(whileServing([] { return desktoptest::readClipboard("text/html"); }), "<i>first</i>");
  EXPECT_EQ(whileServing([] { return desktoptest::readClipboard("image/png"); }), "PNG");
}

}  // namespace
}  // namespace platform::desktop
