// Whether the application has an X display to run on.
#pragma once

#include <string>

namespace parlet::app {

// Why there is no X display to run on (one line, saying what to do); empty when there is one.
std::string whyNoDisplay();

}  // namespace parlet::app
