// Renders the pill in each state, the four welcome pages and the archive window, and checks that
// each is a real picture of the expected size. Under an Xvfb session of the test's own (with a tray
// host and a compositor) when Xvfb is installed, else on Qt's offscreen platform. With
// PARLET_SCREENSHOT_DIR set, the pictures are also saved there as PNG files.
#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QScreen>
#include <QSet>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include <gtest/gtest.h>

#include "KestrumCore/MainQueue.h"
#include "Parlet/core/tests/Fakes.h"
#include "Parlet/desktop/OnboardingController.h"
#include "Parlet/desktop/OverlayController.h"
#include "Parlet/desktop/widgets/ArchiveWindow.h"
#include "Parlet/desktop/widgets/OverlayWindow.h"
#include "Parlet/desktop/widgets/Symbols.h"
#include "Parlet/desktop/widgets/WelcomeWindow.h"
#ifdef PARLET_HAVE_XVFB_SESSION
#include "testsupport/XvfbSession.h"
#endif

namespace parlet::widgets {
namespace {

using State = Pipeline::State;

class Session : public ::testing::Environment {
 public:
  void SetUp() override {
#ifdef PARLET_HAVE_XVFB_SESSION
    std::string whyNot;
    xvfb_ = testsupport::XvfbSession::start({}, whyNot);
    if (xvfb_) {
      qputenv("QT_QPA_PLATFORM", "xcb");
      platform = "Xvfb " + xvfb_->displayName();
    } else {
      std::fprintf(stderr, "no Xvfb session (%s): rendering offscreen\n", whyNot.c_str());
    }
#endif
    if (platform.empty()) {
      qputenv("QT_QPA_PLATFORM", "offscreen");
      platform = "offscreen";
    }
    app_ = std::make_unique<QApplication>(argc_, argv_);
  }
  void TearDown() override {
    app_.reset();
#ifdef PARLET_HAVE_XVFB_SESSION
    xvfb_.reset();
#endif
  }
  static inline std::string platform;

