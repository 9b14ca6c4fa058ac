// What the tray shows: the icon for the dictation state (or the missing permission), its
// blinking, the tooltip, which menu items are visible, checked or enabled, the model download
// of the first start, and why the speech model is unavailable. The toolkit layer builds the menu once (`items`) and redraws from `get()` on
// each change. Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "Parlet/core/ModelProblem.h"
#include "Parlet/desktop/Observable.h"

namespace parlet {

enum class StatusIcon { idle, preparing, recording, processing, needsAccessibility };

struct StatusMenu {
  std::string header;                     // "Parlet 0.1.0"
  StatusIcon icon = StatusIcon::idle;
  double iconAlpha = 1;
  std::string tooltip;
  bool grantedVisible = false;            // "Accessibility: Granted"
  bool grantVisible = false;              // "Grant Accessibility…"
  bool hotkeyVisible = false;             // the "Hotkey" submenu
  int checkedHotkey = -1;                 // row of the checked trigger key
  bool launchAtLoginChecked = false;
  bool copyLastEnabled = false;
  std::optional<double> modelDownload;    // fraction while the first model download runs
  std::int64_t modelDownloadBytes = 0;    // the download's size in bytes; 0 unknown
  std::optional<std::string> modelProblem;  // why the speech model is unavailable, in plain words
  bool retryEnabled = false;              // "Try Again" (shown with the problem) can be chosen
  bool offlineMode = false;               // HF_HUB_OFFLINE: "Offline mode is on" stands in for "Try Again"
  friend bool operator==(const StatusMenu&, const StatusMenu&) = default;
};

// "Downloading speech model… 42% (61.2 of 145.6 MB)"; without a size, "Downloading speech model… 42%".
std::string modelDownloadTitle(double fraction, std::int64_t totalBytes = 0);

class StatusMenuModel : public Observable {
 public:
  const StatusMenu& get() const { return menu_; }
  // Applies `edit`; observers hear of it only when something changed.
  void update(const std::function<void(StatusMenu&)>& edit) {
    StatusMenu next = menu_;
    edit(next);
    if (next == menu_) return;
    menu_ = std::move(next);
    changed();
  }

 private:
  StatusMenu menu_;
};

}  // namespace parlet
