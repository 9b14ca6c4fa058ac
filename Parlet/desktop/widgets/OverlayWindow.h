// The pill's panel: a frameless, translucent, always-on-top tool window of 260 × 64 that never takes
// the focus and lets every click through, drawn from an OverlayModel. It stays shown for the life of
// the process; a hidden pill is drawn fully transparent. Showing slides it up 18 points while it
// fades in and grows from 94 %; a new state, notice or lock cross-fades in 0.2 s; the bars and dots
// animate only while shown. GUI thread only.
#pragma once

#include <QTimer>
#include <QVariantAnimation>
#include <QWidget>

class QPainter;

#include "Parlet/desktop/OverlayController.h"

namespace parlet::widgets {

class OverlayWindow : public QWidget {
 public:
  explicit OverlayWindow(QWidget* parent = nullptr);
  ~OverlayWindow() override;

  // Draws `model` from now on (it must outlive this window or be detached with nullptr).
  void setModel(OverlayModel* model);
  // Moves the panel to the screen under the pointer (the primary screen when none is).
  void placeOnActiveScreen();
  // Draws at time `t` (seconds) and without the show animation: for still renders.
  void freezeAt(double t);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void fitWidth();
  void modelChanged();
  double now() const;
  double capsuleWidth(const PillContent& content) const;
  void drawContent(QPainter& p, const PillContent& content, const QRectF& capsule, double t, double opacity) const;

  OverlayModel* model_ = nullptr;
  Observable::ObserverId observer_ = 0;
  QTimer frames_;
  QVariantAnimation appearance_;
  double shown_ = 0;  // 0 hidden … 1 shown
  // A change of icon or label fades from the previous content to the current one in 0.2 s.
  QVariantAnimation contentFade_;
  PillContent current_, previous_;
  double fade_ = 1;  // 0 previous … 1 current
  std::optional<double> frozenTime_;
};

}  // namespace parlet::widgets
