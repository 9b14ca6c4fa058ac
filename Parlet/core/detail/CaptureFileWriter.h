// The recorder's file side: float sample blocks captured at the device's rate go into a WAV file
// in the recording settings' format (16 kHz, 16-bit PCM), resampled (libsoxr) when the rates
// differ. One writer per recording, used by one thread. Throws RecorderError.
//   CaptureFileWriter writer(url, RecordingSettings{}, 48000);  writer.write(block, 480);  writer.finish();
#pragma once

#include <cstddef>
#include <filesystem>
#include <vector>

#include "Parlet/core/AudioRecorder.h"

struct sf_private_tag;
struct soxr;

namespace parlet::detail {

class CaptureFileWriter {
 public:
  // Creates the file (without following a link at its name). Only little-endian linear PCM of 16
  // bits, or 32-bit float, is supported.
  CaptureFileWriter(const std::filesystem::path& url, const RecordingSettings& settings, double inputRate);
  // Finishes the file if `finish` was not called.
  ~CaptureFileWriter();
  CaptureFileWriter(const CaptureFileWriter&) = delete;
  CaptureFileWriter& operator=(const CaptureFileWriter&) = delete;

  // Interleaved frames of the settings' channel count.
  void write(const float* samples, std::size_t frames);
  // Drains the resampler and closes the file; later calls do nothing.
  void finish();

 private:
  void put(const float* samples, std::size_t frames);

  int channels_;
  sf_private_tag* file_ = nullptr;
  soxr* resampler_ = nullptr;
  double ratio_ = 1.0;
  std::vector<float> resampled_;
};

}  // namespace parlet::detail
