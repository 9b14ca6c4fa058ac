#include "Parlet/desktop/widgets/WelcomeWindow.h"

#include <QCloseEvent>
#include <QCursor>
#include <QGuiApplication>
#include <QScreen>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QTimer>
#include <QVBoxLayout>

#include "Parlet/desktop/OverlayController.h"
#include "Parlet/desktop/PermissionText.h"
#include "Parlet/desktop/widgets/Labels.h"
#include "Parlet/desktop/widgets/Symbols.h"

namespace parlet::widgets {

QString welcomeHtml(const std::string& text) {
  QString out;
  for (const TextRun& run : boldRuns(text)) {
    const QString escaped = QString::fromStdString(keepPathsTogether(run.text)).toHtmlEscaped();
    out += run.bold ? "<b>" + escaped + "</b>" : escaped;
  }
  return out;
}

namespace {

// Every text of the window in the desktop's own font family, headings too: a second face for the
// headings (a serif the desktop does not use) would look borrowed.
QLabel* label(const QString& text, int pixelSize, QFont::Weight weight, const QColor& color) {
  auto* l = styledLabel(text, pixelSize, weight, false, color);
  l->setAlignment(Qt::AlignHCenter);
  l->setWordWrap(true);
  l->setTextFormat(Qt::RichText);
  return l;
}

class PageDots : public QWidget {
 public:
  PageDots(int count, int current, QColor color) : count_(count), current_(current), color_(color) {
    setFixedSize(count * 6 + (count - 1) * 6, 6);
  }
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    for (int i = 0; i < count_; ++i) {
      QColor c = color_;
      c.setAlphaF(i == current_ ? 0.7f : 0.18f);
      p.setBrush(c);
      p.drawEllipse(QRectF(i * 12.0, 0, 6, 6));
    }
  }

 private:
  int count_, current_;
  QColor color_;
};

}  // namespace

WelcomeWindow::WelcomeWindow(OnboardingController& controller)
    : QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint),
      controller_(&controller) {
  setWindowTitle("Welcome to Parlet");
  setFixedSize(static_cast<int>(OnboardingController::windowWidth), static_cast<int>(OnboardingController::windowHeight));
  setAutoFillBackground(true);

  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  page_ = new QWidget;
  auto* pageLayout = new QVBoxLayout(page_);
  pageLayout->setContentsMargins(28, 28, 28, 28);
  column->addWidget(page_, 1);
  auto* divider = new QFrame;
  divider->setFrameShape(QFrame::HLine);
  divider->setFrameShadow(QFrame::Plain);
  divider->setStyleSheet("color: rgba(128,128,128,0.3);");
  column->addWidget(divider);

  auto* footer = new QHBoxLayout;
  footer->setContentsMargins(20, 14, 20, 14);
  footer->setSpacing(8);  // not the column's 0, which would make Back and Next touch
  dots_ = new QWidget;
  dots_->setLayout(new QHBoxLayout);
  dots_->layout()->setContentsMargins(0, 0, 0, 0);
  footer->addWidget(dots_);
  footer->addStretch(1);
  back_ = new QPushButton("Back");
  main_ = new QPushButton("Next");
  main_->setDefault(true);
  footer->addWidget(back_);
  footer->addWidget(main_);
  column->addLayout(footer);

  QObject::connect(back_, &QPushButton::clicked, this, [this] {
    if (controller_) controller_->back();
  });
  QObject::connect(main_, &QPushButton::clicked, this, [this] {
    if (controller_) controller_->next();
  });
  // Left Arrow goes back, Return goes on, wherever the focus is (the try-it box keeps its arrows).
  auto* backKey = new QShortcut(QKeySequence(Qt::Key_Left), this);
  QObject::connect(backKey, &QShortcut::activated, this, [this] {
    if (controller_ && !(editor_ && editor_->hasFocus())) controller_->back();
  });
  for (int key : {Qt::Key_Return, Qt::Key_Enter}) {
    auto* nextKey = new QShortcut(QKeySequence(key), this);
    QObject::connect(nextKey, &QShortcut::activated, this, [this] {
      if (controller_ && !(editor_ && editor_->hasFocus())) controller_->next();
    });
  }

  observer_ = controller_->model().observe([this] { refresh(); });
  refresh();
}

