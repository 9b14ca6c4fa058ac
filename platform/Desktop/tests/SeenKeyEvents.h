// What a key monitor test saw of one event: whether it reached the local or the global handler, its
// mask (key down or flags changed), key code, modifier flags and whether the key is down after it.
// Compared as a whole, and printed readably by GoogleTest ("global keyDown 0 0x40000 down").
#pragma once

#include <cstdint>
#include <ostream>

#include "platform/Desktop/KeyEvents.h"

namespace platform::desktop::keymonitortest {

struct Seen {
  bool local;
  std::uint64_t mask;
  std::uint16_t keyCode;
  std::uint64_t flags;
  bool down;
  friend bool operator==(const Seen&, const Seen&) = default;
};

inline void PrintTo(const Seen& s, std::ostream* out) {
  *out << (s.local ? "local" : "global") << (s.mask == platform::desktop::EventMask::keyDown ? " keyDown " : " flags ")
       << s.keyCode << " 0x" << std::hex << s.flags << std::dec << (s.down ? " down" : " up");
}

}  // namespace platform::desktop::keymonitortest
