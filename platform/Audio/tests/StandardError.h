// What the process writes on standard error (the sound libraries included) while a piece of a test
// runs, for tests that check that nothing reaches it.
//   EXPECT_EQ(audiotest::standardErrorOf([] { listInputDevices(); }), "");
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

namespace audiotest {

inline std::string standardErrorOf(const std::function<void()>& run) {
  char name[] = "/tmp/parlet-stderr-XXXXXX";
  const int file = ::mkstemp(name);
  const int saved = ::dup(2);
  std::fflush(stderr);
  ::dup2(file, 2);
  run();
  std::fflush(stderr);
  ::dup2(saved, 2);
  ::close(saved);
  ::close(file);
  std::ifstream in(name);
  std::stringstream text;
  text << in.rdbuf();
  ::unlink(name);
  return text.str();
}

}  // namespace audiotest
