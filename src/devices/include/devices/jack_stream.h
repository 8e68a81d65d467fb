#pragma once
// The JACK output (menu key 3): wsy as a JACK client of its own (JackClient),
// with out_1, out_2 and the MIDI input midi_in, whose events reach the block
// being computed at their own frames. One driver, "system", while a server
// runs; none otherwise.
#include <memory>
#include <string>
#include <vector>

#include "devices/jack_client.h"

struct AudioStream;

// What a JACK stream keeps besides the common part.
// Its counters are in AudioStream::record, which the client writes.
struct JackStream {
  std::unique_ptr<JackClient> client;
};

// Calls that can fail return a LayerError and say why on standard error.
int jack_stream_driver_count();
const char* jack_stream_driver_name(int driver);  // nullptr for any but driver 0
// With `server_rate` the stream plays at the server's rate, whichever wsy
// plays at, and `sample_rate` becomes it; without, the server must run at `sample_rate`.
int jack_stream_check(int driver, bool server_rate, int& sample_rate);
int jack_stream_open(AudioStream& stream);
int jack_stream_start(AudioStream& stream);
void jack_stream_stop(AudioStream& stream);
void jack_stream_close(AudioStream& stream);
// The playing line, with the MIDI port and what feeds it.
void jack_stream_report_playing(const AudioStream& stream);
bool jack_stream_gone(const AudioStream& stream);
// The MIDI input and what feeds it ("wsy:midi_in, connected from ..."), or
// empty when the stream takes no MIDI.
std::string jack_stream_midi_input(const AudioStream& stream);
double jack_stream_stream_time(const AudioStream& stream);

// ---- JACK's process thread ----
// The render function a JACK stream's client calls each period, with the
// AudioStream as `user`: counts xruns as underflows, settles a key waiting to
// be measured, fills `out` through the stream's MIDI callback (with the
// period's events) or its plain callback (in blocks of its largest size, the
// events unread), and records the block. No allocation, no lock, no I/O.
void jack_stream_render_period(void* user, int frames, int16_t* out, const RawMidiEvent* events, int event_count);
