// What a benchmark's figures hold for: the processor, the instruction set the code was compiled for
// (with the extensions this processor has beyond it) and the machine's load averages.
//   benchmark::AddCustomContext("instruction set", instructionSet());
//   benchmark::AddCustomContext("load before", loadAveragesText());
#pragma once

#include <array>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

// The 1, 5 and 15 minute load averages; -1 each where /proc/loadavg cannot be read.
inline std::array<double, 3> loadAverages() {
  std::array<double, 3> load{-1, -1, -1};
  if (std::FILE* f = std::fopen("/proc/loadavg", "r")) {
    if (std::fscanf(f, "%lf %lf %lf", &load[0], &load[1], &load[2]) != 3) load = {-1, -1, -1};
    std::fclose(f);
  }
  return load;
}

inline std::string loadAveragesText() {
  const auto load = loadAverages();
  char text[96];
  std::snprintf(text, sizeof text, "%.2f %.2f %.2f (1, 5, 15 min; %u cores)", load[0], load[1], load[2],
                std::thread::hardware_concurrency());
  return text;
}

// The processor's model name as the kernel reports it; "unknown" where /proc/cpuinfo has none.
inline std::string processorName() {
  std::ifstream in("/proc/cpuinfo");
  for (std::string line; std::getline(in, line);) {
    if (!line.starts_with("model name")) continue;
    const std::size_t colon = line.find(':');
    if (colon != std::string::npos && colon + 2 <= line.size()) return line.substr(colon + 2);
  }
  return "unknown";
}

inline std::string instructionSet() {
  std::string built =
#if defined(__AVX512F__)
      "x86-64 with AVX-512";
#elif defined(__AVX2__)
      "x86-64 with AVX2";
#elif defined(__SSE4_2__)
      "x86-64 with SSE4.2";
#elif defined(__x86_64__)
      "x86-64 baseline (SSE2)";
#elif defined(__aarch64__)
      "AArch64";
#else
      "portable";
#endif
#if defined(__x86_64__)
  __builtin_cpu_init();
  std::string has;
  if (__builtin_cpu_supports("sse4.2")) has += " sse4.2";
  if (__builtin_cpu_supports("avx2")) has += " avx2";
  if (__builtin_cpu_supports("avx512f")) has += " avx512f";
  if (__builtin_cpu_supports("avx512bw")) has += " avx512bw";
  if (!has.empty()) built += "; processor has" + has;
#endif
  return built;
}