WelcomeWindow::~WelcomeWindow() { detach(); }

void WelcomeWindow::detach() {
  if (controller_) controller_->model().removeObserver(observer_);
  controller_ = nullptr;
}

void WelcomeWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (placed_) return;
  placed_ = true;
  // On the screen of the pointer, as the pill, and above the pill so that it never covers the footer.
  QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
  if (!screen) screen = QGuiApplication::primaryScreen();
  if (!screen) return;
  const QRect area = screen->availableGeometry();
  const QMargins decoration = frameGeometry().size() == size() ? QMargins(0, 30, 0, 0)  // frame not known yet
                                                                : QMargins(geometry().left() - frameGeometry().left(),
                                                                           geometry().top() - frameGeometry().top(), 0, 0);
  const Rect frame = frameAboveThePill({double(area.x()), double(area.y()), double(area.width()), double(area.height())},
                                       width() + decoration.left(), height() + decoration.top());
  move(static_cast<int>(frame.x), static_cast<int>(frame.y));
}

void WelcomeWindow::closeEvent(QCloseEvent* event) {
  event->accept();
  if (auto* controller = controller_) {
    detach();
    controller->windowWillClose();
  }
}

void WelcomeWindow::refresh() {
  if (!controller_) return;
  const OnboardingModel& model = controller_->model();
  if (model.page() != builtPage_ || model.accessibilityGranted() != builtGranted_ || model.hotkeyTitle() != builtTitle_ ||
      model.modelProblem() != builtProblem_ || model.modelDownload().has_value() != builtDownloading_)
    buildCard();
  // The download moves in place: rebuilding the card would disturb what the user types in the box.
  if (progressBar_ && progressLabel_) {
    const OnboardingCard card = controller_->card();
    if (card.progress) {
      progressBar_->setValue(static_cast<int>(*card.progress * 1000));
      progressLabel_->setText(welcomeHtml(card.progressText));
    }
  }

  delete dots_->layout()->takeAt(0);
  for (QWidget* old : dots_->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) delete old;
  dots_->layout()->addWidget(new PageDots(OnboardingController::pageCount, model.page(), palette().color(QPalette::WindowText)));
  back_->setVisible(controller_->backVisible());
  main_->setText(QString::fromStdString(controller_->mainButtonTitle()));
  main_->setEnabled(controller_->mainButtonEnabled());
}

