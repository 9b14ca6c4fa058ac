#include "Parlet/desktop/widgets/OverlayWindow.h"

#include <QCursor>
#include <QDateTime>
#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>

#include <algorithm>
#include <cmath>

#include "Parlet/desktop/widgets/Symbols.h"

namespace parlet::widgets {
namespace {

const QColor kForeground(255, 255, 255);
const QColor kMaterial(28, 28, 32, 205);  // a dark translucent capsule reads on any background

// Seconds since 1 January 2001 UTC, the clock the ripples run on.
constexpr double kReferenceDateOffset = 978307200;

QColor withOpacity(QColor color, double opacity) {
  color.setAlphaF(static_cast<float>(color.alphaF() * opacity));
  return color;
}

}  // namespace

OverlayWindow::OverlayWindow(QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus |
                          Qt::WindowTransparentForInput) {
  setAttribute(Qt::WA_TranslucentBackground);
  setAttribute(Qt::WA_ShowWithoutActivating);
  setAttribute(Qt::WA_TransparentForMouseEvents);
  setFocusPolicy(Qt::NoFocus);
  setWindowTitle("Parlet");
  setFixedSize(static_cast<int>(OverlayController::panelWidth), static_cast<int>(OverlayController::panelHeight));
  frames_.setInterval(16);
  connect(&frames_, &QTimer::timeout, this, [this] { update(); });
  appearance_.setDuration(380);
  appearance_.setEasingCurve(QEasingCurve::OutBack);
  connect(&appearance_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
    shown_ = value.toDouble();
    update();
  });
  connect(&appearance_, &QVariantAnimation::finished, this, [this] {
    if (model_ && !model_->visible()) modelChanged();  // out of sight: the content it kept goes
  });
  contentFade_.setDuration(200);
  contentFade_.setEasingCurve(QEasingCurve::InOutQuad);
  contentFade_.setStartValue(0.0);
  contentFade_.setEndValue(1.0);
  connect(&contentFade_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
    fade_ = value.toDouble();
    update();
  });
}

OverlayWindow::~OverlayWindow() { setModel(nullptr); }

void OverlayWindow::setModel(OverlayModel* model) {
  if (model_) model_->removeObserver(observer_);
  model_ = model;
  if (model_) observer_ = model_->observe([this] { modelChanged(); });
  shown_ = model_ && model_->visible() ? 1 : 0;
  modelChanged();
}

void OverlayWindow::freezeAt(double t) {
  frozenTime_ = t;
  appearance_.stop();
  contentFade_.stop();
  fade_ = 1;
  frames_.stop();
  shown_ = model_ && model_->visible() ? 1 : 0;
  if (model_) modelChanged();
  update();
}

double OverlayWindow::now() const {
  if (frozenTime_) return *frozenTime_;
  return QDateTime::currentMSecsSinceEpoch() / 1000.0 - kReferenceDateOffset;
}

void OverlayWindow::placeOnActiveScreen() {
  QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
  if (!screen) screen = QGuiApplication::primaryScreen();
  if (!screen) return;  // keep the old place
  const QRect area = screen->availableGeometry();
  const Rect frame = pillPanelFrame({double(area.x()), double(area.y()), double(area.width()), double(area.height())},
                                    width(), height());
  move(static_cast<int>(frame.x), static_cast<int>(frame.y));
}

// A label wider than the panel (a notice saying why the model is unavailable) widens it, up to the
// screen's width, so the capsule and its shadow are never cut; the panel stays centred.
void OverlayWindow::fitWidth() {
  // While shown, the label fading out counts too; a hidden pill fits the label it will show.
  const bool shown = model_ && model_->visible();
  const double capsules = shown ? std::max(capsuleWidth(previous_), capsuleWidth(current_)) : capsuleWidth(current_);
  int wanted = std::max(static_cast<int>(OverlayController::panelWidth), static_cast<int>(std::ceil(capsules)) + 40);
  QScreen* screen = QGuiApplication::screenAt(pos() + QPoint(width() / 2, height() / 2));
  if (!screen) screen = QGuiApplication::primaryScreen();
  if (screen) wanted = std::min(wanted, std::max(static_cast<int>(OverlayController::panelWidth), screen->availableGeometry().width()));
  if (wanted == width()) return;
  const int centre = x() + width() / 2;
  setFixedWidth(wanted);
  move(centre - wanted / 2, y());
}

void OverlayWindow::modelChanged() {
  if (!model_) {
    frames_.stop();
    update();
    return;
  }
  const double target = model_->visible() ? 1 : 0;
  if (!frozenTime_ && appearance_.endValue().toDouble() != target) {
    appearance_.stop();
    appearance_.setStartValue(shown_);
    appearance_.setEndValue(target);
    appearance_.start();
  } else if (frozenTime_) {
    shown_ = target;
  }
  const PillContent content = pillContent(*model_);
  // Going idle empties the content just before the pill hides: it fades out with what it showed,
  // rather than with a capsule shrinking under the fading label, and is emptied once out of sight.
  const bool fadingOut = content.icon == PillIcon::none && content.label.empty() && !frozenTime_ && shown_ > 0.001;
  if (!fadingOut && (content.icon != current_.icon || content.label != current_.label)) {
    previous_ = current_;
    current_ = content;
    contentFade_.stop();
    fade_ = 1;
    if (!frozenTime_ && model_->visible() && shown_ > 0.001) contentFade_.start();
  }
  fitWidth();
  const PillIcon icon = content.icon;
  const bool animated = model_->visible() && (icon == PillIcon::bars || icon == PillIcon::lockedBars || icon == PillIcon::busyDots);
  if (animated && !frozenTime_) {
    if (!frames_.isActive()) frames_.start();
  } else {
    frames_.stop();
  }
  update();
}

