// Runs a program to its end with changes to this process's environment, and returns its exit status
// and what it printed. For tests that start a built or installed program the way a shell would.
//   auto result = runProgram({"/usr/bin/parlet", "--version"}, {{"DISPLAY", std::nullopt}});
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

struct ProgramResult {
  int status = -1;  // the exit status; -1 when it could not start or was ended by a signal
  std::string out;
  std::string err;
};

// `environment`: variables to set, or to remove where the value is nullopt, for the child alone.
ProgramResult runProgram(const std::vector<std::string>& command,
                         const std::vector<std::pair<std::string, std::optional<std::string>>>& environment = {});

}  // namespace testsupport
