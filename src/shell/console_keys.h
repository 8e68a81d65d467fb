#pragma once
#include <string>

// One key at a time from standard input. On a terminal: without echo and
// without waiting for Enter. Otherwise one plain byte.
//
// begin_raw_keys() switches the terminal to that mode ahead of a prompt, so
// that a key pressed while the prompt prints is not echoed; read_console_key()
// puts the terminal back right after its read. While the terminal is switched,
// SIGINT, SIGTERM, SIGHUP and SIGQUIT restore it before the process dies.
void begin_raw_keys();

// Flushes standard output, then reads one key (switching the terminal first
// if begin_raw_keys() has not). False at end of input or on a read error,
// with `why` saying which.
bool read_console_key(signed char& key, std::string& why);
