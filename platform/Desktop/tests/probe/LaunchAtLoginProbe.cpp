// Writes the autostart entry as the application does, for the program wherever this file is run from.
#include <cstdio>
#include <exception>

#include "platform/Desktop/LaunchAtLogin.h"

int main() {
  try {
    platform::desktop::LaunchAtLogin().registerItem();
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
}
