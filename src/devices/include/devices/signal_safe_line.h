#pragma once
// Appends text or a number to a fixed buffer without the C library's
// formatting, which is not safe in a signal handler. The buffer stays
// NUL-terminated; what does not fit is cut off.
struct SignalSafeLine {
  char* at;
  int left;  // bytes still free, the terminating NUL included
  int length = 0;
  void put(const char* text);
  void put(long value);
};
