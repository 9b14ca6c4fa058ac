// The welcome window on the test's screen (1280 × 800 under Xvfb): it opens above the pill, so the
// pill never covers its footer, and Back and Next stand apart on the middle pages.
#include <QApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>

#include <cstdlib>

#include <gtest/gtest.h>

#include "Parlet/desktop/OnboardingController.h"
#include "Parlet/desktop/OverlayController.h"
#include "Parlet/desktop/widgets/WelcomeWindow.h"

namespace parlet::widgets {
namespace {

QPushButton* button(QWidget& window, const char* title) {
  for (QPushButton* b : window.findChildren<QPushButton*>())
    if (b->text() == title) return b;
  return nullptr;
}

TEST(WelcomeWindowTest, OpensAboveThePillAndKeepsBackAndNextApart) {
  auto controller = std::make_shared<OnboardingController>(
      OnboardingController::Callbacks{nullptr, [] { return std::optional<std::string>("Right Alt"); }, nullptr,
                                       nullptr, nullptr},
      OnboardingController::Dependencies{[] { return true; }, nullptr, nullptr, nullptr});
  WelcomeWindow window(*controller);
  window.show();
  QApplication::processEvents();
  const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
  const Rect pill = pillPanelFrame({double(area.x()), double(area.y()), double(area.width()), double(area.height())},
                                   OverlayController::panelWidth, OverlayController::panelHeight);
  const QRect pillRect(int(pill.x), int(pill.y), int(pill.width), int(pill.height));
  if (area.height() >= 600) {
    EXPECT_LT(window.frameGeometry().bottom(), pillRect.top()) << "the pill covers the window";
  }

  for (int page : {1, 2}) {
    SCOPED_TRACE(page);
    controller->model().setPage(page);
    QApplication::processEvents();
    QPushButton* back = button(window, "Back");
    QPushButton* next = button(window, "Next");
    ASSERT_TRUE(back && next);
    ASSERT_TRUE(back->isVisible());
    const QRect backRect(back->mapToGlobal(QPoint(0, 0)), back->size());
    const QRect nextRect(next->mapToGlobal(QPoint(0, 0)), next->size());
    EXPECT_GE(nextRect.left() - backRect.right(), 6) << "Back and Next touch";
    EXPECT_FALSE(backRect.intersects(pillRect));
  }
  window.detach();
}

// The try-it page shows how far the model download is while it runs, and it moves in place: the
// box keeps what the user typed, its cursor and its focus; every text fits in the window.
TEST(WelcomeWindowTest, TheTryItPageShowsTheDownloadMovingWithoutDisturbingTheBox) {
  auto controller = std::make_shared<OnboardingController>(
      OnboardingController::Callbacks{nullptr, [] { return std::optional<std::string>("Right Alt"); }, nullptr,
                                       nullptr, nullptr},
      OnboardingController::Dependencies{[] { return true; }, nullptr, nullptr, nullptr});
  WelcomeWindow window(*controller);
  window.show();
  controller->model().setPage(2);
  QApplication::processEvents();
  auto* box = window.findChild<QPlainTextEdit*>();
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(window.findChild<QProgressBar*>(), nullptr) << "no download, no bar";
  box->setFocus();
  box->insertPlainText("hello");  // as typed: the cursor after it
  QApplication::processEvents();

  controller->model().setModelDownload(0.0, 31'600'000);
  QApplication::processEvents();
  auto* bar = window.findChild<QProgressBar*>();
  ASSERT_NE(bar, nullptr);
  box = window.findChild<QPlainTextEdit*>();
  ASSERT_NE(box, nullptr);
  auto shownText = [&] {
    QStringList texts;
    for (QLabel* l : window.findChildren<QLabel*>())
      if (l->isVisible()) texts << l->text();
    return texts.join("\n").toStdString();
  };
  EXPECT_NE(shownText().find("Downloading speech model\u2026 0% (0.0 of 31.6 MB)"), std::string::npos) << shownText();
  const int cursor = box->textCursor().position();
  for (double fraction : {0.25, 0.5, 0.75}) {
    controller->model().setModelDownload(fraction, 31'600'000);
    QApplication::processEvents();
    EXPECT_EQ(window.findChild<QPlainTextEdit*>(), box) << "the box was made anew";
    EXPECT_EQ(window.findChild<QProgressBar*>(), bar);
    EXPECT_EQ(bar->value(), int(fraction * 1000));
  }
  EXPECT_EQ(box->toPlainText(), "hello");
  EXPECT_EQ(box->textCursor().position(), cursor);
  EXPECT_TRUE(box->hasFocus() || !window.isActiveWindow());
  EXPECT_NE(shownText().find("75% (23.7 of 31.6 MB)"), std::string::npos) << shownText();
  for (QWidget* child : window.findChildren<QWidget*>()) {
    if (!child->isVisible() || child->isWindow()) continue;
    const QRect inWindow(child->mapTo(&window, QPoint(0, 0)), child->size());
    EXPECT_TRUE(window.rect().contains(inWindow)) << child->metaObject()->className() << " runs out of the window";
    if (auto* l = qobject_cast<QLabel*>(child); l && l->wordWrap()) {
      EXPECT_GE(l->height(), l->heightForWidth(l->width())) << l->text().toStdString() << " is cut";
    }
  }
  if (const char* folder = std::getenv("PARLET_SCREENSHOT_DIR"))
    window.grab().save(QString(folder) + "/welcome-try-it-downloading.png");
  controller->model().setModelDownload(std::nullopt);
  QApplication::processEvents();
  EXPECT_EQ(window.findChild<QProgressBar*>(), nullptr);
  window.detach();
}

// Every text of every page in the desktop's own font family: the headings take no face of their own.
TEST(WelcomeWindowTest, EveryTextIsInTheDesktopsFontFamily) {
  auto controller = std::make_shared<OnboardingController>(
      OnboardingController::Callbacks{nullptr, [] { return std::optional<std::string>("Right Alt"); }, nullptr,
                                       nullptr, nullptr},
      OnboardingController::Dependencies{[] { return false; }, nullptr, nullptr, nullptr});
  WelcomeWindow window(*controller);
  window.show();
  const QString family = QFontInfo(QApplication::font()).family();
  for (int page = 0; page < OnboardingController::pageCount; ++page) {
    SCOPED_TRACE(page);
    controller->model().setPage(page);
    QApplication::processEvents();
    for (QLabel* l : window.findChildren<QLabel*>()) {
      if (l->isVisible() && !l->text().isEmpty()) {
        EXPECT_EQ(QFontInfo(l->font()).family(), family) << l->text().toStdString();
      }
    }
  }
  window.detach();
}

// Wrapped at any width, "/dev/uinput" stays on one line.
TEST(WelcomeWindowTest, PathsStayWholeWhenTheTextWraps) {
  QTextDocument document;
  QTextOption wrapping;
  wrapping.setWrapMode(QTextOption::WordWrap);  // as a label wraps
  document.setDefaultTextOption(wrapping);
  document.setHtml(welcomeHtml("Parlet cannot read any keyboard in /dev/input and finds no /dev/uinput, which it "
                               "needs to paste."));
  for (int width = 90; width <= 400; width += 7) {
    document.setTextWidth(width);
    document.size();  // lays the text out
    QStringList lines;
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next())
      for (int i = 0; i < block.layout()->lineCount(); ++i) {
        const QTextLine line = block.layout()->lineAt(i);
        lines << block.text().mid(line.textStart(), line.textLength()).remove(QChar(0x2060)).trimmed();
      }
    for (const QString& path : {QString("/dev/uinput"), QString("/dev/input")}) {
      bool whole = false;
      for (const QString& line : lines) whole |= line.contains(path);
      EXPECT_TRUE(whole) << width << ": " << lines.join(" | ").toStdString();
    }
  }
}

}  // namespace
}  // namespace parlet::widgets
