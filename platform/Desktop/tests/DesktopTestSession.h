// The test binary's one application and X session: on first use an Xvfb session of its own (with a tray
// host and a compositor) and a QApplication on it; without Xvfb, a QCoreApplication, and the tests that
// need a display skip with the reason. Both end when the test program ends.
#pragma once

#include <QCoreApplication>

#include <chrono>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "testsupport/XvfbSession.h"

namespace desktoptest {

QCoreApplication& application();
// The session, or null when there is none (see whyNoSession()).
testsupport::XvfbSession* session();
const std::string& whyNoSession();

// Runs the event loop until `done` holds or `limit` passes; whether it held.
bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(5));
// Runs the event loop for `duration`.
void pumpFor(std::chrono::milliseconds duration);

}  // namespace desktoptest

#define REQUIRE_X_SESSION()                                                               \
  do {                                                                                    \
    if (!desktoptest::session()) GTEST_SKIP() << "no X session: " << desktoptest::whyNoSession(); \
  } while (0)
