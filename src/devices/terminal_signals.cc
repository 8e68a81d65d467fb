#include "devices/terminal_signals.h"

#include <pthread.h>

TerminalSignalsBlocked::TerminalSignalsBlocked() {
  sigset_t terminal;
  sigemptyset(&terminal);
  for (int sig : kTerminalSignals) sigaddset(&terminal, sig);
  pthread_sigmask(SIG_BLOCK, &terminal, &saved_);
}

// Only the terminal signals that were unblocked are unblocked again: the
// libraries may change the mask of the calling thread meanwhile for signals
// of their own (libjack blocks SIGPIPE while it has a client), and may put
// back a mask they saved under this guard (libjack does when its last client
// closes, so that closing needs a guard of its own too).
TerminalSignalsBlocked::~TerminalSignalsBlocked() {
  sigset_t unblock;
  sigemptyset(&unblock);
  for (int sig : kTerminalSignals)
    if (!sigismember(&saved_, sig)) sigaddset(&unblock, sig);
  pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
}
