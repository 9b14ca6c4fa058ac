#include "Parlet/desktop/ArchiveViewModel.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Parlet/core/tests/Fakes.h"

namespace parlet {
namespace {

using Content = ArchiveViewModel::Content;
using Toolbar = ArchiveViewModel::Toolbar;
using std::chrono::milliseconds;

class ArchiveViewModelTest : public ::testing::Test {
 protected:
  // Newest first: "Buy oat MILK", "call the plumber", "Milk and eggs".
  void fill() {
    archive.add("Milk and eggs");
    archive.add("call the plumber");
    archive.add("Buy oat MILK");
  }
  std::vector<std::string> shownTexts() const {
    std::vector<std::string> texts;
    for (const auto& entry : view.filteredEntries()) texts.push_back(entry.text);
    return texts;
  }
  const TranscriptArchive::Entry& entry(std::size_t i) const { return archive.entries()[i]; }

  kestrum::ManualMainQueue queue;
  TranscriptArchive archive{"", {nullptr, nullptr, [](const std::string&) {}}};
  std::shared_ptr<testing::FakePasteboard> pasteboard = std::make_shared<testing::FakePasteboard>();
  ArchiveViewModel view{{&archive, &queue, pasteboard}};
};

TEST_F(ArchiveViewModelTest, SearchMatchesTextIgnoringCaseAndSurroundingBlanks) {
  fill();
  struct Case {
    std::string query;
    std::vector<std::string> shown;
    Content content;
  };
  const Case cases[] = {
      {"", {"Buy oat MILK", "call the plumber", "Milk and eggs"}, Content::list},
      {"   \n", {"Buy oat MILK", "call the plumber", "Milk and eggs"}, Content::list},
      {"milk", {"Buy oat MILK", "Milk and eggs"}, Content::list},
      {"  PLUMB ", {"call the plumber"}, Content::list},
      {"2026", {}, Content::noMatch},  // dates are never searched
      {"zebra", {}, Content::noMatch},
  };
  for (const auto& c : cases) {
    view.setQuery(c.query);
    EXPECT_EQ(shownTexts(), c.shown) << '"' << c.query << '"';
    EXPECT_EQ(view.content(), c.content) << '"' << c.query << '"';
    EXPECT_EQ(view.clearSearchVisible(), !c.query.empty());
  }
  view.setQuery(" zebra ");
  EXPECT_EQ(view.noMatchText(), "Nothing in your archive matches \u201C zebra \u201D.");
}

TEST_F(ArchiveViewModelTest, EmptyArchiveShowsTheEmptyStateWhateverTheQuery) {
  view.setQuery("milk");
  EXPECT_EQ(view.content(), Content::empty);
  EXPECT_FALSE(view.searchEnabled());
  EXPECT_EQ(view.toolbar(), Toolbar::none);
  fill();
  EXPECT_TRUE(view.searchEnabled());
  EXPECT_EQ(view.toolbar(), Toolbar::normal);
}

TEST_F(ArchiveViewModelTest, SelectionSurvivesSearchAndDeletesHiddenEntriesToo) {
  fill();
  view.enterSelectionMode();
  EXPECT_EQ(view.toolbar(), Toolbar::selecting);
  EXPECT_EQ(view.deleteButtonTitle(), "Delete");
  EXPECT_FALSE(view.deleteButtonEnabled());
  view.requestDeleteSelected();  // disabled: no confirmation
  EXPECT_FALSE(view.confirmingDeleteSelected());

  struct Step {
    std::size_t toggle;
    std::string subtitle, button, title;
  };
  const Step steps[] = {{1, "1 selected", "Delete 1", "Delete 1 transcript?"},
                        {2, "2 selected", "Delete 2", "Delete 2 transcripts?"}};
  for (const auto& step : steps) {
    view.toggleSelection(entry(step.toggle).id);
    EXPECT_EQ(view.subtitle(), step.subtitle);
    EXPECT_EQ(view.deleteButtonTitle(), step.button);
    EXPECT_EQ(view.deleteSelectedTitle(), step.title);
  }
  view.setQuery("oat");  // hides both selected entries
  EXPECT_EQ(view.subtitle(), "2 selected");

  view.requestDeleteSelected();
  view.answerDeleteSelected(false);  // Cancel keeps mode and selection
  EXPECT_TRUE(view.selectionMode());
  EXPECT_EQ(view.selected().size(), 2u);

  view.requestDeleteSelected();
  EXPECT_TRUE(view.confirmingDeleteSelected());
  view.answerDeleteSelected(true);
  ASSERT_EQ(archive.entries().size(), 1u);
  EXPECT_EQ(entry(0).text, "Buy oat MILK");
  EXPECT_FALSE(view.selectionMode());
  EXPECT_TRUE(view.selected().empty());
  EXPECT_EQ(view.subtitle(), "Local-only. Audio is never stored.");

  view.toggleSelection(entry(0).id);
  view.toggleSelection(entry(0).id);  // toggling twice deselects
  EXPECT_TRUE(view.selected().empty());
}

TEST_F(ArchiveViewModelTest, ClearAllAsksFirstAndKeepsQueryAndMode) {
  fill();
  view.setQuery("milk");
  view.requestClear();
  view.answerClear(false);
  EXPECT_EQ(archive.entries().size(), 3u);
  view.requestClear();
  EXPECT_TRUE(view.confirmingClear());
  view.answerClear(true);
  EXPECT_TRUE(archive.entries().empty());
  EXPECT_FALSE(view.confirmingClear());
  EXPECT_EQ(view.query(), "milk");
}

TEST_F(ArchiveViewModelTest, CopyConfirmationMovesToTheLatestCardAndEndsAfterOnePointFourSeconds) {
  fill();
  const auto a = entry(0), b = entry(1);
  view.copy(a);
  EXPECT_EQ(pasteboard->string(), a.text);
  EXPECT_EQ(view.card(a, false).copyTitle, "Copied");
  EXPECT_TRUE(view.card(a, false).showsTrash);  // shown while copied, pointer or not
  queue.advance(milliseconds(1000));
  view.copy(b);
  EXPECT_EQ(pasteboard->string(), b.text);
  EXPECT_EQ(view.card(a, false).copyTitle, "Copy");
  EXPECT_FALSE(view.card(a, false).showsTrash);
  queue.advance(milliseconds(400));  // a's timer ends and leaves b's confirmation alone
  EXPECT_EQ(view.copiedID(), b.id);
  queue.advance(milliseconds(999));
  EXPECT_EQ(view.copiedID(), b.id);
  queue.advance(milliseconds(1));
  EXPECT_EQ(view.copiedID(), std::nullopt);
}

TEST_F(ArchiveViewModelTest, CardsShowButtonsByModeAndHover) {
  fill();
  const auto e = entry(0);
  EXPECT_FALSE(view.card(e, false).showsTrash);
  EXPECT_TRUE(view.card(e, true).showsTrash);
  EXPECT_TRUE(view.card(e, true).showsCopy);
  EXPECT_FALSE(view.card(e, true).showsSelectionMark);
  view.enterSelectionMode();
  EXPECT_FALSE(view.card(e, true).showsTrash);
  EXPECT_FALSE(view.card(e, true).showsCopy);
  EXPECT_TRUE(view.card(e, true).showsSelectionMark);
}

TEST_F(ArchiveViewModelTest, ObserversHearOfArchiveChangesOnceTheyTookEffect) {
  std::vector<std::size_t> seen;
  view.observe([&] { seen.push_back(view.filteredEntries().size()); });
  archive.add("first");
  archive.add("second");
  EXPECT_TRUE(seen.empty());  // not before the change
  queue.runUntilIdle();
  EXPECT_EQ(seen, (std::vector<std::size_t>{2, 2}));
  view.remove(entry(0));
  queue.runUntilIdle();
  EXPECT_EQ(seen.back(), 1u);
}

TEST_F(ArchiveViewModelTest, ConfirmationEndingAfterTheViewIsGoneDoesNothing) {
  fill();
  {
    ArchiveViewModel gone({&archive, &queue, pasteboard});
    gone.copy(entry(0));
    archive.add("change while open");
  }
  queue.advance(milliseconds(2000));
  EXPECT_EQ(pasteboard->string(), entry(1).text);
}

}  // namespace
}  // namespace parlet
