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
struct sigaction saved_actions[kSignalCount];
bool raw = false;

// Puts the terminal back as it was, then dies of the signal as if unhandled.
void restore_and_die(int sig) {
  tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
  signal(sig, SIG_DFL);
  raise(sig);
}

void end_raw_keys() {
  if (!raw) return;
  raw = false;
  tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
  for (int i = 0; i < kSignalCount; ++i) sigaction(kSignals[i], &saved_actions[i], nullptr);
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

void begin_raw_keys() {
  if (raw || tcgetattr(STDIN_FILENO, &saved_terminal) != 0) return;  // not a terminal: nothing to switch
  struct sigaction restoring {};
  restoring.sa_handler = restore_and_die;
  sigemptyset(&restoring.sa_mask);
  for (int i = 0; i < kSignalCount; ++i) {
    sigaction(kSignals[i], nullptr, &saved_actions[i]);
    // A signal that was ignored (a background job's SIGINT) stays ignored.
    if (saved_actions[i].sa_handler != SIG_IGN) sigaction(kSignals[i], &restoring, nullptr);
  }
  termios keys = saved_terminal;
  keys.c_lflag &= ~(ICANON | ECHO);  // ISIG stays: Ctrl-C still interrupts
  keys.c_cc[VMIN] = 1;
  keys.c_cc[VTIME] = 0;
  tcsetattr(STDIN_FILENO, TCSANOW, &keys);  // TCSANOW: keys typed ahead are kept
  raw = true;
}

bool read_console_key(signed char& key, std::string& why) {
  begin_raw_keys();
  std::fflush(stdout);
  const bool ok = read_byte(key, why);
  end_raw_keys();
  return ok;
}
