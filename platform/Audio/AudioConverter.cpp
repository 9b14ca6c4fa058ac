#include "platform/Audio/AudioConverter.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <vector>

namespace platform::audio {

struct AudioConverter::State {
  soxr_t soxr = nullptr;      // null when the rates are equal: frames pass through
  bool inputEnded = false;    // the input block reported end of stream
  bool flushed = false;       // the resampler has been drained after the end
  // Converted frames not yet delivered, channel by channel.
  std::vector<std::vector<float>> pending;
  std::size_t pendingStart = 0;
  std::vector<float> mixed;   // input mixed down to one channel
  std::vector<float> scratch; // resampler output, channel-major

  ~State() {
    if (soxr) soxr_delete(soxr);
  }
  std::size_t pendingFrames() const { return pending.empty() ? 0 : pending[0].size() - pendingStart; }
};

namespace {

soxr_t makeResampler(double inRate, double outRate, unsigned channels, std::string* error) {
  soxr_error_t err = nullptr;
  soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_S, SOXR_FLOAT32_S);
  soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
  soxr_t soxr = soxr_create(inRate, outRate, channels, &err, &io, &quality, &runtime);
  if (err && error) *error = err;
  if (err && soxr) {
    soxr_delete(soxr);
    return nullptr;
  }
  return soxr;
}

}  // namespace

AudioConverter::AudioConverter(const AudioFormat& from, const AudioFormat& to, std::unique_ptr<State> state)
    : from_(from), to_(to), state_(std::move(state)) {}
AudioConverter::~AudioConverter() = default;
AudioConverter::AudioConverter(AudioConverter&&) noexcept = default;
AudioConverter& AudioConverter::operator=(AudioConverter&&) noexcept = default;

std::optional<AudioConverter> AudioConverter::make(const AudioFormat& from, const AudioFormat& to) {
  if (from.channelCount() != to.channelCount() && to.channelCount() != 1) return std::nullopt;
  auto state = std::make_unique<State>();
  state->pending.resize(to.channelCount());
  if (from.sampleRate() != to.sampleRate()) {
    state->soxr = makeResampler(from.sampleRate(), to.sampleRate(), to.channelCount(), nullptr);
    if (!state->soxr) return std::nullopt;
  }
  return AudioConverter(from, to, std::move(state));
}

void AudioConverter::reset() {
  State& s = *state_;
  if (s.soxr) soxr_clear(s.soxr);
  s.inputEnded = false;
  s.flushed = false;
  for (auto& channel : s.pending) channel.clear();
  s.pendingStart = 0;
}

