#include "devices/sequencer_event_bytes.h"

#include <algorithm>

namespace {

uint8_t data_byte(unsigned value) { return static_cast<uint8_t>(value & 0x7F); }
uint8_t status_byte(uint8_t kind, unsigned channel) { return static_cast<uint8_t>(kind | (channel & 0x0F)); }

}  // namespace

bool sequencer_event_to_bytes(const snd_seq_event_t& event, uint8_t out[3], int& size) {
  const snd_seq_ev_note_t& note = event.data.note;
  const snd_seq_ev_ctrl_t& control = event.data.control;
  switch (event.type) {
    case SND_SEQ_EVENT_NOTEON:
    case SND_SEQ_EVENT_NOTEOFF:
    case SND_SEQ_EVENT_KEYPRESS: {
      const uint8_t kind = event.type == SND_SEQ_EVENT_NOTEON ? 0x90 : event.type == SND_SEQ_EVENT_NOTEOFF ? 0x80 : 0xA0;
      out[0] = status_byte(kind, note.channel);
      out[1] = data_byte(note.note);
      out[2] = data_byte(note.velocity);
      size = 3;
      return true;
    }
    case SND_SEQ_EVENT_CONTROLLER:
      out[0] = status_byte(0xB0, control.channel);
      out[1] = data_byte(control.param);
      out[2] = data_byte(static_cast<unsigned>(control.value));
      size = 3;
      return true;
    case SND_SEQ_EVENT_PGMCHANGE:
    case SND_SEQ_EVENT_CHANPRESS:
      out[0] = status_byte(event.type == SND_SEQ_EVENT_PGMCHANGE ? 0xC0 : 0xD0, control.channel);
      out[1] = data_byte(static_cast<unsigned>(control.value));
      size = 2;
      return true;
    case SND_SEQ_EVENT_PITCHBEND: {
      const unsigned raw = static_cast<unsigned>(std::clamp(control.value, -8192, 8191) + 8192);  // 0..16383
      out[0] = status_byte(0xE0, control.channel);
      out[1] = data_byte(raw);
      out[2] = data_byte(raw >> 7);
      size = 3;
      return true;
    }
    default:
      return false;
  }
}
