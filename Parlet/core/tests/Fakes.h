// Fakes of the dictation core's seams, for the headless tests.
#pragma once

#include <atomic>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "KestrumCore/MainQueue.h"
#include "Parlet/core/AudioRecorder.h"
#include "Parlet/core/HotkeyManager.h"
#include "Parlet/core/Paster.h"
#include "Parlet/core/SpeechEngine.h"
#include "platform/LanguageModel/SystemLanguageModel.h"

namespace parlet::testing {

// Background jobs held until the test runs them.
class ManualExecutor {
 public:
  void operator()(std::function<void()> job) { jobs_.push_back(std::move(job)); }
  std::size_t pending() const { return jobs_.size(); }
  // Runs the oldest job.
  void runOne() {
    auto job = std::move(jobs_.front());
    jobs_.erase(jobs_.begin());
    job();
  }
  void runAll() {
    while (!jobs_.empty()) runOne();
  }

 private:
  std::vector<std::function<void()>> jobs_;
};

// Runs background jobs and due main-queue work until neither has anything left.
inline void settle(kestrum::ManualMainQueue& queue, ManualExecutor& executor) {
  for (;;) {
    queue.runUntilIdle();
    if (executor.pending() == 0) return;
    executor.runAll();
  }
}

class FakeEngine : public SpeechEngine {
 public:
  std::vector<EngineResult> transcribe(const std::string& audioPath) override {
    std::lock_guard<std::mutex> hold(mutex);
    paths.push_back(audioPath);
    if (error) throw std::runtime_error(*error);
    if (!queued.empty()) {
      auto next = queued.front();
      queued.erase(queued.begin());
      return next;
    }
    return results;
  }
  std::optional<float> noSpeechThreshold() const override { return threshold; }
  std::mutex mutex;
  std::vector<EngineResult> results;
  std::optional<float> threshold = 0.6f;
  std::vector<std::vector<EngineResult>> queued;  // used first, one per call
  std::optional<std::string> error;
  std::vector<std::string> paths;
};

// Counts constructions; fails while `failures` is above 0.
struct FakeEngineFactory {
  std::shared_ptr<FakeEngine> engine = std::make_shared<FakeEngine>();
  std::atomic<int> constructions{0};
  std::atomic<int> failures{0};
  std::string failure = "model download failed";  // the error's text
  std::vector<EngineOptions> options;
  std::function<void()> duringConstruction;
  std::mutex mutex;

  SpeechEngineFactory factory() {
    return [this](const EngineOptions& given) -> std::shared_ptr<SpeechEngine> {
      ++constructions;
      {
        std::lock_guard<std::mutex> hold(mutex);
        options.push_back(given);
      }
      if (duringConstruction) duringConstruction();
      if (failures > 0) {
        --failures;
        throw std::runtime_error(failure);
      }
      return engine;
    };
  }
};

class FakePlatformRecorder : public PlatformRecorder {
 public:
  struct Shared {
    bool refuseToRecord = false;
    bool failCreation = false;
    float power = -160.0f;
    int created = 0;
    int stops = 0;
    int meterUpdates = 0;
    std::vector<std::filesystem::path> files;
    RecordingSettings settings;
    std::optional<std::uint64_t> frames;  // captured and recorded so far; nothing: unknown
    std::optional<std::string> failure;
  };

