#include "control/events.h"

#include "control/key_table.h"
#include "patch/patch.h"
#include "synth/vca.h"

Player::After Player::handle(const Event& event) {
  switch (event.type) {
    case Event::kKeyDown:
      if (event.key == kKeyEscape) return After::kQuit;
      if (std::optional<int32_t> note = note_for_key(event.key)) {
        patch->base_note.store(*note, std::memory_order_relaxed);  // note first, then trigger
        vca->trigger();
      } else if (event.key == kKeyReturn) {
        // A patch without oscillator links has nothing to retune: Enter only retriggers.
        if (!patch->vco_links.empty()) patch->vco_links[0].note.store(enter_note);
        vca->trigger();
      }
      break;
    case Event::kKeyUp:
      if (event.key == kKeyEscape) return After::kQuit;
      if (note_for_key(event.key) || event.key == kKeyReturn) vca->release();
      break;
    case Event::kUser:
      vca->release();
      patch->base_note.store(note_random.next() % 10 + 53, std::memory_order_relaxed);
      vca->trigger();
      break;
    default:
      break;  // the window's close button, mouse, focus: nothing
  }
  return After::kContinue;
}

bool Player::idle_note_due() {
  if (vca->active()) return false;
  std::fputs("MIAM\n", console);
  return true;
}
