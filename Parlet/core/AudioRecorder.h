// Records the default microphone into a new "parlet-<UUID>.wav" (16 kHz, mono, 16-bit signed
// little-endian PCM) in the per-user private temporary folder, one file per recording, and hands
// back the file and the wall-clock duration on stop. It never deletes a finished recording; the
// caller does. The platform recorder is a seam (`PlatformRecorder`); the real one captures through
// platform::audio's capture engine and writes with its file writer. Main thread only. `start`
// throws RecorderError (or the platform's error) when the recorder cannot be made or refuses to
// record. A recording whose capture failed, or that heard nothing from the input for
// `stallSeconds`, is no recording: `captureProblem` says so while it runs, and `stop` logs why,
// removes the file and hands back no url. Nothing here waits for the audio device.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "platform/Audio/CaptureEngine.h"

namespace parlet {

// The settings handed to the platform recorder; every recording uses these values.
struct RecordingSettings {
  std::uint32_t formatID = 0x6C70636D;  // 'lpcm', linear PCM
  int sampleRate = 16000;
  int numberOfChannels = 1;
  int linearPCMBitDepth = 16;
  bool linearPCMIsBigEndian = false;
  bool linearPCMIsFloat = false;
  friend bool operator==(const RecordingSettings&, const RecordingSettings&) = default;
};

class RecorderError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One recording into one file, with level meters.
class PlatformRecorder {
 public:
  virtual ~PlatformRecorder() = default;
  virtual void setMeteringEnabled(bool enabled) = 0;
  // Starts recording; false when the platform refuses.
  virtual bool record() = 0;
  // Stops and finishes the file. Safe to call more than once.
  virtual void stop() = 0;
  virtual bool isRecording() const = 0;
  // Takes a fresh reading for `averagePower`.
  virtual void updateMeters() = 0;
  // Average power of the last reading in dBFS (0 full scale, -160 silence).
  virtual float averagePower(int channel) const = 0;
  // Why recording ended before stop (the input failed), if it did. Any thread.
  virtual std::optional<std::string> failure() const { return std::nullopt; }
  // Frames the input has delivered so far; nothing when the recorder cannot tell. Any thread.
  virtual std::optional<std::uint64_t> capturedFrames() const { return std::nullopt; }
  // Frames in the file (final once stopped); nothing when the recorder cannot tell.
  virtual std::optional<std::uint64_t> recordedFrames() const { return std::nullopt; }
  // When the first captured frames reached the recorder; nothing before that, or when the recorder
  // cannot tell. Any thread.
  virtual std::optional<std::chrono::steady_clock::time_point> firstCaptureTime() const { return std::nullopt; }
};

// Makes a recorder for a file; throws when that is impossible (no device, no file).
using PlatformRecorderFactory =
    std::function<std::unique_ptr<PlatformRecorder>(const std::filesystem::path&, const RecordingSettings&)>;

class AudioRecorder {
 public:
  using Duration = std::chrono::nanoseconds;

  struct Dependencies {
    PlatformRecorderFactory makeRecorder;               // default: captureRecorderFactory()
    std::function<std::filesystem::path()> directory;   // default: the private temporary folder
    std::function<Duration()> now;                      // default: the steady clock
  };

  struct Result {
    std::optional<std::filesystem::path> url;
    double duration = 0;                 // seconds
    std::optional<std::uint64_t> frames;  // in the file, when the recorder can tell
  };

  // A recording that hears nothing from its input for this long has lost its microphone.
  static constexpr double stallSeconds = 2.0;

  // `log` receives the recorder's trace lines; default: ParletLog. With the default recorder the
  // audio system gets ready in the background (platform::audio::prepareCapture) from here on.
  explicit AudioRecorder(Dependencies dependencies = {}, std::function<void(const std::string&)> log = nullptr);

  // Picks a new file name (stored in `url` first), makes the platform recorder and starts it.
  // On failure `recorder()` and the start time stay as they were and no file is left behind.
  void start();
  // Stops the current recorder if any. The url of the latest start, and the time since that
  // start (0 when no recording runs); no url when the capture failed or stalled (logged). Else logs
  // how soon after the start the first audio arrived ("recorder first audio 38 ms after the start").
  Result stop();
  // While recording: why the recording cannot go on (the input failed, or it delivered nothing for
  // `stallSeconds`), if so. Called now and then (the level meter's ticks) to notice a stall.
  std::optional<std::string> captureProblem();

  // Removes the recordings a process of ours left behind (it quit or died before deleting them) from
  // the recorder's folder: regular files of this user named exactly "parlet-<UUID>.wav". Links,
  // folders, other users' files and other names stay. Returns how many went.
  int removeStaleRecordings() const;
  // Whether `name` is a recording's file name: "parlet-" + upper-case canonical UUID + ".wav".
  static bool isRecordingName(const std::string& name);

  // The recorder of the current recording, for the level meter; nullptr when stopped.
  PlatformRecorder* recorder() const { return recorder_.get(); }
  const std::optional<std::filesystem::path>& url() const { return url_; }

 private:
  Dependencies dependencies_;
  std::function<void(const std::string&)> log_;
  std::unique_ptr<PlatformRecorder> recorder_;
  std::optional<std::filesystem::path> url_;
  std::optional<Duration> startedAt_;
  std::chrono::steady_clock::time_point startedSteady_;  // for the first audio's delay, whatever `now` is
  std::uint64_t lastCaptured_ = 0;      // captured frames at the last change
  std::optional<Duration> lastChange_;  // when they last changed (or the recording started)
  std::optional<std::string> problem_;
};

// The real backend. Each recorder takes a new engine from `engines` and writes what it captures
// into the file in the settings' format (resampled, and mixed down to fewer channels, as needed).
// Making one throws RecorderError, leaving no file, when there is no input, the settings are not
// 16-bit or 32-bit float little-endian linear PCM, or the file cannot be created (a link at its
// name included). `record` is false when the engine will not start. The first call sends the sound
// libraries' own messages to the library log (kestrum::Logging) at debug level.
PlatformRecorderFactory captureRecorderFactory(
    platform::audio::CaptureEngineFactory engines = platform::audio::makeDefaultCaptureEngine);

}  // namespace parlet