AudioConverter::OutputStatus AudioConverter::convert(AudioPCMBuffer& output, std::string* error,
                                                     const InputBlock& input) {
  State& s = *state_;
  const std::uint32_t outChannels = to_.channelCount();
  if (output.format().channelCount() != outChannels || output.format().sampleRate() != to_.sampleRate()) {
    if (error) *error = "output buffer format does not match the converter";
    return OutputStatus::error;
  }

  // Moves pending frames into the output; true when the output is full.
  auto deliver = [&]() {
    std::size_t room = output.frameCapacity() - output.frameLength();
    std::size_t n = std::min(room, s.pendingFrames());
    if (n > 0) {
      for (std::uint32_t c = 0; c < outChannels; ++c)
        std::copy_n(s.pending[c].begin() + static_cast<std::ptrdiff_t>(s.pendingStart), n,
                    output.floatChannelData(c) + output.frameLength());
      s.pendingStart += n;
      output.setFrameLength(output.frameLength() + static_cast<std::uint32_t>(n));
    }
    if (s.pendingFrames() == 0) {
      for (auto& channel : s.pending) channel.clear();
      s.pendingStart = 0;
    }
    return output.frameLength() == output.frameCapacity();
  };

  // Runs `frames` frames (one pointer per output channel), or with `end` the drain, through the
  // resampler. Converted frames go straight into the output while it has room and nothing is pending,
  // the rest into `pending`.
  auto process = [&](const std::vector<const float*>& channels, std::size_t frames, bool end) -> bool {
    if (!s.soxr) {
      for (std::uint32_t c = 0; c < outChannels; ++c) s.pending[c].insert(s.pending[c].end(), channels[c], channels[c] + frames);
      return deliver(), true;
    }
    const double ratio = to_.sampleRate() / from_.sampleRate();
    std::vector<const float*> in(outChannels);
    std::vector<float*> out(outChannels);
    std::size_t offset = 0;
    bool forceScratch = false;
    for (;;) {
      const std::size_t remaining = end ? 0 : frames - offset;
      const std::size_t room = !forceScratch && s.pendingFrames() == 0 ? output.frameCapacity() - output.frameLength() : 0;
      const bool direct = room > 0;
      const std::size_t capacity =
          direct ? room : end ? 4096 : static_cast<std::size_t>(std::ceil(remaining * ratio)) + 64;
      if (!direct) s.scratch.resize(capacity * outChannels);
      for (std::uint32_t c = 0; c < outChannels; ++c) {
        in[c] = end ? nullptr : channels[c] + offset;
        out[c] = direct ? output.floatChannelData(c) + output.frameLength() : s.scratch.data() + c * capacity;
      }
      std::size_t used = 0, made = 0;
      soxr_error_t err = soxr_process(s.soxr, end ? nullptr : in.data(), remaining, &used, out.data(), capacity, &made);
      if (err) {
        if (error) *error = err;
        return false;
      }
      if (direct) output.setFrameLength(output.frameLength() + static_cast<std::uint32_t>(made));
      else
        for (std::uint32_t c = 0; c < outChannels; ++c) s.pending[c].insert(s.pending[c].end(), out[c], out[c] + made);
      if (end) {
        if (made < capacity) return true;  // drained
        continue;
      }
      offset += used;
      if (offset >= frames) return true;
      if (used == 0 && made == 0) {
        if (!direct) {
          if (error) *error = "the resampler made no progress";
          return false;
        }
        forceScratch = true;  // the output's little room held nothing back; use the scratch space
      }
    }
  };

  for (;;) {
    if (deliver()) return OutputStatus::haveData;
    if (s.flushed) return OutputStatus::endOfStream;
    if (s.inputEnded) {
      if (s.soxr && !process({}, 0, true)) return OutputStatus::error;
      s.flushed = true;
      continue;
    }
    InputStatus status = InputStatus::noDataNow;
    std::uint32_t wanted = output.frameCapacity() - output.frameLength();
    const AudioPCMBuffer* buffer = input ? input(wanted, status) : nullptr;
    if (status == InputStatus::endOfStream) {
      s.inputEnded = true;
      continue;
    }
    if (status == InputStatus::noDataNow || !buffer) return OutputStatus::inputRanDry;
    if (buffer->format().channelCount() != from_.channelCount() || buffer->format().sampleRate() != from_.sampleRate()) {
      if (error) *error = "input buffer format does not match the converter";
      return OutputStatus::error;
    }
    const std::size_t frames = buffer->frameLength();
    if (frames == 0) continue;
    std::vector<const float*> channels(outChannels);
    if (outChannels == from_.channelCount()) {
      for (std::uint32_t c = 0; c < outChannels; ++c) channels[c] = buffer->floatChannelData(c);
    } else {
      // Many channels to one: their average.
      s.mixed.assign(frames, 0.0f);
      const float scale = 1.0f / static_cast<float>(from_.channelCount());
      for (std::uint32_t c = 0; c < from_.channelCount(); ++c) {
        const float* in = buffer->floatChannelData(c);
        for (std::size_t i = 0; i < frames; ++i) s.mixed[i] += in[i];
      }
      for (auto& v : s.mixed) v *= scale;
      channels[0] = s.mixed.data();
    }
    if (!process(channels, frames, false)) return OutputStatus::error;
  }
}

}  // namespace platform::audio
