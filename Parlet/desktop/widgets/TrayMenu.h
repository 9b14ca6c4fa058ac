// The tray icon and its menu, drawn from the AppController's StatusMenuModel; menu items call the
// controller's actions. Top to bottom: header, the model's line (its download while it runs, or why
// it is unavailable, with "Try Again"), separator,
// "Accessibility: Granted", "Grant Accessibility…", "Hotkey" ▸ the eight keys, "Launch at Login",
// separator, "Copy Last Transcript", "Show Archive…", "Show Welcome…", "Quit Parlet". GUI thread only.
#pragma once

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QSystemTrayIcon>
#include <vector>

#include "Parlet/desktop/AppController.h"

namespace parlet::widgets {

class TrayMenu {
 public:
  // `app` must outlive the tray.
  explicit TrayMenu(AppController& app);
  ~TrayMenu();
  TrayMenu(const TrayMenu&) = delete;
  TrayMenu& operator=(const TrayMenu&) = delete;

  QMenu& menu() { return menu_; }
  QSystemTrayIcon& icon() { return tray_; }

 private:
  void refresh();

  AppController& app_;
  Observable::ObserverId observer_ = 0;
  QMenu menu_;
  QMenu hotkeyMenu_;
  QSystemTrayIcon tray_;
  QAction* header_ = nullptr;
  QAction* download_ = nullptr;  // the model's line
  QLabel* statusLabel_ = nullptr;
  QAction* retry_ = nullptr;
  QAction* granted_ = nullptr;
  QAction* grant_ = nullptr;
  QAction* hotkey_ = nullptr;
  QAction* launchAtLogin_ = nullptr;
  QAction* copyLast_ = nullptr;
  std::vector<QAction*> keys_;
  std::optional<std::pair<StatusIcon, double>> drawnIcon_;
};

}  // namespace parlet::widgets
