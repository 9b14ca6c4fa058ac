// Whether the machine has a usable network path, as the shell hears of it: `start` delivers the
// current state and then every reported change, on the main queue, until the watch is destroyed.
// The application's watch reads the kernel's interface events; tests use a fake.
#pragma once

#include <functional>

namespace parlet {

class NetworkWatch {
 public:
  virtual ~NetworkWatch() = default;
  virtual void start(std::function<void(bool online)> onChange) = 0;
};

}  // namespace parlet
