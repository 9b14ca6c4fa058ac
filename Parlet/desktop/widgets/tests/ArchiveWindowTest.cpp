// The archive window as a person uses it, in the render test's session (Xvfb when installed): at
// narrow widths a word longer than the line (an unbroken URL) wraps anywhere, so no card grows past
// the view and every card keeps its Copy and Delete buttons on screen (checked by geometry); the
// confirmations of deleting make Cancel the default, so Return deletes nothing, and fit their titles.
#include <QAbstractButton>
#include <QFontMetrics>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QKeyEvent>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>
#include <QTextLayout>
#include <QTimer>
#include <QScrollArea>
#include <QScrollBar>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "KestrumCore/MainQueue.h"
#include "Parlet/core/tests/Fakes.h"
#include "Parlet/desktop/widgets/ArchiveWindow.h"

namespace parlet::widgets {
namespace {

TEST(ArchiveWindowTest, LongWordsWrapAndEveryCardKeepsItsButtonsInView) {
  kestrum::ManualMainQueue queue;
  TranscriptArchive archive("", {nullptr, nullptr, [](const std::string&) {}});
  auto pasteboard = std::make_shared<testing::FakePasteboard>();
  std::string url = "https://example.org/";
  while (url.size() < 120) url += "averyveryverylongpathsegment";
  url.resize(120);
  archive.add("Short words only, as most dictations are.");
  archive.add("See " + url + " for the details.");
  archive.add(std::string(200, 'x'));  // no break at all
  ArchiveWindow window(nullptr, std::make_unique<ArchiveViewModel>(ArchiveViewModel::Dependencies{&archive, &queue, pasteboard}));
  window.show();
  auto* scroll = window.findChild<QScrollArea*>();
  ASSERT_NE(scroll, nullptr);
  for (int width : {int(ArchiveWindowController::minimumWidth), 560, 900}) {
    SCOPED_TRACE(width);
    window.resize(width, 480);
    for (int i = 0; i < 5; ++i) QApplication::processEvents();
    const QRect view = scroll->viewport()->rect();
    EXPECT_LE(scroll->widget()->width(), view.width()) << "the list is wider than its view";
    EXPECT_EQ(scroll->horizontalScrollBar()->maximum(), 0);
    int copies = 0;
    for (QAbstractButton* button : scroll->widget()->findChildren<QAbstractButton*>()) {
      const bool copy = button->text() == "Copy", trash = button->toolTip() == "Delete";
      if (!copy && !trash) continue;
      copies += copy;
      const QRect place(button->mapTo(scroll->viewport(), QPoint(0, 0)), button->size());
      EXPECT_GE(place.left(), view.left()) << button->toolTip().toStdString();
      EXPECT_LE(place.right(), view.right()) << (copy ? "Copy" : "Delete") << " is off the view";
      // And inside its own card.
      const QWidget* card = button->parentWidget();
      const QRect inCard(button->mapTo(card, QPoint(0, 0)), button->size());
      EXPECT_LE(inCard.right(), card->width()) << "outside its card";
    }
    EXPECT_EQ(copies, 3);
    if (const char* folder = std::getenv("PARLET_SCREENSHOT_DIR"))
      window.grab().save(QString("%1/archive-long-word-%2.png").arg(folder).arg(width));
  }
}

// The selection mark narrows the text; a word longer than the line still wraps there, every line
// inside the text's box, the box inside its card and the view, and no line below the box's end.
TEST(ArchiveWindowTest, LongWordsWrapInSelectionModeAsInTheNormalView) {
  kestrum::ManualMainQueue queue;
  TranscriptArchive archive("", {nullptr, nullptr, [](const std::string&) {}});
  archive.add("Word " + std::string(70, 'w') + " end");
  archive.add(std::string(200, 'x'));
  ArchiveWindow window(nullptr, std::make_unique<ArchiveViewModel>(
                                    ArchiveViewModel::Dependencies{&archive, &queue, std::make_shared<testing::FakePasteboard>()}));
  window.show();
  auto* scroll = window.findChild<QScrollArea*>();
  ASSERT_NE(scroll, nullptr);
  for (int width : {int(ArchiveWindowController::minimumWidth), 560, 900})
    for (bool selecting : {false, true}) {
      SCOPED_TRACE(std::to_string(width) + (selecting ? " selecting" : " normal"));
      window.resize(width, 480);
      if (selecting) window.view().enterSelectionMode();
      else window.view().exitSelectionMode();
      for (int i = 0; i < 5; ++i) QApplication::processEvents();
      const auto texts = scroll->widget()->findChildren<QTextEdit*>();
      ASSERT_EQ(texts.size(), 2);
      for (QTextEdit* text : texts) {
        const QTextDocument* document = text->document();
        for (QTextBlock block = document->begin(); block.isValid(); block = block.next())
          for (int line = 0; line < block.layout()->lineCount(); ++line)
            EXPECT_LE(block.layout()->lineAt(line).naturalTextWidth(), text->viewport()->width()) << "a line is cut";
        EXPECT_LE(document->size().height(), text->viewport()->height()) << "the last lines are cut";
        const QWidget* card = text->parentWidget();
        EXPECT_LE(text->mapTo(card, QPoint(text->width(), 0)).x(), card->width());
        EXPECT_LE(text->mapTo(scroll->viewport(), QPoint(text->width(), 0)).x(), scroll->viewport()->width());
      }
    }
}

// Clicks the toolbar button `title` and answers the confirmation that opens with Return.
std::string confirmWithReturn(ArchiveWindow& window, const QString& title) {
  std::string defaultTitle;
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    if (box->defaultButton()) defaultTitle = box->defaultButton()->text().toStdString();
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(box, &press);
    if (box->isVisible()) box->reject();  // no answer: the test fails below, without hanging
  });
  for (QPushButton* button : window.findChildren<QPushButton*>())
    if (button->text() == title && button->isVisible()) {
      button->click();
      break;
    }
  return defaultTitle;
}

