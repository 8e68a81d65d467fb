#include "shell/console_keys.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int kSignalCount = sizeof kSignals / sizeof kSignals[0];

termios saved_terminal;

// Puts the terminal back as it was, then dies of the signal as if unhandled.
void restore_and_die(int sig) {
  tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
  signal(sig, SIG_DFL);
  raise(sig);
}

bool read_byte(signed char& key, std::string& why) {
  for (;;) {
    unsigned char byte;
    const ssize_t n = read(STDIN_FILENO, &byte, 1);
    if (n == 1) {
      key = static_cast<signed char>(byte);
      return true;
    }
    if (n == 0) {
      why = "end of input";
      return false;
    }
    if (errno != EINTR) {
      why = std::strerror(errno);
      return false;
    }
  }
}

}  // namespace

bool read_console_key(signed char& key, std::string& why) {
  if (tcgetattr(STDIN_FILENO, &saved_terminal) != 0) {
    std::fflush(stdout);
    return read_byte(key, why);
  }

  struct sigaction previous[kSignalCount];
  struct sigaction restoring {};
  restoring.sa_handler = restore_and_die;
  sigemptyset(&restoring.sa_mask);
  for (int i = 0; i < kSignalCount; ++i) {
    sigaction(kSignals[i], nullptr, &previous[i]);
    // A signal that was ignored (a background job's SIGINT) stays ignored.
    if (previous[i].sa_handler != SIG_IGN) sigaction(kSignals[i], &restoring, nullptr);
  }

  termios raw = saved_terminal;
  raw.c_lflag &= ~(ICANON | ECHO);  // ISIG stays: Ctrl-C still interrupts
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  tcsetattr(STDIN_FILENO, TCSANOW, &raw);  // TCSANOW: keys typed ahead are kept
  // The prompt shows only once a key pressed at it can no longer be echoed.
  std::fflush(stdout);

  const bool ok = read_byte(key, why);

  tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
  for (int i = 0; i < kSignalCount; ++i) sigaction(kSignals[i], &previous[i], nullptr);
  return ok;
}
