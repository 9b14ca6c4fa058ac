#include "platform/Desktop/GrantAccessWindow.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>

#include <gtest/gtest.h>

#include "platform/Desktop/EvdevAccessibility.h"
#include "platform/Desktop/tests/DesktopTestSession.h"

namespace platform::desktop {
namespace {

QPushButton* button(QWidget& window, const QString& text) {
  for (auto* candidate : window.findChildren<QPushButton*>())
    if (candidate->text() == text) return candidate;
  return nullptr;
}

bool shows(QWidget& window, const std::string& text) {
  for (auto* label : window.findChildren<QLabel*>())
    if (label->text() == QString::fromStdString(text)) return true;
  return false;
}

TEST(GrantAccessWindowTest, ShowsOneWindowWhoseButtonCopiesTheSteps) {
  REQUIRE_X_SESSION();
  GrantAccessWindow* window = showGrantAccessWindow("cannot read any keyboard");
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(window->isVisible());
  EXPECT_TRUE(shows(*window, "cannot read any keyboard"));
  EXPECT_EQ(window->steps().toStdString(), grantAccessSteps(currentUserName()));

  EXPECT_EQ(showGrantAccessWindow("log in again"), window);  // raised, with the reason of now
  EXPECT_TRUE(shows(*window, "log in again"));

  QPushButton* copy = button(*window, "Copy Steps");
  ASSERT_NE(copy, nullptr);
  copy->click();
  EXPECT_TRUE(desktoptest::pumpUntil([&] { return QGuiApplication::clipboard()->text() == window->steps(); }));

  QPushButton* close = button(*window, "Close");
  ASSERT_NE(close, nullptr);
  close->click();
  desktoptest::pumpFor(std::chrono::milliseconds(20));  // the closed window deletes itself
  GrantAccessWindow* again = showGrantAccessWindow("again");
  EXPECT_TRUE(again->isVisible());
  again->close();
}

}  // namespace
}  // namespace platform::desktop
