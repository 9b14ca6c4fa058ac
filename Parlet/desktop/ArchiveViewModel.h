// The archive window's state and logic: the search over entry texts, normal and selection mode,
// the selection (kept across searches), the "Copied" confirmation of one card for 1.4 s, the two
// confirmations, and every title and enabling the window shows. Built fresh for each window.
// Observers hear of its own changes and, once the change has taken effect, of the archive's.
// Main thread only; nothing throws.
//   ArchiveViewModel view({&archive, &queue, pasteboard});  view.setQuery("milk");  view.filteredEntries();
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "KestrumCore/MainQueue.h"
#include "Parlet/core/Paster.h"
#include "Parlet/core/TranscriptArchive.h"
#include "Parlet/desktop/Observable.h"

namespace parlet {

class ArchiveViewModel : public Observable {
 public:
  using Entry = TranscriptArchive::Entry;
  using UUID = TranscriptArchive::UUID;

  struct Dependencies {
    TranscriptArchive* archive = nullptr;     // required; must outlive the model
    kestrum::MainQueue* mainQueue = nullptr;  // required; must outlive the model
    std::shared_ptr<Pasteboard> pasteboard;   // required by copy()
  };

  enum class Content { empty, noMatch, list };
  enum class Toolbar { none, normal, selecting };  // normal: Select, Clear All; selecting: Cancel, Delete

  static constexpr std::chrono::milliseconds copiedDuration{1400};

  // Throws std::invalid_argument without an archive or a main queue.
  explicit ArchiveViewModel(Dependencies dependencies);
  ~ArchiveViewModel();
  ArchiveViewModel(const ArchiveViewModel&) = delete;
  ArchiveViewModel& operator=(const ArchiveViewModel&) = delete;

  const TranscriptArchive& archive() const { return *dependencies_.archive; }
  const std::string& query() const { return query_; }
  bool selectionMode() const { return selectionMode_; }
  const std::set<UUID>& selected() const { return selected_; }
  const std::optional<UUID>& copiedID() const { return copiedID_; }
  bool confirmingClear() const { return confirmingClear_; }
  bool confirmingDeleteSelected() const { return confirmingDeleteSelected_; }

  // Entries whose text holds the trimmed query, ignoring case, newest first; all for a blank query.
  std::vector<Entry> filteredEntries() const;
  Content content() const;
  Toolbar toolbar() const;
  // "3 selected" in selection mode, else the privacy line.
  std::string subtitle() const;
  bool searchEnabled() const;
  bool clearSearchVisible() const;
  std::string noMatchText() const;
  std::string deleteButtonTitle() const;
  bool deleteButtonEnabled() const;
  std::string deleteSelectedTitle() const;

  void setQuery(std::string query);
  void enterSelectionMode();
  void exitSelectionMode();
  void toggleSelection(const UUID& id);
  // Puts the text on the clipboard and shows "Copied" on its card for 1.4 s.
  void copy(const Entry& entry);
  void remove(const Entry& entry);
  void requestClear();
  // Answers the clear-all confirmation: true clears the archive.
  void answerClear(bool confirmed);
  void requestDeleteSelected();
  // Answers the delete-selected confirmation: true deletes every selected entry, hidden ones too.
  void answerDeleteSelected(bool confirmed);

  // One card's buttons.
  struct Card {
    bool showsSelectionMark = false;
    bool showsTrash = false;
    bool showsCopy = false;
    std::string copyTitle;  // "Copy" or "Copied"
  };
  Card card(const Entry& entry, bool hovering) const;

 private:
  Dependencies dependencies_;
  TranscriptArchive::ObserverId archiveObserver_ = 0;
  std::string query_;
  bool selectionMode_ = false;
  std::set<UUID> selected_;
  std::optional<UUID> copiedID_;
  bool confirmingClear_ = false;
  bool confirmingDeleteSelected_ = false;
  std::shared_ptr<ArchiveViewModel*> self_;  // weak handle for delayed work
};

}  // namespace parlet
