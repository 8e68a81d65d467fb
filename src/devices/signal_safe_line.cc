#include "devices/signal_safe_line.h"

void SignalSafeLine::put(const char* text) {
  for (; *text && left > 1; ++text, --left, ++length) *at++ = *text;
  *at = '\0';
}

void SignalSafeLine::put(long value) {
  char digits[24];
  int n = 0;
  // Unsigned, so that the most negative long has a magnitude too.
  unsigned long v = value < 0 ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
  do digits[n++] = static_cast<char>('0' + v % 10); while ((v /= 10) != 0 && n < 23);
  if (value < 0) digits[n++] = '-';
  char text[25];
  for (int i = 0; i < n; ++i) text[i] = digits[n - 1 - i];
  text[n] = '\0';
  put(text);
}
