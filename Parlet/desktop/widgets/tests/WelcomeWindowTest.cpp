// The welcome window on the test's screen (1280 × 800 under Xvfb): it opens above the pill, so the
// pill never covers its footer, and Back and Next stand apart on the middle pages.
#include <QApplication>
#include <QGuiApplication>
#include <QPushButton>
#include <QScreen>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>

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
