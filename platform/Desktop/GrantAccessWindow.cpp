#include "platform/Desktop/GrantAccessWindow.h"

#include <QClipboard>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

#include "platform/Desktop/EvdevAccessibility.h"

namespace platform::desktop {

GrantAccessWindow::GrantAccessWindow(const std::string& reason, const std::string& steps, QWidget* parent)
    : QWidget(parent, Qt::Window), reason_(new QLabel), steps_(QString::fromStdString(steps)) {
  setWindowTitle("Parlet — Grant Accessibility");
  reason_->setWordWrap(true);
  setReason(reason);

  auto* text = new QPlainTextEdit(steps_);
  text->setReadOnly(true);
  text->setLineWrapMode(QPlainTextEdit::NoWrap);
  text->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  text->setMinimumSize(720, 340);

  auto* copy = new QPushButton("Copy Steps");
  auto* close = new QPushButton("Close");
  QObject::connect(copy, &QPushButton::clicked, this, [this, copy] {
    QGuiApplication::clipboard()->setText(steps_);
    copy->setText("Copied");
  });
  QObject::connect(close, &QPushButton::clicked, this, &QWidget::close);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(copy);
  buttons->addWidget(close);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(reason_);
  layout->addWidget(text);
  layout->addLayout(buttons);
}

void GrantAccessWindow::setReason(const std::string& reason) { reason_->setText(QString::fromStdString(reason)); }

GrantAccessWindow* showGrantAccessWindow(const std::string& reason) {
  static QPointer<GrantAccessWindow> window;
  if (!window) {
    window = new GrantAccessWindow(reason, grantAccessSteps(currentUserName()));
    window->setAttribute(Qt::WA_DeleteOnClose);
  } else {
    window->setReason(reason);
  }
  window->show();
  window->raise();
  window->activateWindow();
  return window;
}

}  // namespace platform::desktop
