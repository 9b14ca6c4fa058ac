// One piece of a longer audio: where it starts in the whole (16 kHz sample index) and a copy of its
// samples. A plain value.
#pragma once

#include <cstdint>
#include <vector>

namespace murmel {

struct AudioChunk {
  std::int64_t seekOffsetIndex = 0;
  std::vector<float> audioSamples;
  friend bool operator==(const AudioChunk&, const AudioChunk&) = default;
};

}  // namespace murmel
