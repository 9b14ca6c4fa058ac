#include "Parlet/desktop/ArchiveViewModel.h"

#include <stdexcept>
#include <unordered_set>

#include "platform/Text/Unicode.h"

namespace parlet {
namespace {

bool isBlank(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

std::string trimmed(const std::string& text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end && isBlank(text[begin])) ++begin;
  while (end > begin && isBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

}  // namespace

ArchiveViewModel::ArchiveViewModel(Dependencies dependencies)
    : dependencies_(std::move(dependencies)), self_(std::make_shared<ArchiveViewModel*>(this)) {
  if (!dependencies_.archive || !dependencies_.mainQueue)
    throw std::invalid_argument("ArchiveViewModel needs an archive and a main queue");
  // The archive speaks before it changes; redraw once the change has been made.
  std::weak_ptr<ArchiveViewModel*> weak = self_;
  archiveObserver_ = dependencies_.archive->observe([weak, queue = dependencies_.mainQueue] {
    queue->post([weak] {
      if (auto self = weak.lock()) (*self)->changed();
    });
  });
}

ArchiveViewModel::~ArchiveViewModel() { dependencies_.archive->removeObserver(archiveObserver_); }

std::vector<ArchiveViewModel::Entry> ArchiveViewModel::filteredEntries() const {
  const auto& entries = dependencies_.archive->entries();
  const std::string needle = trimmed(query_);
  if (needle.empty()) return entries;
  const std::string folded = platform::text::lowercased(needle);
  std::vector<Entry> found;
  for (const auto& entry : entries)
    if (platform::text::lowercased(entry.text).find(folded) != std::string::npos) found.push_back(entry);
  return found;
}

ArchiveViewModel::Content ArchiveViewModel::content() const {
  if (dependencies_.archive->entries().empty()) return Content::empty;
  if (filteredEntries().empty()) return Content::noMatch;
  return Content::list;
}

ArchiveViewModel::Toolbar ArchiveViewModel::toolbar() const {
  if (selectionMode_) return Toolbar::selecting;
  if (!dependencies_.archive->entries().empty()) return Toolbar::normal;
  return Toolbar::none;
}

std::string ArchiveViewModel::subtitle() const {
  if (selectionMode_) return std::to_string(selected_.size()) + " selected";
  return "Local-only. Audio is never stored.";
}

bool ArchiveViewModel::searchEnabled() const { return !dependencies_.archive->entries().empty(); }

bool ArchiveViewModel::clearSearchVisible() const { return !query_.empty(); }

std::string ArchiveViewModel::noMatchText() const {
  return "Nothing in your archive matches \u201C" + query_ + "\u201D.";
}

std::string ArchiveViewModel::deleteButtonTitle() const {
  return selected_.empty() ? "Delete" : "Delete " + std::to_string(selected_.size());
}

bool ArchiveViewModel::deleteButtonEnabled() const { return !selected_.empty(); }

std::string ArchiveViewModel::deleteSelectedTitle() const {
  return "Delete " + std::to_string(selected_.size()) + " transcript" + (selected_.size() == 1 ? "" : "s") + "?";
}

void ArchiveViewModel::setQuery(std::string query) { set(query_, std::move(query)); }

void ArchiveViewModel::enterSelectionMode() { set(selectionMode_, true); }

void ArchiveViewModel::exitSelectionMode() {
  selectionMode_ = false;
  selected_.clear();
  changed();
}

void ArchiveViewModel::toggleSelection(const UUID& id) {
  if (!selected_.erase(id)) selected_.insert(id);
  changed();
}

void ArchiveViewModel::copy(const Entry& entry) {
  if (dependencies_.pasteboard) {
    dependencies_.pasteboard->clearContents();
    dependencies_.pasteboard->setString(entry.text);
  }
  set(copiedID_, std::optional<UUID>(entry.id));
  std::weak_ptr<ArchiveViewModel*> weak = self_;
  dependencies_.mainQueue->postAfter(copiedDuration, [weak, id = entry.id] {
    auto self = weak.lock();
    if (self && (*self)->copiedID_ == id) (*self)->set((*self)->copiedID_, std::optional<UUID>());
  });
}

void ArchiveViewModel::remove(const Entry& entry) { dependencies_.archive->remove(entry); }

void ArchiveViewModel::requestClear() { set(confirmingClear_, true); }

void ArchiveViewModel::answerClear(bool confirmed) {
  set(confirmingClear_, false);
  if (confirmed) dependencies_.archive->clear();
}

void ArchiveViewModel::requestDeleteSelected() {
  if (!selected_.empty()) set(confirmingDeleteSelected_, true);
}

void ArchiveViewModel::answerDeleteSelected(bool confirmed) {
  set(confirmingDeleteSelected_, false);
  if (!confirmed) return;
  dependencies_.archive->remove(std::unordered_set<UUID>(selected_.begin(), selected_.end()));
  exitSelectionMode();
}

ArchiveViewModel::Card ArchiveViewModel::card(const Entry& entry, bool hovering) const {
  Card card;
  const bool copied = copiedID_ == entry.id;
  card.showsSelectionMark = selectionMode_;
  card.showsTrash = !selectionMode_ && (hovering || copied);
  card.showsCopy = !selectionMode_;
  card.copyTitle = copied ? "Copied" : "Copy";
  return card;
}

}  // namespace parlet
