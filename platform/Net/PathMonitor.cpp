#include "platform/Net/PathMonitor.h"

#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace platform::net {
namespace {

bool usableAddress(const sockaddr* address) {
  if (address->sa_family == AF_INET) return true;
  if (address->sa_family != AF_INET6) return false;
  const auto& a6 = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
  bool linkLocal = a6.s6_addr[0] == 0xfe && (a6.s6_addr[1] & 0xc0) == 0x80;
  return !linkLocal && !IN6_IS_ADDR_LOOPBACK(&a6);
}

int openRouteEvents() {
  int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
  if (fd < 0) return -1;
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

NetworkPath currentNetworkPath() {
  NetworkPath path;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return path;
  for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    unsigned flags = entry->ifa_flags;
    if (!entry->ifa_addr || !(flags & IFF_UP) || !(flags & IFF_RUNNING) || (flags & IFF_LOOPBACK)) continue;
    if (usableAddress(entry->ifa_addr)) {
      path.status = NetworkPath::Status::satisfied;
      break;
    }
  }
  freeifaddrs(list);
  return path;
}

PathMonitor::~PathMonitor() { cancel(); }

void PathMonitor::setUpdateHandler(Handler handler) {
  std::lock_guard lock(mutex_);
  handler_ = std::move(handler);
}

void PathMonitor::start() {
  std::lock_guard lock(mutex_);
  if (thread_.joinable()) return;
  int wake = eventfd(0, EFD_CLOEXEC);
  if (wake < 0) return;  // no thread to stop later; the monitor then reports nothing
  int events = openRouteEvents();  // -1 when netlink is unavailable: one report, then idle
  auto detached = std::make_shared<std::atomic<bool>>(false);
  wakeFd_ = wake;
  detached_ = detached;
  thread_ = std::thread([this, events, wake, detached] {
    run(events, wake);
    if (*detached) close(wake);  // cancelled from the handler: nobody else will close it
  });
}

void PathMonitor::cancel() {
  std::thread thread;
  int wake = -1;
  std::shared_ptr<std::atomic<bool>> detached;
  {
    std::lock_guard lock(mutex_);
    thread = std::move(thread_);
    wake = wakeFd_;
    wakeFd_ = -1;
    detached = std::move(detached_);
  }
  if (!thread.joinable()) return;
  std::uint64_t one = 1;
  [[maybe_unused]] auto written = write(wake, &one, sizeof one);
  if (thread.get_id() == std::this_thread::get_id()) {
    *detached = true;  // called from the handler: the loop ends after it returns
    thread.detach();
  } else {
    thread.join();
    close(wake);
  }
}

void PathMonitor::deliver(const NetworkPath& path) {
  Handler handler;
  {
    std::lock_guard lock(mutex_);
    handler = handler_;
  }
  if (handler) handler(path);
}

// Ends only when woken; the waking side closes `wake` once the thread has ended.
void PathMonitor::run(int events, int wake) {
  deliver(currentNetworkPath());
  for (;;) {
    pollfd fds[2] = {{wake, POLLIN, 0}, {events, POLLIN, 0}};
    int ready = poll(fds, events >= 0 ? 2 : 1, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      if (events >= 0) close(events);
      events = -1;
      continue;
    }
    if (fds[0].revents) break;
    if (events >= 0 && fds[1].revents) {
      char buffer[8192];
      while (recv(events, buffer, sizeof buffer, 0) > 0) {
      }
      deliver(currentNetworkPath());
    }
  }
  if (events >= 0) close(events);
}

}  // namespace platform::net
