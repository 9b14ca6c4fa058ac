#include "platform/Desktop/InputServices.h"

#include <exception>

#include "platform/Desktop/EvdevAccessibility.h"
#include "platform/Desktop/EvdevKeyMonitor.h"
#include "platform/Desktop/GrantAccessWindow.h"
#include "platform/Desktop/UinputKeyboard.h"
#include "platform/Desktop/X11KeyMonitor.h"
#include "platform/Desktop/X11PasteKeys.h"

namespace platform::desktop {
namespace {

template <class T, class Make>
std::unique_ptr<T> tryMake(const char* what, const std::function<void(const std::string&)>& log, Make make) {
  try {
    return make();
  } catch (const std::exception& error) {
    log(std::string(what) + " unavailable: " + error.what());
    return nullptr;
  }
}

}  // namespace

InputServices makeInputServices(PostToMain postToMain, std::function<void(const std::string&)> log) {
  if (!log) log = [](const std::string&) {};
  InputServices input;
  input.choice = chooseBackend(currentBackendEnvironment());
  log(input.choice.logLine());
  if (input.choice.backend == InputBackend::x11) {
    input.accessibility = [] { return accessibilityStatus(); };
    if (accessibilityStatus().trusted) {
      input.keys = tryMake<KeyEventMonitoring>("trigger key", log, [] { return std::make_unique<X11KeyMonitor>(); });
      input.pasteKeys = tryMake<X11PasteKeys>("paste chord", log, [] { return std::make_unique<X11PasteKeys>(); });
    }
    return input;
  }
  input.accessibility = [] { return evdevAccessibilityStatus(); };
  input.showGrantSteps = [accessibility = input.accessibility] {
    const auto status = accessibility();
    showGrantAccessWindow(status.trusted ? "Parlet can read the keyboard and paste: nothing more to do."
                                         : status.reason);
  };
  input.keys = tryMake<KeyEventMonitoring>("trigger key", log, [&] {
    EvdevKeyMonitor::Options options;
    options.log = log;
    return std::make_unique<EvdevKeyMonitor>(postToMain, std::move(options));
  });
  UinputPasteKeys::Options paste;
  paste.log = log;
  input.pasteKeys = std::make_shared<UinputPasteKeys>(std::move(paste));
  return input;
}

}  // namespace platform::desktop
