#pragma once
#include <string>

// One key at a time from standard input. On a terminal: without echo and
// without waiting for Enter. Otherwise one plain byte.
//
// begin_raw_keys() switches the terminal to that mode ahead of a prompt, so
// that a key pressed while the prompt prints is not echoed. It stays so for
// the whole dialogue, keys refused included (a key typed between two reads
// would otherwise be echoed), until end_raw_keys() puts it back.
void begin_raw_keys();
void end_raw_keys();

// Remembers the terminal as it is (first call only) and makes sure that every
// way out leaves it so: at exit, and on SIGINT, SIGTERM, SIGHUP and SIGQUIT,
// whose handler puts the terminal back if it is switched, calls `last_words`
// (which must be async-signal-safe; may be null), then dies of the signal.
// A signal the process was started with ignored stays ignored. Call it again
// after a library (SDL) has installed handlers of its own, to take them back.
void guard_terminal(void (*last_words)());

// Flushes standard output, then reads one key (switching the terminal first
// if begin_raw_keys() has not; it stays switched). False at end of input or
// on a read error, with `why` saying which.
bool read_console_key(signed char& key, std::string& why);
