// The welcome window's page model and controller: four pages (welcome, permission, try it, all
// set), a main button that moves forward, "Back" on the middle pages, and the five callbacks that
// the application turns into its services. Finishing the last page completes onboarding; closing
// the window any other way only dismisses it. The toolkit window comes from `makeWindow` and
// reports its closing through `windowWillClose()`. Main thread only; nothing throws.
//   auto welcome = std::make_shared<OnboardingController>(callbacks, dependencies);  welcome->show();
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Parlet/desktop/Observable.h"
#include "Parlet/desktop/WindowHandle.h"

namespace parlet {

class OnboardingModel : public Observable {
 public:
  OnboardingModel();

  int page() const { return page_; }  // 0 welcome, 1 permission, 2 try it, 3 all set
  bool accessibilityGranted() const { return accessibilityGranted_; }
  const std::string& hotkeyTitle() const { return hotkeyTitle_; }
  const std::string& testField() const { return testField_; }
  // Why the speech model is unavailable, in plain words; none while it loads or has loaded.
  const std::optional<std::string>& modelProblem() const { return modelProblem_; }
  // The speech model's download while it runs: its fraction 0…1, and its size in bytes (0 unknown).
  const std::optional<double>& modelDownload() const { return modelDownload_; }
  std::int64_t modelDownloadBytes() const { return modelDownloadBytes_; }

  void setPage(int value) { set(page_, value); }
  void setAccessibilityGranted(bool value) { set(accessibilityGranted_, value); }
  void setHotkeyTitle(std::string value) { set(hotkeyTitle_, std::move(value)); }
  void setTestField(std::string value) { set(testField_, std::move(value)); }
  void setModelProblem(std::optional<std::string> value) { set(modelProblem_, std::move(value)); }
  void setModelDownload(std::optional<double> fraction, std::int64_t totalBytes = 0) {
    const std::int64_t bytes = fraction ? totalBytes : 0;
    if (fraction == modelDownload_ && bytes == modelDownloadBytes_) return;
    modelDownload_ = fraction;
    modelDownloadBytes_ = bytes;
    changed();  // one change for both fields
  }

 private:
  int page_ = 0;
  bool accessibilityGranted_ = false;
  std::string hotkeyTitle_;
  std::string testField_;
  std::optional<std::string> modelProblem_;
  std::optional<double> modelDownload_;
  std::int64_t modelDownloadBytes_ = 0;
};

// One run of text, bold or not: "Hold **Right Alt** and speak." => "Hold ", "Right Alt"(bold), " and speak."
struct TextRun {
  std::string text;
  bool bold = false;
  friend bool operator==(const TextRun&, const TextRun&) = default;
};
std::vector<TextRun> boldRuns(std::string_view text);

// What a page draws, top to bottom; texts may carry **bold** marks.
struct OnboardingCard {
  std::string symbol;               // icon name: "pencil.tip", "lock.shield", "checkmark.seal", "arrow.up"
  bool accentSymbol = false;
  std::string title;
  std::string subtitle;             // below the title; empty for none
  std::string body;                 // centred lines; empty for none
  std::optional<std::string> actionButton;  // a large button calling the permission request
  bool showsEditor = false;         // the try-it text box
  std::vector<std::string> bullets;
  std::optional<double> progress;   // the model download's fraction on the try-it page, while it runs
  std::string progressText;         // "Downloading speech model… 42% (61.2 of 145.6 MB)"
  std::string footnote;             // small print at the bottom; empty for none
};

class OnboardingController : public std::enable_shared_from_this<OnboardingController> {
 public:
  struct Callbacks {
    std::function<void()> onRequestAccessibility;
    std::function<std::optional<std::string>()> onTryHotkey;  // the key's title, or none
    std::function<void()> onPulseMenuBar;
    std::function<void()> onCompleted;
    std::function<void()> onDismissed;
  };
  struct Dependencies {
    std::function<bool()> isTrusted;                   // default: false
    std::function<std::string()> untrustedReason;      // why watching keys is impossible, what to do
    std::function<std::unique_ptr<WindowHandle>(OnboardingController&)> makeWindow;  // required by show()
    std::function<void(const std::string&)> systemLog;  // default: nothing
  };

  static constexpr int pageCount = 4;
  static constexpr double windowWidth = 480, windowHeight = 380;

  OnboardingController(Callbacks callbacks, Dependencies dependencies);

  OnboardingModel& model() { return model_; }
  const OnboardingModel& model() const { return model_; }
  bool completed() const { return completed_; }
  bool isShown() const { return window_ != nullptr; }

  // Makes the window (replacing an earlier one), reads the permission, and brings it forward.
  void show();
  void bringToFront();
  // The window is closing, by any means.
  void windowWillClose();

  // View actions.
  void grant();
  void armHotkey();
  void next();
  void back();
  void close();

  // Footer and page contents.
  bool backVisible() const;
  std::string mainButtonTitle() const;
  bool mainButtonEnabled() const;
  OnboardingCard card() const;

 private:
  Callbacks callbacks_;
  Dependencies dependencies_;
  OnboardingModel model_;
  std::unique_ptr<WindowHandle> window_;
  bool completed_ = false;
};

}  // namespace parlet
