#include "platform/Desktop/X11ClipboardRequests.h"

#include <QAbstractNativeEventFilter>
#include <QGuiApplication>

#include <xcb/xcb.h>

#include <cstring>
#include <optional>

namespace platform::desktop {
namespace {

xcb_atom_t atom(xcb_connection_t* connection, const char* name) {
  xcb_intern_atom_reply_t* reply =
      xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
  const xcb_atom_t result = reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
  std::free(reply);
  return result;
}

std::optional<xcb_window_t> activeWindow(xcb_connection_t* connection, xcb_window_t root, xcb_atom_t property) {
  std::optional<xcb_window_t> result;
  xcb_get_property_reply_t* reply = xcb_get_property_reply(
      connection, xcb_get_property(connection, 0, root, property, XCB_ATOM_WINDOW, 0, 1), nullptr);
  if (reply && reply->format == 32 && xcb_get_property_value_length(reply) == 4) {
    const xcb_window_t window = *static_cast<xcb_window_t*>(xcb_get_property_value(reply));
    if (window != XCB_WINDOW_NONE) result = window;
  }
  std::free(reply);
  if (result) return result;
  // No window manager says which window is active: the input focus.
  xcb_get_input_focus_reply_t* focus = xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr);
  if (focus && focus->focus != XCB_WINDOW_NONE && focus->focus != XCB_INPUT_FOCUS_POINTER_ROOT) result = focus->focus;
  std::free(focus);
  return result;
}

}  // namespace

struct X11ClipboardRequests::Filter : QAbstractNativeEventFilter {
  xcb_connection_t* connection = nullptr;
  xcb_window_t root = XCB_WINDOW_NONE;
  xcb_atom_t clipboard = XCB_ATOM_NONE, activeProperty = XCB_ATOM_NONE;
  std::uint32_t clientMask = 0;  // the bits of a resource id that name its client
  std::function<void(const ClipboardRequest&)> handler;

  bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
    if (!handler || type != "xcb_generic_event_t") return false;
    auto* event = static_cast<xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) != XCB_SELECTION_REQUEST) return false;
    auto* request = static_cast<xcb_selection_request_event_t*>(message);
    const bool primary = request->selection == XCB_ATOM_PRIMARY;
    if (!primary && request->selection != clipboard) return false;
    const auto active = activeWindow(connection, root, activeProperty);
    const bool fromFocused = active && (*active & clientMask) == (request->requestor & clientMask);
    auto call = handler;  // the handler may replace itself
    call({primary, fromFocused});
    return false;  // Qt answers it
  }
};

X11ClipboardRequests::X11ClipboardRequests() {
  auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  if (!x11 || !x11->connection()) return;
  filter_ = std::make_unique<Filter>();
  Filter& f = *filter_;
  f.connection = x11->connection();
  const xcb_setup_t* setup = xcb_get_setup(f.connection);
  f.clientMask = ~setup->resource_id_mask;
  f.root = xcb_setup_roots_iterator(setup).data->root;
  f.clipboard = atom(f.connection, "CLIPBOARD");
  f.activeProperty = atom(f.connection, "_NET_ACTIVE_WINDOW");
  qGuiApp->installNativeEventFilter(filter_.get());
}

X11ClipboardRequests::~X11ClipboardRequests() {
  if (filter_ && qGuiApp) qGuiApp->removeNativeEventFilter(filter_.get());
}

void X11ClipboardRequests::setHandler(std::function<void(const ClipboardRequest&)> handler) {
  if (filter_) filter_->handler = std::move(handler);
}

}  // namespace platform::desktop
