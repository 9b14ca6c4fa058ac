// The welcome window: 480 × 380, titled "Welcome to Parlet", closable but neither resizable nor
// minimisable; the current page's card above a divider (the try-it page with the model download's
// progress while it runs), and a footer of page dots, "Back" (Left Arrow) and the main button
// (Return); every text in the desktop's own font family. Drawn from an OnboardingController, which it reports its
// closing to. GUI thread only.
#pragma once

#include <QWidget>

#include <optional>

#include "Parlet/desktop/OnboardingController.h"

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QVBoxLayout;

namespace parlet::widgets {

// A page text with **bold** marks as the window's rich text: escaped, bold runs in <b>, and paths
// kept whole when lines wrap.
QString welcomeHtml(const std::string& text);

class WelcomeWindow : public QWidget {
 public:
  // `controller` must outlive the window, or `detach()` must be called first.
  explicit WelcomeWindow(OnboardingController& controller);
  ~WelcomeWindow() override;
  // Stops drawing from and reporting to the controller.
  void detach();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void refresh();
  void buildCard();

  OnboardingController* controller_;
  Observable::ObserverId observer_ = 0;
  QWidget* page_ = nullptr;
  QWidget* card_ = nullptr;
  QWidget* dots_ = nullptr;
  QPushButton* back_ = nullptr;
  QPushButton* main_ = nullptr;
  QPlainTextEdit* editor_ = nullptr;
  QProgressBar* progressBar_ = nullptr;  // the model download on the try-it page, while it runs
  QLabel* progressLabel_ = nullptr;
  int builtPage_ = -1;
  bool builtGranted_ = false;
  std::string builtTitle_;
  std::optional<std::string> builtProblem_;
  bool builtDownloading_ = false;
  bool placed_ = false;
};

}  // namespace parlet::widgets