TEST(ArchiveWindowTest, ReturnOnADeleteConfirmationDeletesNothing) {
  kestrum::ManualMainQueue queue;
  TranscriptArchive archive("", {nullptr, nullptr, [](const std::string&) {}});
  archive.add("Keep me.");
  archive.add("And me.");
  ArchiveWindow window(nullptr, std::make_unique<ArchiveViewModel>(
                                    ArchiveViewModel::Dependencies{&archive, &queue, std::make_shared<testing::FakePasteboard>()}));
  window.show();
  QApplication::processEvents();
  EXPECT_EQ(confirmWithReturn(window, "Clear All"), "Cancel");
  EXPECT_EQ(archive.entries().size(), 2u);

  window.view().enterSelectionMode();
  window.view().toggleSelection(archive.entries()[0].id);
  QApplication::processEvents();
  EXPECT_EQ(confirmWithReturn(window, QString::fromStdString(window.view().deleteButtonTitle())), "Cancel");
  EXPECT_EQ(archive.entries().size(), 2u);
}

// A title bar centres the title between its buttons; the window manager cuts a title that finds no
// room ("Delet… cript?"). Each confirmation is wide enough for its title in bold with a title bar's
// buttons on both sides.
TEST(ArchiveWindowTest, TheConfirmationsAreWideEnoughForTheirTitles) {
  kestrum::ManualMainQueue queue;
  TranscriptArchive archive("", {nullptr, nullptr, [](const std::string&) {}});
  archive.add("Keep me.");
  ArchiveWindow window(nullptr, std::make_unique<ArchiveViewModel>(
                                    ArchiveViewModel::Dependencies{&archive, &queue, std::make_shared<testing::FakePasteboard>()}));
  window.show();
  QApplication::processEvents();
  auto measure = [&](const QString& button) {
    struct Seen {
      QString title;
      int width = 0;
      int needed = 0;
    } seen;
    QTimer::singleShot(0, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box) return;
      seen.title = box->windowTitle();
      seen.width = box->width();
      QFont bold = box->font();
      bold.setBold(true);
      seen.needed = QFontMetrics(bold).horizontalAdvance(seen.title) + 2 * 80;
      if (const char* folder = std::getenv("PARLET_SCREENSHOT_DIR"))
        box->grab().save(QString("%1/archive-confirm-%2.png").arg(folder).arg(button.section(' ', 0, 0).toLower()));
      box->reject();
    });
    for (QPushButton* b : window.findChildren<QPushButton*>())
      if (b->text() == button && b->isVisible()) {
        b->click();
        break;
      }
    return seen;
  };
  window.view().enterSelectionMode();
  window.view().toggleSelection(archive.entries()[0].id);
  QApplication::processEvents();
  const auto remove = measure(QString::fromStdString(window.view().deleteButtonTitle()));
  EXPECT_EQ(remove.title, "Delete 1 transcript?");
  EXPECT_GE(remove.width, remove.needed);
  window.view().exitSelectionMode();
  QApplication::processEvents();
  const auto clear = measure("Clear All");
  EXPECT_EQ(clear.title, "Clear all transcripts?");
  EXPECT_GE(clear.width, clear.needed);
  EXPECT_EQ(archive.entries().size(), 1u);
}

}  // namespace
}  // namespace parlet::widgets
