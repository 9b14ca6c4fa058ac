// A figure of this process's /proc/self/status in kilobytes, for the memory counters of benchmarks:
// `field` is the line's key with its colon ("VmRSS:", "VmHWM:"); -1 when the line is missing.
//   const long before = statusKilobytes("VmRSS:");
#pragma once

#include <cstring>
#include <fstream>
#include <string>

inline long statusKilobytes(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field)));
  return -1;
}
