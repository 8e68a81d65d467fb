#pragma once
// The terminal signals (Ctrl-C and its kin) are handled on the main thread
// only: its handler puts the terminal back and writes the last words, which
// read state that only the main thread changes. Every other thread keeps them
// blocked. A thread starts with the signal mask of the thread that creates
// it, so whatever starts threads (ours, or libjack's, PortAudio's, the ALSA
// sequencer's, SDL's inside their calls) does so under a
// TerminalSignalsBlocked; the main thread, which creates them, has them
// unblocked again right after.
#include <signal.h>

constexpr int kTerminalSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int kTerminalSignalCount = sizeof kTerminalSignals / sizeof kTerminalSignals[0];

// Blocks the terminal signals in the calling thread for its lifetime, then
// unblocks those of them that were unblocked before. A signal that comes
// meanwhile waits, and is handled as soon as it is unblocked.
class TerminalSignalsBlocked {
 public:
  TerminalSignalsBlocked();
  ~TerminalSignalsBlocked();
  TerminalSignalsBlocked(const TerminalSignalsBlocked&) = delete;
  TerminalSignalsBlocked& operator=(const TerminalSignalsBlocked&) = delete;

 private:
  sigset_t saved_;
};
