// Waiting in tests for something another thread brings about, with a deadline, so that a wait that
// never ends fails where it waits instead of hanging until the test runner's time-out. Header only;
// any thread.
//   ASSERT_TRUE(testsupport::waitUntil([&] { return server.requests().size() >= 3; })) << "no requests";
#pragma once

#include <chrono>
#include <thread>

namespace testsupport {

// Asks `done` every `step` until it answers true (then true) or `limit` has passed (then false,
// after asking once more).
template <class Predicate>
bool waitUntil(Predicate&& done, std::chrono::milliseconds limit = std::chrono::seconds(10),
               std::chrono::milliseconds step = std::chrono::milliseconds(1)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return done();
    std::this_thread::sleep_for(step);
  }
  return true;
}

}  // namespace testsupport
