#include "platform/Desktop/detail/SyntheticKeys.h"

#include <chrono>
#include <deque>

namespace platform::desktop::detail {
namespace {

using Clock = std::chrono::steady_clock;

struct Expected {
  SyntheticKey key;
  Clock::time_point until;
};

int listeners = 0;

std::deque<Expected>& expected() {
  static std::deque<Expected> queue;
  return queue;
}

void dropExpired(std::deque<Expected>& queue) {
  const auto now = Clock::now();
  while (!queue.empty() && queue.front().until < now) queue.pop_front();  // never arrived
}

}  // namespace

void listenForSyntheticKeys(bool listen) {
  listeners += listen ? 1 : -1;
  if (listeners == 0) expected().clear();
}

void expectSyntheticKeys(const std::vector<SyntheticKey>& keys) {
  if (listeners == 0) return;  // nobody would take them
  dropExpired(expected());
  const auto until = Clock::now() + std::chrono::milliseconds(500);
  for (const SyntheticKey& key : keys) expected().push_back({key, until});
}

bool takeSyntheticKey(unsigned keycode, bool press) {
  auto& queue = expected();
  dropExpired(queue);
  if (queue.empty() || queue.front().key.keycode != keycode || queue.front().key.press != press) return false;
  queue.pop_front();
  return true;
}

}  // namespace platform::desktop::detail
