// Facts about the machine and the process, read from uname(2) and procfs on each call.
// Missing sources give empty texts or 0; nothing here throws. Thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace platform::system {

struct UnameInfo {
  std::string sysname;
  std::string nodename;
  std::string release;
  std::string version;
  std::string machine;  // "x86_64", "aarch64"
};

UnameInfo uname();

// The value of the first "key : value" line of /proc/cpuinfo whose key is `key` ("model name").
std::string cpuInfoField(std::string_view key);

// Number of "processor" entries in /proc/cpuinfo.
int cpuInfoProcessorCount();

// The trimmed text of a small file (procfs, sysfs); empty when it cannot be read.
std::string readSmallTextFile(const std::string& path);

// The machine's product name from DMI (/sys/devices/virtual/dmi/id/product_name), trimmed; may be empty.
std::string productName();

// Resident set size of this process in bytes (VmRSS of /proc/self/status); 0 when unknown.
std::uint64_t residentMemoryBytes();

// Processors this process may use: those of the calling thread's CPU affinity, capped by the CPU
// quota (cgroup v2 cpu.max) of the process's cgroup and of those above it; at least 1.
int activeProcessorCount();

}  // namespace platform::system
