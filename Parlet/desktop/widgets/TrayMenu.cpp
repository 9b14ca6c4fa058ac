#include "Parlet/desktop/widgets/TrayMenu.h"

#include <QActionGroup>
#include <QLabel>
#include <QWidgetAction>

#include "Parlet/desktop/widgets/Symbols.h"

namespace parlet::widgets {

TrayMenu::TrayMenu(AppController& app) : app_(app) {
  header_ = menu_.addAction("Parlet");
  header_->setEnabled(false);
  // The model's line (its download, or why it is unavailable) is a label in the menu's normal
  // text colour, not a disabled item's faint one; its text is also the action's, for tests and
  // screen readers.
  statusLabel_ = new QLabel;
  statusLabel_->setWordWrap(true);
  statusLabel_->setMaximumWidth(340);
  statusLabel_->setContentsMargins(28, 4, 12, 4);  // in line with the items' text
  statusLabel_->setTextFormat(Qt::PlainText);
  auto* line = new QWidgetAction(&menu_);
  line->setDefaultWidget(statusLabel_);
  download_ = line;
  download_->setVisible(false);
  menu_.addAction(download_);
  retry_ = menu_.addAction("Try Again");
  retry_->setVisible(false);
  QObject::connect(retry_, &QAction::triggered, [this] { app_.retryModelLoad(); });
  menu_.addSeparator();
  granted_ = menu_.addAction("Accessibility: Granted");
  granted_->setEnabled(false);
  grant_ = menu_.addAction("Grant Accessibility\u2026");
  QObject::connect(grant_, &QAction::triggered, [this] { app_.openAccessibilitySettings(); });

  hotkeyMenu_.setTitle("Hotkey");
  auto* group = new QActionGroup(&hotkeyMenu_);
  for (int row = 0; row < static_cast<int>(HotkeyManager::presets.size()); ++row) {
    QAction* key = hotkeyMenu_.addAction(QString::fromStdString(HotkeyManager::presets[row].title));
    key->setCheckable(true);
    key->setData(row);  // the row is the item's tag
    group->addAction(key);
    QObject::connect(key, &QAction::triggered, [this, row] { app_.selectHotkey(row); });
    keys_.push_back(key);
  }
  hotkey_ = menu_.addMenu(&hotkeyMenu_);
  launchAtLogin_ = menu_.addAction("Launch at Login");
  launchAtLogin_->setCheckable(true);
  QObject::connect(launchAtLogin_, &QAction::triggered, [this] { app_.toggleLaunchAtLogin(); });
  menu_.addSeparator();
  copyLast_ = menu_.addAction("Copy Last Transcript");
  QObject::connect(copyLast_, &QAction::triggered, [this] { app_.copyLastTranscript(); });
  QObject::connect(menu_.addAction("Show Archive\u2026"), &QAction::triggered, [this] { app_.showArchive(); });
  QObject::connect(menu_.addAction("Show Welcome\u2026"), &QAction::triggered, [this] { app_.reshowOnboarding(); });
  QAction* quit = menu_.addAction("Quit Parlet");
  quit->setShortcut(QKeySequence("Ctrl+Q"));
  QObject::connect(quit, &QAction::triggered, [this] { app_.quit(); });
  QObject::connect(&menu_, &QMenu::aboutToShow, [this] { app_.menuWillOpen(); });

  tray_.setContextMenu(&menu_);
  // A left click opens the same menu, as a status item does.
  QObject::connect(&tray_, &QSystemTrayIcon::activated, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger) menu_.popup(QCursor::pos());
  });
  observer_ = app_.menu().observe([this] { refresh(); });
  refresh();
  tray_.show();
}

TrayMenu::~TrayMenu() { app_.menu().removeObserver(observer_); }

void TrayMenu::refresh() {
  const StatusMenu& state = app_.menu().get();
  header_->setText(QString::fromStdString(state.header));
  QString line;
  if (state.modelDownload)
    line = QString::fromStdString(modelDownloadTitle(*state.modelDownload, state.modelDownloadBytes));
  else if (state.modelProblem)
    line = QString::fromStdString(modelProblemTitle(*state.modelProblem));
  // The label first: the menu measures its line again when the action changes, and must find
  // the new text there (else an open menu keeps the old text's height until the next change).
  statusLabel_->setText(line);
  download_->setText(line);
  download_->setVisible(!line.isEmpty());
  retry_->setVisible(state.modelProblem.has_value());
  // Under offline mode a try cannot help: the line says so, and cannot be chosen.
  retry_->setText(state.offlineMode ? "Offline mode is on (HF_HUB_OFFLINE is set)" : "Try Again");
  retry_->setEnabled(state.retryEnabled);
  granted_->setVisible(state.grantedVisible);
  grant_->setVisible(state.grantVisible);
  hotkey_->setVisible(state.hotkeyVisible);
  for (int row = 0; row < static_cast<int>(keys_.size()); ++row) keys_[row]->setChecked(row == state.checkedHotkey);
  launchAtLogin_->setChecked(state.launchAtLoginChecked);
  copyLast_->setEnabled(state.copyLastEnabled);
  if (drawnIcon_ != std::make_pair(state.icon, state.iconAlpha)) {
    drawnIcon_ = std::make_pair(state.icon, state.iconAlpha);
    tray_.setIcon(statusIcon(state.icon, state.iconAlpha));
  }
  QString tooltip = QString::fromStdString(state.tooltip);
  if (!line.isEmpty()) tooltip += "\n" + line;
  tray_.setToolTip(tooltip);
}

}  // namespace parlet::widgets
