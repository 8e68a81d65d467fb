#include "devices/terminal_signals.h"

#include <pthread.h>

TerminalSignalsBlocked::TerminalSignalsBlocked() {
  sigset_t terminal;
  sigemptyset(&terminal);
  for (int sig : kTerminalSignals) sigaddset(&terminal, sig);
  pthread_sigmask(SIG_BLOCK, &terminal, &saved_);
}

TerminalSignalsBlocked::~TerminalSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
