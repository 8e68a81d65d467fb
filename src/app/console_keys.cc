#include "app/console_keys.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "devices/terminal_signals.h"

namespace {

constexpr const int* kSignals = kTerminalSignals;
constexpr int kSignalCount = kTerminalSignalCount;

// The terminal as the user had it, read by the signal handler once `saved`
// says it is there: the atomic store publishes it to the handler.
termios saved_terminal;
std::atomic<bool> saved{false};
static_assert(std::atomic<bool>::is_always_lock_free, "read in a signal handler");
bool raw = false;
bool guarded = false;
bool ignored[kSignalCount];       // ignored when the process started
// Set on the main thread, read by the handler (terminal signals reach the main
// thread alone): a lock-free atomic, as a signal handler may read.
std::atomic<void (*)()> say_last_words{nullptr};
static_assert(std::atomic<void (*)()>::is_always_lock_free, "read in a signal handler");

constexpr tcflag_t kLineModes = ICANON | ECHO;

// Puts the terminal back if it is not as saved. Async-signal-safe; asking
// first keeps a background job from being stopped (SIGTTOU) for nothing.
void restore_terminal() {
  if (!saved) return;
  termios now;
  if (tcgetattr(STDIN_FILENO, &now) != 0) return;
  if ((now.c_lflag & kLineModes) == (saved_terminal.c_lflag & kLineModes) &&
      now.c_cc[VMIN] == saved_terminal.c_cc[VMIN] && now.c_cc[VTIME] == saved_terminal.c_cc[VTIME])
    return;
  tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
}

// Puts the terminal back, says what must be said, then dies of the signal as if unhandled.
void restore_and_die(int sig) {
  restore_terminal();
  if (void (*last_words)() = say_last_words.load()) last_words();
  signal(sig, SIG_DFL);
  raise(sig);  // pending: the signal is blocked while its handler runs
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, sig);
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);  // and now it ends the process
  // Still here only if a runtime swallowed the signal (ThreadSanitizer defers
  // and can drop it): end with the status a shell shows for it anyway.
  _exit(128 + sig);
}

void save_terminal() {
  if (saved) return;
  if (tcgetattr(STDIN_FILENO, &saved_terminal) == 0) saved = true;
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
  save_terminal();
  if (raw || !saved) return;  // not a terminal: nothing to switch
  termios keys = saved_terminal;
  keys.c_lflag &= ~(ICANON | ECHO);  // ISIG stays: Ctrl-C still interrupts
  keys.c_cc[VMIN] = 1;
  keys.c_cc[VTIME] = 0;
  tcsetattr(STDIN_FILENO, TCSANOW, &keys);  // TCSANOW: keys typed ahead are kept
  raw = true;
}

void end_raw_keys() {
  if (!raw) return;
  raw = false;
  tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
}

void guard_terminal(void (*last_words)()) {
  save_terminal();
  say_last_words = last_words;
  struct sigaction restoring {};
  restoring.sa_handler = restore_and_die;
  sigemptyset(&restoring.sa_mask);
  for (int i = 0; i < kSignalCount; ++i) sigaddset(&restoring.sa_mask, kSignals[i]);
  for (int i = 0; i < kSignalCount; ++i) {
    if (!guarded) {
      struct sigaction before;
      sigaction(kSignals[i], nullptr, &before);
      ignored[i] = before.sa_handler == SIG_IGN;  // a background job's SIGINT stays ignored
    }
    if (!ignored[i]) sigaction(kSignals[i], &restoring, nullptr);
  }
  if (!guarded) std::atexit(restore_terminal);
  guarded = true;
}

bool read_console_key(signed char& key, std::string& why) {
  begin_raw_keys();
  std::fflush(stdout);
  return read_byte(key, why);
}
