// The "Grant Accessibility…" window of the evdev backend: why access is missing, the one-time steps
// (EvdevAccessibility.h) in a selectable monospace block, a button that copies them to the clipboard and
// one that closes the window. `showGrantAccessWindow` keeps one window: a second call raises it with the
// reason refreshed. GUI thread only; needs a QApplication.
#pragma once

#include <QWidget>

#include <string>

class QLabel;

namespace platform::desktop {

class GrantAccessWindow : public QWidget {
 public:
  GrantAccessWindow(const std::string& reason, const std::string& steps, QWidget* parent = nullptr);
  void setReason(const std::string& reason);
  const QString& steps() const { return steps_; }

 private:
  QLabel* reason_;
  QString steps_;
};

GrantAccessWindow* showGrantAccessWindow(const std::string& reason);

}  // namespace platform::desktop