void WelcomeWindow::buildCard() {
  const OnboardingModel& model = controller_->model();
  const bool enteringTryIt = model.page() == 2 && builtPage_ != 2;
  builtPage_ = model.page();
  builtGranted_ = model.accessibilityGranted();
  builtTitle_ = model.hotkeyTitle();
  builtProblem_ = model.modelProblem();
  builtDownloading_ = model.modelDownload().has_value();

  const bool editorHadFocus = editor_ && editor_->hasFocus();
  delete card_;
  editor_ = nullptr;
  card_ = new QWidget;
  page_->layout()->addWidget(card_);
  const OnboardingCard card = controller_->card();
  const QColor primary = palette().color(QPalette::WindowText);
  QColor secondary = primary, tertiary = primary;
  secondary.setAlphaF(0.65f);
  tertiary.setAlphaF(0.45f);
  const QColor accent = palette().color(QPalette::Highlight);

  auto* stack = new QVBoxLayout(card_);
  stack->setContentsMargins(0, 0, 0, 0);
  stack->setSpacing(model.page() >= 2 ? 14 : 16);
  stack->addStretch(1);
  if (!card.symbol.empty()) {
    auto* symbols = new QHBoxLayout;
    symbols->setSpacing(12);
    symbols->addStretch(1);
    const int size = card.symbol == "arrow.up" ? 28 : model.page() == 1 ? 44 : 48;
    auto* icon = new QLabel;
    icon->setPixmap(symbolPixmap(QString::fromStdString(card.symbol), size, card.accentSymbol ? accent : primary,
                                 devicePixelRatioF()));
    symbols->addWidget(icon);
    if (card.symbol == "arrow.up") {
      auto* pencil = new QLabel;
      pencil->setPixmap(symbolPixmap("pencil.tip", 36, primary, devicePixelRatioF()));
      symbols->addWidget(pencil);
    }
    symbols->addStretch(1);
    stack->addLayout(symbols);
  }
  stack->addWidget(label(welcomeHtml(card.title), model.page() == 0 ? 24 : 22, QFont::DemiBold, primary));
  if (!card.subtitle.empty()) {
    auto* subtitle = label(welcomeHtml(card.subtitle), 14, QFont::Normal, secondary);
    subtitle->setContentsMargins(0, 0, 0, 6);
    stack->addWidget(subtitle);
  }
  if (!card.body.empty()) {
    auto* body = label(welcomeHtml(card.body), 13, QFont::Normal, secondary);
    body->setContentsMargins(8, 0, 8, 0);
    stack->addWidget(body);
  }
  if (card.actionButton) {
    auto* grant = new QPushButton(QString::fromStdString(*card.actionButton));
    grant->setMinimumHeight(30);
    QObject::connect(grant, &QPushButton::clicked, card_, [this] {
      if (controller_) controller_->grant();
    });
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    row->addWidget(grant);
    row->addStretch(1);
    stack->addLayout(row);
  }
  if (card.showsEditor) {
    editor_ = new QPlainTextEdit;
    editor_->setPlainText(QString::fromStdString(model.testField()));
    QFont font = editor_->font();
    font.setPixelSize(14);
    editor_->setFont(font);
    editor_->setFixedHeight(110);
    editor_->setStyleSheet(
        "QPlainTextEdit { background: rgba(128,128,128,0.08); border: 1px solid rgba(128,128,128,0.2);"
        " border-radius: 8px; padding: 8px; }");
    QObject::connect(editor_, &QPlainTextEdit::textChanged, editor_, [this] {
      if (controller_ && editor_) controller_->model().setTestField(editor_->toPlainText().toStdString());
    });
    stack->addWidget(editor_);
  }
  if (!card.bullets.empty()) {
    auto* bullets = new QVBoxLayout;
    bullets->setSpacing(model.page() == 0 ? 10 : 8);
    bullets->setContentsMargins(16, 0, 16, 0);
    for (const auto& text : card.bullets) {
      auto* row = new QHBoxLayout;
      row->setSpacing(10);
      auto* dot = new QLabel;
      dot->setPixmap(symbolPixmap("circle.fill", 5, secondary, devicePixelRatioF()));
      dot->setAlignment(Qt::AlignTop);
      dot->setContentsMargins(0, 6, 0, 0);
      row->addWidget(dot, 0, Qt::AlignTop);
      auto* line = label(welcomeHtml(text), 13, QFont::Normal, primary);
      line->setAlignment(Qt::AlignLeft);
      row->addWidget(line, 1);
      bullets->addLayout(row);
    }
    stack->addLayout(bullets);
  }
  progressBar_ = nullptr;
  progressLabel_ = nullptr;
  if (card.progress) {
    progressLabel_ = label(welcomeHtml(card.progressText), 12, QFont::Normal, secondary);
    stack->addWidget(progressLabel_);
    progressBar_ = new QProgressBar;
    progressBar_->setRange(0, 1000);
    progressBar_->setTextVisible(false);
    progressBar_->setFixedHeight(6);
    progressBar_->setValue(static_cast<int>(*card.progress * 1000));
    stack->addWidget(progressBar_);
  }
  if (!card.footnote.empty()) stack->addWidget(label(welcomeHtml(card.footnote), 11, QFont::Normal, tertiary));
  stack->addStretch(1);

  if (editorHadFocus && editor_) {
    editor_->setFocus();
    editor_->moveCursor(QTextCursor::End);
  }
  if (enteringTryIt && editor_) {
    // The box takes the focus, so that a dictation pastes into it; then the key is armed.
    editor_->setFocus();
    QTimer::singleShot(0, card_, [this] {
      if (controller_) controller_->armHotkey();
    });
  }
}

}  // namespace parlet::widgets
