#include "app/patch_watcher.h"

#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {
// Everything that can make the file read differently.
constexpr uint32_t kFileEvents =
    IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB;
}  // namespace

PatchWatcher::~PatchWatcher() { close_all(); }

void PatchWatcher::close_all() {
  for (int* fd : {&poll_fd_, &events_fd_, &quiet_fd_})
    if (*fd >= 0) {
      close(*fd);
      *fd = -1;
    }
}

bool PatchWatcher::watch(const std::string& path) {
  close_all();
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  name_ = slash == std::string::npos ? path : path.substr(slash + 1);

  events_fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  quiet_fd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  poll_fd_ = epoll_create1(EPOLL_CLOEXEC);
  const char* failed = nullptr;
  if (events_fd_ < 0 || quiet_fd_ < 0 || poll_fd_ < 0) {
    failed = "the system refused a watch";
  } else if (inotify_add_watch(events_fd_, folder.c_str(), kFileEvents | IN_ONLYDIR) < 0) {
    failed = "its folder cannot be watched";
  } else {
    epoll_event in{EPOLLIN, {}};
    epoll_event quiet{EPOLLIN, {}};
    if (epoll_ctl(poll_fd_, EPOLL_CTL_ADD, events_fd_, &in) != 0 ||
        epoll_ctl(poll_fd_, EPOLL_CTL_ADD, quiet_fd_, &quiet) != 0)
      failed = "the system refused a watch";
  }
  if (!failed) return true;
  std::fprintf(stderr, "wsy: changes to %s will not be noticed: %s (%s, folder \"%s\").\n", path.c_str(), failed,
               std::strerror(errno), folder.c_str());
  close_all();
  return false;
}

bool PatchWatcher::read_events() {
  bool concerned = false;
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t got = read(events_fd_, buffer, sizeof buffer);
    if (got <= 0) return concerned;  // EAGAIN: all taken
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      // An overflowed queue may have dropped the file's own events.
      if (event->mask & IN_Q_OVERFLOW) concerned = true;
      if (event->len > 0 && name_ == event->name) concerned = true;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}

bool PatchWatcher::take_change() {
  if (poll_fd_ < 0) return false;
  if (read_events()) {
    // Every touch starts the quiet time again; this also forgets an expiry not yet taken.
    const itimerspec quiet{{0, 0}, {0, kQuietMs * 1000000L}};
    timerfd_settime(quiet_fd_, 0, &quiet, nullptr);
    return false;
  }
  uint64_t expiries = 0;
  return read(quiet_fd_, &expiries, sizeof expiries) == sizeof expiries && expiries > 0;
}