  explicit FakePlatformRecorder(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
  void setMeteringEnabled(bool enabled) override { metering_ = enabled; }
  bool record() override {
    recording_ = !shared_->refuseToRecord;
    return recording_;
  }
  void stop() override {
    recording_ = false;
    ++shared_->stops;
  }
  bool isRecording() const override { return recording_; }
  void updateMeters() override { ++shared_->meterUpdates; }
  float averagePower(int) const override { return metering_ ? shared_->power : -160.0f; }
  std::optional<std::string> failure() const override { return shared_->failure; }
  std::optional<std::uint64_t> capturedFrames() const override { return shared_->frames; }
  std::optional<std::uint64_t> recordedFrames() const override { return shared_->frames; }

  // A factory that makes the file (a few bytes) as a real recorder would.
  static PlatformRecorderFactory factory(std::shared_ptr<Shared> shared) {
    return [shared](const std::filesystem::path& url, const RecordingSettings& settings) {
      if (shared->failCreation) throw std::runtime_error("no input device");
      shared->settings = settings;
      shared->files.push_back(url);
      ++shared->created;
      std::ofstream(url) << "RIFF";
      return std::make_unique<FakePlatformRecorder>(shared);
    };
  }

 private:
  std::shared_ptr<Shared> shared_;
  bool metering_ = false;
  bool recording_ = false;
};

// A clipboard holding items of typed bytes; plain text is "text/plain;charset=utf-8".
class FakePasteboard : public Pasteboard {
 public:
  static constexpr const char* plainText = "text/plain;charset=utf-8";
  PasteboardSnapshot items() const override { return contents; }
  void clearContents() override { contents.clear(); }
  void setString(const std::string& text) override { contents = {{{plainText, text}}}; }
  std::optional<std::string> string() const override {
    for (const auto& item : contents) {
      auto it = item.find(plainText);
      if (it != item.end()) return it->second;
    }
    return std::nullopt;
  }
  void writeItems(const PasteboardSnapshot& items) override {
    contents.insert(contents.end(), items.begin(), items.end());
    ++writes;
  }
  PasteboardSnapshot contents;
  int writes = 0;
};

class FakePasteKeys : public PasteKeys {
 public:
  bool sendPasteChord(platform::desktop::PasteChord chord) override {
    if (!typeable) return false;
    ++chords;
    sent.push_back(chord);
    return true;
  }
  bool typeable = true;  // false: no chord can be typed
  int chords = 0;
  std::vector<platform::desktop::PasteChord> sent;
};

class FakeFocus : public FocusedApplication {
 public:
  std::optional<std::string> frontmostApplicationId() const override { return front; }
  std::optional<std::string> ownApplicationId() const override { return own; }
  std::optional<std::string> keyWindowTitle() const override { return keyWindow; }
  std::optional<std::string> firstResponderTypeName() const override { return firstResponder; }
  std::optional<platform::desktop::WindowClass> focusedWindowClass() const override { return windowClass; }
  bool sendPasteAction() override {
    ++pasteActions;
    return pasteActionHandled;
  }
  bool popupOpen() const override { return popup; }
  bool closePopups() override {
    ++popupCloses;
    if (!canGoBack) return false;
    popup = false;
    return true;
  }
  bool focusReturned() const override { return returned; }
  bool popup = false;       // a menu of this application is open
  bool canGoBack = true;    // closePopups() knows the window to go back to
  bool returned = true;     // that window has the focus again
  int popupCloses = 0;
  std::optional<std::string> front = std::string("org.example.editor");
  std::optional<std::string> own = std::string("org.parlet.Parlet");
  std::optional<std::string> keyWindow;
  std::optional<std::string> firstResponder;
  std::optional<platform::desktop::WindowClass> windowClass;
  bool pasteActionHandled = true;
  int pasteActions = 0;
};

// Requests of other applications for the clipboard, made by hand.
class FakeClipboardRequests : public platform::desktop::ClipboardRequests {
 public:
  void setHandler(std::function<void(const platform::desktop::ClipboardRequest&)> handler) override {
    this->handler = std::move(handler);
  }
  void request(bool primary, bool fromFocusedWindow) {
    if (handler) handler({primary, fromFocusedWindow});
  }
  std::function<void(const platform::desktop::ClipboardRequest&)> handler;
};

class FakeLanguageModel : public platform::languagemodel::SystemLanguageModel {
 public:
  platform::languagemodel::Availability availability() const override {
    return available ? platform::languagemodel::Availability::available()
                     : platform::languagemodel::Availability::unavailable(
                           platform::languagemodel::Availability::UnavailableReason::modelNotReady);
  }
  std::unique_ptr<platform::languagemodel::LanguageModelSession> makeSession(const std::string& instructions) override {
    sessions.push_back(instructions);
    return std::make_unique<Session>(this);
  }
  bool available = true;
  std::optional<std::string> response;  // nothing: respond throws
  std::vector<std::string> sessions;
  std::vector<std::string> prompts;

 private:
  struct Session : platform::languagemodel::LanguageModelSession {
    explicit Session(FakeLanguageModel* model) : model(model) {}
    std::string respond(const std::string& prompt, const platform::languagemodel::GenerationOptions&) override {
      model->prompts.push_back(prompt);
      if (!model->response) throw platform::languagemodel::LanguageModelError("guardrail violation");
      return *model->response;
    }
    FakeLanguageModel* model;
  };
};

// Delivers key events to whatever handlers the code under test installed.
class FakeKeyMonitors : public KeyEventMonitoring {
 public:
  struct Monitor {
    bool global;
    std::uint64_t mask;
    Handler handler;
  };
  Token addGlobalMonitor(std::uint64_t mask, Handler handler) override {
    monitors.push_back({true, mask, std::move(handler)});
    return monitors.size();
  }
  Token addLocalMonitor(std::uint64_t mask, Handler handler) override {
    monitors.push_back({false, mask, std::move(handler)});
    return monitors.size();
  }
  // Sends the event to the first monitor of that kind (global or local), as the platform would.
  void send(std::uint64_t mask, const KeyEvent& event, bool global = true) {
    for (auto& monitor : monitors)
      if (monitor.mask == mask && monitor.global == global) {
        monitor.handler(event);
        return;
      }
  }
  std::vector<Monitor> monitors;
};

}  // namespace parlet::testing
