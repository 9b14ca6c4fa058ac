// The command line of `parlet`, read before anything needs a display: --help and --version answer
// and exit 0, anything else given is an error with exit status 2, and no arguments start the app.
//   auto reply = readCommandLine(argc, argv, "0.1.0");  if (!reply.run) { print reply.out/err; return reply.status; }
#pragma once

#include <string>

namespace parlet::app {

struct CommandLineReply {
  bool run = true;   // start the application; the fields below are unused then
  int status = 0;    // the exit status otherwise
  std::string out;   // for standard output
  std::string err;   // for standard error
};

CommandLineReply readCommandLine(int argc, const char* const* argv, const std::string& version);

}  // namespace parlet::app
