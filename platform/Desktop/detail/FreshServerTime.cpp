#include "platform/Desktop/detail/FreshServerTime.h"

// Qt before X11: Xlib's macros (Bool, Status, None) break Qt's headers.
#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QElapsedTimer>

#include <xcb/xcb.h>

#include "platform/Desktop/detail/XDisplay.h"

#include <X11/Xatom.h>

namespace platform::desktop::detail {
namespace {

// Notes when Qt handles the property change on its window; Qt takes the event's time after the filter.
class PropertyWatch : public QAbstractNativeEventFilter {
 public:
  PropertyWatch(xcb_window_t window, xcb_atom_t atom) : window_(window), atom_(atom) {}
  bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
    if (type != "xcb_generic_event_t") return false;
    auto* event = static_cast<xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) != XCB_PROPERTY_NOTIFY) return false;
    auto* notify = static_cast<xcb_property_notify_event_t*>(message);
    if (notify->window == window_ && notify->atom == atom_) seen = true;
    return false;
  }
  bool seen = false;

 private:
  xcb_window_t window_;
  xcb_atom_t atom_;
};

}  // namespace

void refreshServerTime() {
  DisplayPtr display(XOpenDisplay(nullptr));
  if (!display) return;
  Display* d = display.get();
  const Atom atom = XInternAtom(d, "_PARLET_SERVER_TIME", False);
  // Qt hears about property changes of the root window (its screens' work areas and settings live there).
  const Window id = DefaultRootWindow(d);
  PropertyWatch watch(static_cast<xcb_window_t>(id), static_cast<xcb_atom_t>(atom));
  QCoreApplication::instance()->installNativeEventFilter(&watch);
  const long value = 0;
  XChangeProperty(d, id, atom, XA_INTEGER, 32, PropModeReplace, reinterpret_cast<const unsigned char*>(&value), 1);
  XDeleteProperty(d, id, atom);
  XSync(d, False);
  QElapsedTimer clock;
  clock.start();
  while (!watch.seen && clock.elapsed() < 500)
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 5);
  QCoreApplication::instance()->removeNativeEventFilter(&watch);
}

}  // namespace platform::desktop::detail
