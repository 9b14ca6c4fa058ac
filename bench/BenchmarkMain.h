// The main function of a Google Benchmark program, with the instruction set and the load averages
// before and after the run beside its figures.
//   int main(int argc, char** argv) { return runBenchmarks(argc, argv); }
#pragma once

#include <cstdio>

#include <benchmark/benchmark.h>

#include "bench/MachineFacts.h"

inline int runBenchmarks(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::AddCustomContext("instruction set", instructionSet());
  benchmark::AddCustomContext("load before", loadAveragesText());
  benchmark::RunSpecifiedBenchmarks();
  std::printf("load after: %s\n", loadAveragesText().c_str());
  benchmark::Shutdown();
  return 0;
}
