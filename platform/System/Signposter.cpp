#include "platform/System/Signposter.h"

#include <mutex>

namespace platform::system {
namespace {

std::mutex sinkMutex;
std::shared_ptr<const Signposter::Sink> currentSink;
std::atomic<bool> enabled{false};
std::atomic<std::uint64_t> nextId{1};

std::shared_ptr<const Signposter::Sink> sink() {
  std::lock_guard<std::mutex> hold(sinkMutex);
  return currentSink;
}

}  // namespace

Signposter::Signposter(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

Signposter::Sink Signposter::setSink(Sink newSink) {
  std::lock_guard<std::mutex> hold(sinkMutex);
  Sink previous = currentSink ? *currentSink : Sink();
  currentSink = newSink ? std::make_shared<const Sink>(std::move(newSink)) : nullptr;
  enabled.store(currentSink != nullptr);
  return previous;
}

bool Signposter::isEnabled() { return enabled.load(std::memory_order_relaxed); }

Signposter::IntervalState Signposter::beginInterval(std::string_view name) const {
  IntervalState state;
  state.id_ = nextId.fetch_add(1, std::memory_order_relaxed);
  state.ended_ = std::make_shared<std::atomic<bool>>(false);
  if (isEnabled()) {
    if (auto target = sink()) {
      (*target)(SignpostEvent{SignpostEvent::Kind::begin, subsystem_, category_, std::string(name), state.id_, {}});
    }
  }
  return state;
}

void Signposter::endInterval(std::string_view name, const IntervalState& state) const {
  // A default-made state was never begun; treat it as already ended.
  bool wasEnded = state.ended_ ? state.ended_->exchange(true) : true;
  if (!isEnabled()) return;
  if (auto target = sink()) {
    (*target)(SignpostEvent{SignpostEvent::Kind::end, subsystem_, category_, std::string(name), state.id_,
                            wasEnded ? std::string(alreadyEndedMessage) : std::string()});
  }
}

}  // namespace platform::system
