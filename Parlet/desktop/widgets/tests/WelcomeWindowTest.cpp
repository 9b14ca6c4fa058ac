// The welcome window on the test's screen (1280 × 800 under Xvfb): it opens above the pill, so the
// pill never covers its footer, and Back and Next stand apart on the middle pages.
#include <QApplication>
#include <QGuiApplication>
#include <QPushButton>
#include <QScreen>

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
  if (area.height() >= 600) EXPECT_LT(window.frameGeometry().bottom(), pillRect.top()) << "the pill covers the window";

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

}  // namespace
}  // namespace parlet::widgets
