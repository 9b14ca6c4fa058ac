#include "platform/Desktop/tests/ForeignClipboard.h"

#include <poll.h>

#include <chrono>

#include <gtest/gtest.h>

#include "testsupport/Wait.h"

// X11 last: Xlib's macros break other headers.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace desktoptest {
namespace {

using Clock = std::chrono::steady_clock;

// The next event of `type` (optionally for `window`), waiting up to `limit`.
bool waitFor(Display* d, int type, XEvent& event, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  while (Clock::now() < end) {
    while (XPending(d)) {
      XNextEvent(d, &event);
      if (event.type == type) return true;
    }
    pollfd fd{ConnectionNumber(d), POLLIN, 0};
    poll(&fd, 1, 20);
  }
  return false;
}

}  // namespace

ForeignClipboardOwner::ForeignClipboardOwner(std::map<std::string, std::string> targets, std::string selection)
    : state_(std::make_shared<State>()) {
  state_->targets = std::move(targets);
  state_->selection = std::move(selection);
  thread_ = std::thread([state = state_] { serve(*state); });
  EXPECT_TRUE(testsupport::waitUntil([this] { return state_->ready.load(); }, std::chrono::seconds(10),
                                     std::chrono::milliseconds(2)))
      << "the clipboard owner's connection to the X server did not come up within 10 s";
}

ForeignClipboardOwner::~ForeignClipboardOwner() {
  state_->stop = true;
  if (state_->ready) thread_.join();
  else thread_.detach();  // stuck in the X server; the state outlives this object
}

void ForeignClipboardOwner::serve(State& state) {
  Display* d = XOpenDisplay(nullptr);
  if (!d) {
    state.ready = true;
    return;
  }
  Window window = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
  const Atom clipboard = XInternAtom(d, state.selection.c_str(), False);
  const Atom targetsAtom = XInternAtom(d, "TARGETS", False);
  XSetSelectionOwner(d, clipboard, window, CurrentTime);
  state.owns = XGetSelectionOwner(d, clipboard) == window;
  XSync(d, False);
  state.ready = true;
  while (!state.stop) {
    if (!XPending(d)) {
      pollfd fd{ConnectionNumber(d), POLLIN, 0};
      poll(&fd, 1, 20);
      continue;
    }
    XEvent event;
    XNextEvent(d, &event);
    if (event.type == SelectionClear) {
      state.owns = false;
      continue;
    }
    if (event.type != SelectionRequest) continue;
    const XSelectionRequestEvent& request = event.xselectionrequest;
    XSelectionEvent reply{};
    reply.type = SelectionNotify;
    reply.requestor = request.requestor;
    reply.selection = request.selection;
    reply.target = request.target;
    reply.time = request.time;
    reply.property = None;
    const Atom property = request.property != None ? request.property : request.target;
    if (request.target == targetsAtom) {
      std::vector<Atom> atoms{targetsAtom};
      for (const auto& [name, bytes] : state.targets) atoms.push_back(XInternAtom(d, name.c_str(), False));
      XChangeProperty(d, request.requestor, property, XA_ATOM, 32, PropModeReplace,
                      reinterpret_cast<unsigned char*>(atoms.data()), static_cast<int>(atoms.size()));
      reply.property = property;
    } else {
      char* name = XGetAtomName(d, request.target);
      auto found = state.targets.find(name ? name : "");
      if (name) XFree(name);
      if (found != state.targets.end()) {
        XChangeProperty(d, request.requestor, property, request.target, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(found->second.data()),
                        static_cast<int>(found->second.size()));
        reply.property = property;
      }
    }
    XSendEvent(d, request.requestor, False, 0, reinterpret_cast<XEvent*>(&reply));
    XFlush(d);
  }
  XDestroyWindow(d, window);
  XCloseDisplay(d);
}

std::optional<std::string> readClipboard(const std::string& target, const std::string& selection) {
  Display* d = XOpenDisplay(nullptr);
  if (!d) return std::nullopt;
  Window window = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
  XSelectInput(d, window, PropertyChangeMask);
  const Atom clipboard = XInternAtom(d, selection.c_str(), False);
  const Atom property = XInternAtom(d, "PARLET_TEST_READ", False);
  const Atom incr = XInternAtom(d, "INCR", False);
  XConvertSelection(d, clipboard, XInternAtom(d, target.c_str(), False), property, window, CurrentTime);
  XFlush(d);

  std::optional<std::string> result;
  XEvent event;
  // Reads and deletes the property; its type through `type`.
  auto take = [&](Atom& type) {
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::string bytes;
    XGetWindowProperty(d, window, property, 0, 0x7fffffff / 4, True, AnyPropertyType, &type, &format, &count,
                       &after, &data);
    if (data) {
      bytes.assign(reinterpret_cast<char*>(data), count * (format == 32 ? sizeof(long) : format / 8));
      XFree(data);
    }
    return bytes;
  };
  if (waitFor(d, SelectionNotify, event, std::chrono::seconds(5)) && event.xselection.property != None) {
    Atom type = None;
    std::string bytes = take(type);
    if (type == incr) {
      // Chunks follow, each announced by a new value of the property; an empty one ends the transfer.
      std::string all;
      while (true) {
        bool chunk = false;
        while (waitFor(d, PropertyNotify, event, std::chrono::seconds(5)))
          if (event.xproperty.atom == property && event.xproperty.state == PropertyNewValue) {
            chunk = true;
            break;
          }
        if (!chunk) break;
        std::string part = take(type);
        if (part.empty()) {
          result = all;
          break;
        }
        all += part;
      }
    } else {
      result = bytes;
    }
  }
  XDestroyWindow(d, window);
  XCloseDisplay(d);
  return result;
}

std::vector<std::string> clipboardTargets() {
  std::vector<std::string> names;
  Display* d = XOpenDisplay(nullptr);
  if (!d) return names;
  auto bytes = readClipboard("TARGETS");
  if (bytes) {
    const auto* atoms = reinterpret_cast<const long*>(bytes->data());
    for (std::size_t i = 0; i < bytes->size() / sizeof(long); ++i) {
      char* name = XGetAtomName(d, static_cast<Atom>(atoms[i]));
      if (name) {
        names.emplace_back(name);
        XFree(name);
      }
    }
  }
  XCloseDisplay(d);
  return names;
}

void dropClipboardOwner() {
  Display* d = XOpenDisplay(nullptr);
  if (!d) return;
  XSetSelectionOwner(d, XInternAtom(d, "CLIPBOARD", False), None, CurrentTime);
  XSync(d, False);
  XCloseDisplay(d);
}

}  // namespace desktoptest
