#include "session/key_table.h"

namespace {

struct NoteKey {
  int32_t sym;
  int32_t note;
};

constexpr NoteKey kNoteKeys[] = {
    {'z', 58}, {'x', 59}, {'c', 61}, {'v', 62}, {'b', 64}, {'n', 65},
};

}  // namespace

std::optional<int32_t> note_for_key(int32_t sym) {
  for (const NoteKey& key : kNoteKeys)
    if (key.sym == sym) return key.note;
  return std::nullopt;
}

std::optional<int32_t> key_for_note(int32_t note) {
  for (const NoteKey& key : kNoteKeys)
    if (key.note == note) return key.sym;
  return std::nullopt;
}
