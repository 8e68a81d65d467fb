#pragma once
#include <string>

// Reads one key from standard input. On a terminal: without echo and without
// waiting for Enter, the terminal's settings restored before returning (and
// before the process dies of SIGINT, SIGTERM, SIGHUP or SIGQUIT meanwhile).
// Otherwise one plain byte. Standard output is flushed first.
// False at end of input or on a read error, with `why` saying which.
bool read_console_key(signed char& key, std::string& why);
