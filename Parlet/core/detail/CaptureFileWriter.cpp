#include "Parlet/core/detail/CaptureFileWriter.h"

#include <cmath>
#include <fcntl.h>

#include <sndfile.h>
#include <soxr.h>

#include "platform/System/Folders.h"

namespace parlet::detail {

CaptureFileWriter::CaptureFileWriter(const std::filesystem::path& url, const RecordingSettings& settings,
                                     double inputRate)
    : channels_(settings.numberOfChannels) {
  if (settings.formatID != RecordingSettings{}.formatID || settings.sampleRate <= 0 || channels_ <= 0 ||
      settings.linearPCMIsBigEndian ||
      !(settings.linearPCMIsFloat ? settings.linearPCMBitDepth == 32 : settings.linearPCMBitDepth == 16))
    throw RecorderError("unsupported recording settings");
  if (!(inputRate > 0) || !std::isfinite(inputRate)) throw RecorderError("invalid capture sample rate");

  if (inputRate != settings.sampleRate) {
    soxr_error_t error = nullptr;
    soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    resampler_ = soxr_create(inputRate, settings.sampleRate, static_cast<unsigned>(channels_), &error, &io, &quality,
                             nullptr);
    if (error || !resampler_) throw RecorderError(std::string("cannot resample the capture: ") + (error ? error : "?"));
    ratio_ = settings.sampleRate / inputRate;
  }

  SF_INFO format{};
  format.samplerate = settings.sampleRate;
  format.channels = channels_;
  format.format = SF_FORMAT_WAV | (settings.linearPCMIsFloat ? SF_FORMAT_FLOAT : SF_FORMAT_PCM_16);
  platform::system::UniqueFd fd;
  try {
    fd = platform::system::openNoFollow(url, O_RDWR | O_CREAT | O_TRUNC, 0600);
  } catch (const std::exception& error) {
    if (resampler_) soxr_delete(resampler_);
    throw RecorderError(error.what());
  }
  file_ = sf_open_fd(fd.get(), SFM_WRITE, &format, SF_TRUE);
  if (!file_) {
    if (resampler_) soxr_delete(resampler_);
    std::error_code ignored;
    std::filesystem::remove(url, ignored);
    throw RecorderError("cannot create " + url.string() + ": " + sf_strerror(nullptr));
  }
  fd.release();  // closed by sf_close
  sf_command(file_, SFC_SET_CLIPPING, nullptr, SF_TRUE);
}

CaptureFileWriter::~CaptureFileWriter() { finish(); }

void CaptureFileWriter::put(const float* samples, std::size_t frames) {
  if (frames > 0) sf_writef_float(file_, samples, static_cast<sf_count_t>(frames));
}

void CaptureFileWriter::write(const float* samples, std::size_t frames) {
  if (!file_ || frames == 0) return;
  if (!resampler_) {
    put(samples, frames);
    return;
  }
  std::size_t capacity = static_cast<std::size_t>(std::ceil(frames * ratio_)) + 64;
  resampled_.resize(capacity * static_cast<std::size_t>(channels_));
  std::size_t consumed = 0;
  while (consumed < frames) {
    std::size_t used = 0;
    std::size_t produced = 0;
    if (soxr_process(resampler_, samples + consumed * static_cast<std::size_t>(channels_), frames - consumed, &used,
                     resampled_.data(), capacity, &produced))
      return;
    put(resampled_.data(), produced);
    consumed += used;
    if (used == 0 && produced == 0) break;
  }
}

void CaptureFileWriter::finish() {
  if (!file_) return;
  if (resampler_) {
    resampled_.resize(1024 * static_cast<std::size_t>(channels_));
    for (;;) {
      std::size_t produced = 0;
      if (soxr_process(resampler_, nullptr, 0, nullptr, resampled_.data(), 1024, &produced) || produced == 0) break;
      put(resampled_.data(), produced);
    }
    soxr_delete(resampler_);
    resampler_ = nullptr;
  }
  sf_close(file_);
  file_ = nullptr;
}

}  // namespace parlet::detail
