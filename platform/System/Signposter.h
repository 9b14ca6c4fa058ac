// Interval tracing on a named category: begin an interval, keep its state, end it once.
// Events go to one process-wide sink; with no sink installed tracing is off and begin/end only
// make an id and a state (no text is formatted). Ending an interval a second time emits the end
// event with the message "[Error] Interval already ended". Thread-safe; an IntervalState may be
// copied, and copies share the ended flag.
//   auto state = signposter.beginInterval("EncodeAudio"); ...; signposter.endInterval("EncodeAudio", state);
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace platform::system {

struct SignpostEvent {
  enum class Kind { begin, end };
  Kind kind;
  std::string subsystem;
  std::string category;
  std::string name;
  std::uint64_t id;
  std::string message;  // empty for a normal begin or end
};

class Signposter {
 public:
  using Sink = std::function<void(const SignpostEvent&)>;

  class IntervalState {
   public:
    std::uint64_t id() const { return id_; }

   private:
    friend class Signposter;
    std::uint64_t id_ = 0;
    std::shared_ptr<std::atomic<bool>> ended_;
  };

  Signposter(std::string subsystem, std::string category);

  IntervalState beginInterval(std::string_view name) const;
  void endInterval(std::string_view name, const IntervalState& state) const;

  const std::string& subsystem() const { return subsystem_; }
  const std::string& category() const { return category_; }

  // Installs the process-wide sink (empty function: tracing off). Returns the previous one.
  static Sink setSink(Sink sink);
  static bool isEnabled();

  static constexpr std::string_view alreadyEndedMessage = "[Error] Interval already ended";

 private:
  std::string subsystem_;
  std::string category_;
};

}  // namespace platform::system
