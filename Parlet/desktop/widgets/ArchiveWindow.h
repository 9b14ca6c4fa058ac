// The archive window, "Parlet Archive": 560 × 480 at first, at least 480 × 360; a header with the
// subtitle, a toolbar with the search field and the mode's buttons, and the cards of the shown
// entries newest first (or the empty or no-match state). Drawn from the ArchiveViewModel it owns;
// reports its closing to the ArchiveWindowController. Ctrl+F focuses the search. GUI thread only.
#pragma once

#include <QWidget>
#include <map>
#include <memory>
#include <vector>

#include "Parlet/desktop/ArchiveViewModel.h"
#include "Parlet/desktop/ArchiveWindowController.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;
class QVBoxLayout;

namespace parlet::widgets {

class ArchiveCard;

class ArchiveWindow : public QWidget {
 public:
  // `controller` must outlive the window, or `detach()` must be called first.
  ArchiveWindow(ArchiveWindowController* controller, std::unique_ptr<ArchiveViewModel> view);
  ~ArchiveWindow() override;
  void detach() { controller_ = nullptr; }
  ArchiveViewModel& view() { return *view_; }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void refresh();
  void rebuildCards(const std::vector<TranscriptArchive::Entry>& entries);
  void confirmClear();
  void confirmDeleteSelected();

  ArchiveWindowController* controller_;
  std::unique_ptr<ArchiveViewModel> view_;
  Observable::ObserverId observer_ = 0;
  QLabel* subtitle_ = nullptr;
  QLineEdit* search_ = nullptr;
  QPushButton* select_ = nullptr;
  QPushButton* clearAll_ = nullptr;
  QPushButton* cancel_ = nullptr;
  QPushButton* delete_ = nullptr;
  QStackedWidget* content_ = nullptr;
  QLabel* noMatch_ = nullptr;
  QVBoxLayout* list_ = nullptr;
  std::vector<TranscriptArchive::UUID> shownIds_;
  std::map<TranscriptArchive::UUID, ArchiveCard*> cards_;
};

}  // namespace parlet::widgets
