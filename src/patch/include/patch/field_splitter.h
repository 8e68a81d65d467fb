#pragma once
#include <cstdint>
#include <optional>
#include <string>

// Cuts a text at one separator byte. Field i lies between the i-th and the
// (i+1)-th separator; an empty or missing field is nothing, never "".
struct FieldSplitter {
  char separator;
  const char* text;  // not owned: must outlive the splitter

  FieldSplitter(const char* text, char separator) : separator(separator), text(text) {}

  void set_separator(char c) { separator = c; }
  int32_t count() const;
  std::optional<std::string> field(int32_t i) const;
};
