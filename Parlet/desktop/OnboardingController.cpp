#include "Parlet/desktop/OnboardingController.h"

#include <algorithm>

#include "Parlet/core/HotkeyManager.h"
#include "Parlet/desktop/StatusMenuModel.h"

namespace parlet {

OnboardingModel::OnboardingModel() : hotkeyTitle_(HotkeyManager::presets[0].title) {}

std::vector<TextRun> boldRuns(std::string_view text) {
  std::vector<TextRun> runs;
  bool bold = false;
  for (;;) {
    const auto mark = text.find("**");
    // An opening mark without its closing one is plain text.
    if (mark == std::string_view::npos || (!bold && text.find("**", mark + 2) == std::string_view::npos)) {
      if (!text.empty()) runs.push_back({std::string(text), bold});
      return runs;
    }
    if (mark > 0) runs.push_back({std::string(text.substr(0, mark)), bold});
    bold = !bold;
    text.remove_prefix(mark + 2);
  }
}

OnboardingController::OnboardingController(Callbacks callbacks, Dependencies dependencies)
    : callbacks_(std::move(callbacks)), dependencies_(std::move(dependencies)) {}

void OnboardingController::show() {
  auto log = [this](const std::string& line) {
    if (dependencies_.systemLog) dependencies_.systemLog(line);
  };
  log("Parlet: onboarding show()");
  window_.reset();
  if (dependencies_.makeWindow) window_ = dependencies_.makeWindow(*this);
  model_.setAccessibilityGranted(dependencies_.isTrusted && dependencies_.isTrusted());
  bringToFront();
  log(std::string("Parlet: onboarding window made key, isVisible=") +
      (window_ && window_->isVisible() ? "true" : "false"));
}

void OnboardingController::bringToFront() {
  if (window_) window_->bringToFront();
}

void OnboardingController::windowWillClose() {
  if (dependencies_.systemLog)
    dependencies_.systemLog(std::string("Parlet: onboarding windowWillClose, completed=") + (completed_ ? "true" : "false"));
  // The handle goes after the callback returns: the toolkit window is mid-close.
  auto closing = std::move(window_);
  auto keep = weak_from_this().lock();  // the callbacks may drop the application's reference
  if (completed_) {
    if (callbacks_.onCompleted) callbacks_.onCompleted();
  } else if (callbacks_.onDismissed) {
    callbacks_.onDismissed();
  }
}

void OnboardingController::grant() {
  if (callbacks_.onRequestAccessibility) callbacks_.onRequestAccessibility();
}

void OnboardingController::armHotkey() {
  if (!callbacks_.onTryHotkey) return;
  if (auto title = callbacks_.onTryHotkey()) model_.setHotkeyTitle(*title);
}

void OnboardingController::next() {
  if (!mainButtonEnabled()) return;
  if (model_.page() == pageCount - 1) {
    close();
    return;
  }
  model_.setPage(model_.page() + 1);
  if (model_.page() == 2) armHotkey();
  if (model_.page() == 3 && callbacks_.onPulseMenuBar) callbacks_.onPulseMenuBar();
}

void OnboardingController::back() {
  if (backVisible()) model_.setPage(model_.page() - 1);
}

void OnboardingController::close() {
  completed_ = true;
  if (window_) window_->close();
}

bool OnboardingController::backVisible() const { return model_.page() == 1 || model_.page() == 2; }

std::string OnboardingController::mainButtonTitle() const { return model_.page() == 3 ? "Got it" : "Next"; }

bool OnboardingController::mainButtonEnabled() const {
  return !(model_.page() == 1 && !model_.accessibilityGranted());
}

OnboardingCard OnboardingController::card() const {
  OnboardingCard card;
  switch (model_.page()) {
    case 0:
      card.symbol = "pencil.tip";
      card.title = "Welcome to Parlet";
      card.subtitle = "Voice is the new pen.";
      card.bullets = {"Hold a key, speak, release. Your words appear.",
                      "Free forever \u2014 no subscription, no account.",
                      "100% on-device. Audio never leaves your computer."};
      break;
    case 1:
      if (model_.accessibilityGranted()) {
        card.symbol = "checkmark.seal";
        card.accentSymbol = true;
        card.title = "All set";
        card.body = "Parlet has the access it needs. Click Next to try it out.";
      } else {
        card.symbol = "lock.shield";
        card.title = "Grant Accessibility";
        card.body = dependencies_.untrustedReason ? dependencies_.untrustedReason() : std::string();
        if (card.body.empty())
          card.body = "Parlet watches for your dictation hotkey and pastes the result into the active app. "
                      "It needs an X11 session with the XInput2 and XTest extensions for both.";
        card.actionButton = "Check Again";
        card.footnote = "Parlet will pick up access automatically \u2014 no need to relaunch.";
      }
      break;
    case 2:
      card.title = "Try it";
      card.body = "Click the box, hold **" + model_.hotkeyTitle() + "**, and speak.";
      card.showsEditor = true;
      card.footnote = "First use downloads a speech model of about 150 MB. The pill at the bottom of your "
                      "screen will say \u201CLoading model\u2026\u201D until it's ready.";
      // The download runs while the user tries the key: how far it is, as the menu says it, in
      // place of the note that it will come.
      if (model_.modelDownload()) {
        card.progress = std::clamp(*model_.modelDownload(), 0.0, 1.0);
        card.progressText = modelDownloadTitle(*model_.modelDownload(), model_.modelDownloadBytes()) +
                            ". The pill at the bottom of your screen says \u201CLoading model\u2026\u201D until it's ready.";
        card.footnote.clear();
      }
      // Promising "Loading model…" would be wrong while it cannot load.
      if (model_.modelProblem())
        card.footnote = "The speech model is not available yet: " + *model_.modelProblem() +
                        " Parlet tries again when the network is back, or choose Try Again in its menu.";
      break;
    default:
      card.symbol = "arrow.up";
      card.accentSymbol = true;
      card.title = "Parlet lives in your system tray";
      card.body = "Click the pencil icon in the tray anytime to change the hotkey, toggle Launch at Login, or quit.";
      card.bullets = {"Click any text field, anywhere on your desktop.", "Hold **" + model_.hotkeyTitle() + "** and speak.",
                      "Release. Your words appear where the cursor is."};
      break;
  }
  return card;
}

}  // namespace parlet
