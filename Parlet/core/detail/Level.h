// Level metering of the recorder: the power of a block of samples in dBFS.
#pragma once

#include <cstddef>

#include "platform/Audio/AudioFormat.h"

namespace parlet::detail {

// 20·log10(RMS) of float samples in [-1, 1]; -160 for silence or an empty block.
//   full-scale sine => about -3.01; full-scale square => 0
float averagePowerDecibels(const float* samples, std::size_t count);

// The same over the frameLength() frames of every channel of a buffer.
float averagePowerDecibels(const platform::audio::AudioPCMBuffer& buffer);

}  // namespace parlet::detail