 private:
  int argc_ = 1;
  char name_[16] = "parlet_widgets";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QApplication> app_;
#ifdef PARLET_HAVE_XVFB_SESSION
  std::unique_ptr<testsupport::XvfbSession> xvfb_;
#endif
};
[[maybe_unused]] const auto* const session = ::testing::AddGlobalTestEnvironment(new Session);

// Saves the picture when asked to, and checks it: the expected size in logical pixels, a fair part
// of it drawn (not transparent), and more than a handful of colours (text and shapes, not a fill).
void checkRender(const QImage& image, QSize expected, const std::string& name, double minimumDrawn) {
  if (const char* folder = std::getenv("PARLET_SCREENSHOT_DIR")) {
    std::filesystem::create_directories(folder);
    image.save(QString::fromStdString((std::filesystem::path(folder) / (name + ".png")).string()));
  }
  const double ratio = image.devicePixelRatio();
  EXPECT_EQ(image.size(), expected * ratio) << name;
  const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
  QSet<QRgb> colours;
  std::int64_t drawn = 0;
  for (int y = 0; y < argb.height(); ++y)
    for (int x = 0; x < argb.width(); ++x) {
      const QRgb pixel = argb.pixel(x, y);
      if (qAlpha(pixel) > 16) ++drawn;
      colours.insert(pixel);
    }
  EXPECT_GE(double(drawn) / (argb.width() * argb.height()), minimumDrawn) << name;
  EXPECT_GT(colours.size(), 20) << name;
}

TEST(RenderTest, PillInEveryState) {
  kestrum::ManualMainQueue queue;
  OverlayWindow window;
  OverlayController overlay({&queue, [&] { window.placeOnActiveScreen(); }});
  window.setModel(&overlay.model());
  window.show();
  struct Case {
    const char* name;
    State state;
    bool locked;
    float level;
    const char* notice;
  };
  const Case cases[] = {{"pill-loading", State::preparing, false, 0, nullptr},
                        {"pill-listening", State::recording, false, 0.6f, nullptr},
                        {"pill-locked", State::recording, true, 0.35f, nullptr},
                        {"pill-thinking", State::processing, false, 0, nullptr},
                        {"pill-notice", State::idle, false, 0, "Hold the key longer"}};
  const double t = 0.21;  // a moment with bars of different heights
  for (const auto& c : cases) {
    overlay.setState(c.state);
    overlay.model().setLocked(c.locked);
    overlay.model().setLevel(c.level);
    if (c.notice) overlay.flashNotice(c.notice);
    window.freezeAt(t);
    // The capsule covers a good part of the 260 × 64 panel, which stays clear around it.
    checkRender(window.grab().toImage(), QSize(260, 64), c.name, 0.3);
    queue.advance(OverlayController::noticeDuration);
    overlay.setState(State::idle);
  }
  // Hidden: nothing drawn at all.
  window.freezeAt(t);
  const QImage hidden = window.grab().toImage().convertToFormat(QImage::Format_ARGB32);
  bool anything = false;
  for (int y = 0; y < hidden.height(); ++y)
    for (int x = 0; x < hidden.width(); ++x) anything |= qAlpha(hidden.pixel(x, y)) != 0;
  EXPECT_FALSE(anything);
  window.setModel(nullptr);
}

// While the pill fades out after "Thinking", every frame keeps the label inside the capsule: no
// bright text pixel lies left or right of the capsule's dark fill.
TEST(RenderTest, TheLabelStaysInsideThePillWhileItFadesOut) {
  kestrum::ManualMainQueue queue;
  OverlayWindow window;
  OverlayController overlay({&queue, [&] { window.placeOnActiveScreen(); }});
  window.setModel(&overlay.model());
  window.show();
  overlay.setState(State::processing);
  for (auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(600); std::chrono::steady_clock::now() < until;)
    QApplication::processEvents();  // shown in full
  overlay.setState(State::idle);
  int checked = 0;
  for (auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(450); std::chrono::steady_clock::now() < until;) {
    QApplication::processEvents();
    const QImage frame = window.grab().toImage().convertToFormat(QImage::Format_ARGB32);
    int maxAlpha = 0;
    for (int y = 0; y < frame.height(); ++y)
      for (int x = 0; x < frame.width(); ++x) maxAlpha = std::max(maxAlpha, qAlpha(frame.pixel(x, y)));
    if (maxAlpha < 60) continue;  // faded out
    ++checked;
    // The capsule: the dark, nearly opaque pixels (it slides down as it fades, so any row).
    int left = frame.width(), right = -1;
    for (int y = 0; y < frame.height(); ++y)
      for (int x = 0; x < frame.width(); ++x) {
        const QRgb pixel = frame.pixel(x, y);
        if (qAlpha(pixel) >= maxAlpha * 6 / 10 && qRed(pixel) < 90 && qGreen(pixel) < 90 && qBlue(pixel) < 100) {
          left = std::min(left, x);
          right = std::max(right, x);
        }
      }
    for (int y = 0; y < frame.height(); ++y)
      for (int x = 0; x < frame.width(); ++x) {
        const QRgb pixel = frame.pixel(x, y);
        const bool text = qAlpha(pixel) >= maxAlpha / 4 && qRed(pixel) > 150 && qGreen(pixel) > 150 && qBlue(pixel) > 150;
        if (text && (x < left || x > right)) {
          if (const char* folder = std::getenv("PARLET_SCREENSHOT_DIR"))
            frame.save(QString(folder) + "/pill-fading-cut.png");
          FAIL() << "text at " << x << "," << y << " outside the capsule " << left << "…" << right;
        }
      }
  }
  EXPECT_GT(checked, 0) << "no frame of the fade was seen";
  window.setModel(nullptr);
}

// A notice wider than the panel (why the model is unavailable) widens it: the capsule and its
// shadow are drawn whole, clear of the panel's edges; the panel narrows again when it ends.
TEST(RenderTest, ALongNoticeWidensThePillInsteadOfCuttingIt) {
  kestrum::ManualMainQueue queue;
  OverlayWindow window;
  OverlayController overlay({&queue, [&] { window.placeOnActiveScreen(); }});
  window.setModel(&overlay.model());
  window.show();
  overlay.flashNotice(
      "Speech model unavailable: no connection to the model repository, and the speech model has not been "
      "downloaded yet.");
  window.freezeAt(0.21);
  const QImage image = window.grab().toImage().convertToFormat(QImage::Format_ARGB32);
  EXPECT_GT(window.width(), 260);
  auto columnClear = [&](int x) {
    for (int y = 0; y < image.height(); ++y)
      if (qAlpha(image.pixel(x, y)) != 0) return false;
    return true;
  };
  EXPECT_TRUE(columnClear(0));
  EXPECT_TRUE(columnClear(image.width() - 1));
  queue.advance(OverlayController::noticeDuration);
  window.freezeAt(0.21);
  EXPECT_EQ(window.width(), 260);
  window.setModel(nullptr);
}

TEST(RenderTest, TrayIconsDifferByState) {
  const StatusIcon icons[] = {StatusIcon::idle, StatusIcon::preparing, StatusIcon::recording, StatusIcon::processing,
                              StatusIcon::needsAccessibility};
  QImage strip(5 * 24, 24, QImage::Format_ARGB32);
  strip.fill(QColor(40, 40, 44));  // a dark tray
  std::vector<QImage> images;
  {
    QPainter painter(&strip);
    for (int i = 0; i < 5; ++i) {
      images.push_back(statusIcon(icons[i]).pixmap(22, 22).toImage().convertToFormat(QImage::Format_ARGB32));
      painter.drawImage(i * 24 + 1, 1, images.back());
    }
  }
  checkRender(strip, QSize(120, 24), "tray-icons", 0.99);
  for (std::size_t i = 0; i < images.size(); ++i) {
    int drawn = 0;
    for (int y = 0; y < images[i].height(); ++y)
      for (int x = 0; x < images[i].width(); ++x) drawn += qAlpha(images[i].pixel(x, y)) > 16;
    EXPECT_GT(drawn, 20) << "icon " << i;
    for (std::size_t j = 0; j < i; ++j) EXPECT_NE(images[i], images[j]) << "icons " << j << " and " << i;
  }
  // The blinking draws the same shape fainter.
  const QImage dim = statusIcon(StatusIcon::idle, 0.25).pixmap(22, 22).toImage().convertToFormat(QImage::Format_ARGB32);
  int brighter = 0;
  for (int y = 0; y < dim.height(); ++y)
    for (int x = 0; x < dim.width(); ++x) brighter += qAlpha(images[0].pixel(x, y)) > qAlpha(dim.pixel(x, y));
  EXPECT_GT(brighter, 20);
}

TEST(RenderTest, WelcomePages) {
  auto controller = std::make_shared<OnboardingController>(
      OnboardingController::Callbacks{nullptr, [] { return std::optional<std::string>("Right Alt"); }, nullptr,
                                       nullptr, nullptr},
      OnboardingController::Dependencies{[] { return false; }, nullptr, nullptr, nullptr});
  WelcomeWindow window(*controller);
  window.show();
  const char* names[] = {"welcome-1-greeting", "welcome-2-permission", "welcome-3-try-it", "welcome-4-all-set"};
  for (int page = 0; page < 4; ++page) {
    controller->model().setPage(page);
    if (page == 2) controller->model().setAccessibilityGranted(true);
    QApplication::processEvents();
    checkRender(window.grab().toImage(), QSize(480, 380), names[page], 0.99);
  }
  window.detach();
}

TEST(RenderTest, ArchiveWindowListAndEmptyState) {
  kestrum::ManualMainQueue queue;
  TranscriptArchive archive("", {nullptr, nullptr, [](const std::string&) {}});
  auto pasteboard = std::make_shared<testing::FakePasteboard>();
  {
    ArchiveWindow empty(nullptr, std::make_unique<ArchiveViewModel>(ArchiveViewModel::Dependencies{&archive, &queue, pasteboard}));
    empty.show();
    QApplication::processEvents();
    checkRender(empty.grab().toImage(), QSize(560, 480), "archive-empty", 0.99);
  }
  archive.add("Remind me to call the plumber about the kitchen tap on Thursday morning.");
  archive.add("Milk, eggs, oat flakes and a loaf of rye bread.");
  archive.add("The meeting moves to half past three; the room stays the same.");
  ArchiveWindow window(nullptr, std::make_unique<ArchiveViewModel>(ArchiveViewModel::Dependencies{&archive, &queue, pasteboard}));
  window.show();
  window.view().copy(archive.entries()[1]);
  QApplication::processEvents();
  checkRender(window.grab().toImage(), QSize(560, 480), "archive-list", 0.99);
  window.view().enterSelectionMode();
  window.view().toggleSelection(archive.entries()[0].id);
  QApplication::processEvents();
  checkRender(window.grab().toImage(), QSize(560, 480), "archive-selecting", 0.99);
  window.view().exitSelectionMode();
  window.view().setQuery(" zebra ");
  QApplication::processEvents();
  checkRender(window.grab().toImage(), QSize(560, 480), "archive-no-match", 0.99);
}

}  // namespace
}  // namespace parlet::widgets
