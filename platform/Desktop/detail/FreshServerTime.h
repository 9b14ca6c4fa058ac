// Brings the Qt connection's idea of the X server time up to now. Qt claims the clipboard with the time
// of the last event it saw, and the server refuses a claim older than the clipboard's last change, which
// another application may have made since. Main thread of a QGuiApplication on X11.
#pragma once

namespace platform::desktop::detail {

void refreshServerTime();

}  // namespace platform::desktop::detail
