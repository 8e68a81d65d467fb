#include "patch/field_splitter.h"

#include <cstring>

int32_t FieldSplitter::count() const {
  int32_t n = 0;
  for (const char* p = text; *p; ++p)
    if (*p == separator) ++n;
  return n;
}

std::optional<std::string> FieldSplitter::field(int32_t i) const {
  const size_t length = std::strlen(text);
  size_t position = 0;
  int32_t passed = 0;
  while (position < length && passed != i) {
    if (text[position] == separator) ++passed;
    ++position;
  }
  if (position >= length) return std::nullopt;  // past the last separator, or i < 0
  size_t end = position;
  while (end < length && text[end] != separator) ++end;
  if (end == position) return std::nullopt;  // empty field
  return std::string(text + position, end - position);
}
