#include "Parlet/desktop/app/CommandLine.h"

#include <string_view>

namespace parlet::app {
namespace {

constexpr std::string_view usage =
    "Usage: parlet [--help | --version]\n"
    "Push-to-talk dictation in the system tray. Hold the trigger key (Right Alt unless you choose\n"
    "another), speak and let go: the speech is turned into text on this computer and typed into the\n"
    "window you were using. A quick double tap keeps it listening until you press the key again.\n"
    "\n"
    "Options:\n"
    "  -h, --help     print this help and exit\n"
    "      --version  print the version and exit\n"
    "\n"
    "Environment: HF_ENDPOINT, HF_TOKEN and HF_HUB_OFFLINE for the model download,\n"
    "PARLET_INPUT_BACKEND (x11 or evdev) for the trigger key; see parlet(1).\n";

}  // namespace

CommandLineReply readCommandLine(int argc, const char* const* argv, const std::string& version) {
  bool help = false, showVersion = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--help" || argument == "-h") {
      help = true;
    } else if (argument == "--version") {
      showVersion = true;
    } else {
      const char* what = argument.size() > 1 && argument[0] == '-' ? "unknown option" : "unexpected argument";
      return {false, 2, {}, "parlet: " + std::string(what) + " '" + std::string(argument) +
                                "'\nTry 'parlet --help' for more information.\n"};
    }
  }
  if (help) return {false, 0, std::string(usage), {}};
  if (showVersion) return {false, 0, "parlet " + version + "\n", {}};
  return {};
}

}  // namespace parlet::app