void OverlayWindow::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  p.setCompositionMode(QPainter::CompositionMode_Source);
  p.fillRect(rect(), Qt::transparent);
  p.setCompositionMode(QPainter::CompositionMode_SourceOver);
  if (!model_ || shown_ <= 0.001) return;

  const double t = now();
  const PillContent& content = current_;
  const double fade = std::clamp(fade_, 0.0, 1.0);
  QFont font = this->font();
  font.setPixelSize(13);
  font.setWeight(QFont::Medium);
  const double capsuleWidth = fade < 1 ? this->capsuleWidth(previous_) * (1 - fade) + this->capsuleWidth(content) * fade
                                       : this->capsuleWidth(content);
  const double capsuleHeight = std::max(16.0, QFontMetricsF(font).height()) + 20;

  // Show/hide: fade, slide up 18 points and grow from 94 %, anchored at the bottom centre.
  const double opacity = std::clamp(shown_, 0.0, 1.0);
  p.setOpacity(opacity);
  const QRectF capsule((width() - capsuleWidth) / 2, (height() - capsuleHeight) / 2, capsuleWidth, capsuleHeight);
  const double scale = 0.94 + 0.06 * std::min(shown_, 1.05);
  p.translate(capsule.center().x(), capsule.bottom() + 18 * (1 - shown_));
  p.scale(scale, scale);
  p.translate(-capsule.center().x(), -capsule.bottom());

  const double radius = capsuleHeight / 2;
  // Soft shadow below, then the capsule and its hairline border.
  for (int i = 6; i >= 1; --i) {
    const double grow = i * 1.6;
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, static_cast<int>(0.28 * 255 / 8)));
    p.drawRoundedRect(capsule.adjusted(-grow, -grow + 4, grow, grow + 4), radius + grow, radius + grow);
  }
  p.setBrush(kMaterial);
  p.setPen(QPen(withOpacity(kForeground, 0.12), 0.5));
  p.drawRoundedRect(capsule.adjusted(0.25, 0.25, -0.25, -0.25), radius, radius);

  // Whatever a cross-fade draws stays inside the capsule.
  QPainterPath inside;
  inside.addRoundedRect(capsule, radius, radius);
  p.setClipPath(inside);
  if (fade < 1) drawContent(p, previous_, capsule, t, 1 - fade);
  drawContent(p, content, capsule, t, fade);
}

double OverlayWindow::capsuleWidth(const PillContent& content) const {
  QFont font = this->font();
  font.setPixelSize(13);
  font.setWeight(QFont::Medium);
  const double barsWidth = 5 * 2.5 + 4 * 2.5;
  const double iconWidth = content.icon == PillIcon::lockedBars ? 10 + 5 + barsWidth : 22;
  const double labelWidth = QFontMetricsF(font).horizontalAdvance(QString::fromStdString(content.label));
  return iconWidth + (content.label.empty() ? 0 : 10 + labelWidth) + 32;
}

void OverlayWindow::drawContent(QPainter& p, const PillContent& content, const QRectF& capsule, double t,
                                double opacity) const {
  if (opacity <= 0.001) return;
  p.save();
  p.setOpacity(p.opacity() * opacity);
  QFont font = this->font();
  font.setPixelSize(13);
  font.setWeight(QFont::Medium);
  const WaveformBars bars = waveformBars(model_->level(), t);
  const double barsWidth = 5 * 2.5 + 4 * 2.5;
  const double iconWidth = content.icon == PillIcon::lockedBars ? 10 + 5 + barsWidth : 22;
  double x = capsule.left() + 16;
  const double midY = capsule.center().y();
  auto drawBars = [&](double left) {
    p.setPen(Qt::NoPen);
    p.setBrush(withOpacity(kForeground, bars.opacity));
    for (int i = 0; i < 5; ++i) {
      const double h = bars.heights[i];
      p.drawRoundedRect(QRectF(left + i * 5.0, midY - h / 2, 2.5, h), 1.25, 1.25);
    }
  };
  switch (content.icon) {
    case PillIcon::notice:
      drawSymbol(p, "exclamationmark.circle", QRectF(x + 3, midY - 8, 16, 16), withOpacity(kForeground, 0.7));
      break;
    case PillIcon::info:
      drawSymbol(p, "checkmark", QRectF(x + 3, midY - 8, 16, 16), withOpacity(kForeground, 0.7));
      break;
    case PillIcon::none: break;
    case PillIcon::busyDots: {
      const auto dots = processingDots(t);
      p.setPen(Qt::NoPen);
      for (int i = 0; i < 3; ++i) {
        p.setBrush(withOpacity(kForeground, 0.92 * dots[i]));
        p.drawEllipse(QRectF(x + 1.5 + i * 7.0, midY - 2.5, 5, 5));
      }
      break;
    }
    case PillIcon::lockedBars:
      drawSymbol(p, "lock.fill", QRectF(x, midY - 5, 10, 10), withOpacity(kForeground, 0.85));
      drawBars(x + 15);
      break;
    case PillIcon::bars: drawBars(x + (22 - barsWidth) / 2); break;
  }
  x += iconWidth + 10;
  if (!content.label.empty()) {
    const QString label = QString::fromStdString(content.label);
    p.setFont(font);
    p.setPen(withOpacity(kForeground, 0.92));
    p.drawText(QRectF(x, capsule.top(), QFontMetricsF(font).horizontalAdvance(label) + 2, capsule.height()),
               Qt::AlignLeft | Qt::AlignVCenter, label);
  }
  p.restore();
}

}  // namespace parlet::widgets
