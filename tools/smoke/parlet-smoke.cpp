// parlet-smoke: runs what exists of Parlet without a display or a microphone and prints what it
// sees, so a person can check a build at a glance: this machine as the engine identifies it, the
// model it would choose, the trigger keys, the folders, and the engine's default decoding options.
#include <cstdio>
#include <exception>
#include <string>

#include "KestrumCore/Extensions.h"
#include "Murmel/Constants.h"
#include "Murmel/DecodingOptions.h"
#include "Parlet/core/HotkeyManager.h"
#include "Parlet/core/TranscriptArchive.h"
#include "platform/System/Folders.h"
#include "platform/System/Json.h"

namespace {

void section(const char* title) { std::printf("\n== %s\n", title); }

void row(const char* name, const std::string& value) { std::printf("  %-22s %s\n", name, value.c_str()); }

}  // namespace

int main() {
  try {
    std::printf("Parlet smoke run: push-to-talk dictation libraries on this machine\n");

    section("This machine");
    row("device", kestrum::ProcessInfo::hwModel());
    row("processor", kestrum::ProcessInfo::processor());
    row("logical processors", kestrum::ProcessInfo::threads());

    section("Speech model for this device");
    auto support = murmel::Constants::fallbackModelSupportConfig().modelSupport(kestrum::ProcessInfo::hwModel());
    row("default model", support.defaultModel);
    row("supported models", std::to_string(support.supported.size()));

    section("Trigger keys");
    for (const auto& key : parlet::HotkeyManager::presets)
      row(std::to_string(key.keyCode).c_str(), key.title);

    section("Folders");
    row("recordings and log", platform::system::privateTemporaryDirectory().string());
    row("archive", parlet::TranscriptArchive::defaultLocation().string());
    row("settings", platform::system::settingsDirectory().string());

    section("Default decoding options");
    std::printf("%s\n", platform::json::write(murmel::DecodingOptions().toJson(), {.pretty = true, .sortedKeys = true}).c_str());

    std::printf("\nsmoke run finished\n");
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "smoke run failed: %s\n", error.what());
    return 1;
  }
}
