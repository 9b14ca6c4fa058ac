// The `parlet` program started from a terminal without any display: --help and --version answer
// and exit 0, anything else given is an error with status 2, and no arguments still end with the
// one-line "no display" message and status 1.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testsupport/RunProgram.h"

namespace parlet::app {
namespace {

struct Case {
  std::vector<std::string> arguments;
  int status;
  std::string outStart;  // what standard output starts with ("" : prints nothing)
  std::string errPart;   // found in standard error ("" : prints nothing)
};

TEST(CommandLineTest, HelpVersionAndBadArgumentsAnswerWithoutADisplay) {
  const Case cases[] = {
      {{"--version"}, 0, "parlet " PARLET_VERSION "\n", ""},
      {{"--help"}, 0, "Usage: parlet [--help | --version]\n", ""},
      {{"-h"}, 0, "Usage: parlet", ""},
      {{"--version", "--help"}, 0, "Usage: parlet", ""},
      {{"--verbose"}, 2, "", "parlet: unknown option '--verbose'\nTry 'parlet --help'"},
      {{"--help", "-x"}, 2, "", "unknown option '-x'"},
      {{"notes.txt"}, 2, "", "parlet: unexpected argument 'notes.txt'"},
      {{"--version="}, 2, "", "unknown option '--version='"},
      {{}, 1, "", "parlet: no display (DISPLAY is not set)"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> command{PARLET_PROGRAM};
    command.insert(command.end(), c.arguments.begin(), c.arguments.end());
    std::string shown;
    for (const auto& a : c.arguments) shown += " " + a;
    SCOPED_TRACE("parlet" + shown);
    const auto result = testsupport::runProgram(command, {{"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}});
    EXPECT_EQ(result.status, c.status) << result.err;
    if (c.outStart.empty()) EXPECT_EQ(result.out, "");
    else EXPECT_EQ(result.out.rfind(c.outStart, 0), 0u) << result.out;
    if (c.errPart.empty()) EXPECT_EQ(result.err, "");
    else EXPECT_NE(result.err.find(c.errPart), std::string::npos) << result.err;
  }
}

TEST(CommandLineTest, HelpNamesTheOptionsAndTheEnvironment) {
  const auto result = testsupport::runProgram({PARLET_PROGRAM, "--help"}, {{"DISPLAY", std::nullopt}});
  ASSERT_EQ(result.status, 0) << result.err;
  for (const char* part : {"--help", "--version", "HF_ENDPOINT", "HF_TOKEN", "HF_HUB_OFFLINE", "PARLET_INPUT_BACKEND"})
    EXPECT_NE(result.out.find(part), std::string::npos) << part << " in\n" << result.out;
}

}  // namespace
}  // namespace parlet::app
