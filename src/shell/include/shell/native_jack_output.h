#pragma once
// The JACK output (menu key 3): wsy as a JACK client of its own (JackOutput),
// with out_1, out_2 and the MIDI input midi_in, whose events reach the block
// being computed at their own frames. One driver, "system", while a server
// runs; none otherwise.
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "shell/jack_output.h"

struct AudioStream;

// What a JACK stream keeps besides the common part.
struct NativeJackStream {
  std::unique_ptr<JackOutput> client;
  std::atomic<int> latency_frames{0};  // the playback latency, for the key-to-sound figure
  long seen_xruns = 0;                 // process thread: xruns already counted as underflows
};

// Calls that can fail return a LayerError and say why on standard error.
int native_jack_driver_count();
const char* native_jack_driver_name(int driver);  // nullptr for any but driver 0
int native_jack_check(int driver, int sample_rate);
int native_jack_open(AudioStream& stream);
int native_jack_start(AudioStream& stream);
void native_jack_stop(AudioStream& stream);
void native_jack_close(AudioStream& stream);
// The playing line, with the MIDI port and what feeds it.
void native_jack_report_playing(const AudioStream& stream);
bool native_jack_gone(const AudioStream& stream);
// The MIDI input and what feeds it ("wsy:midi_in, connected from ..."), or
// empty when the stream takes no MIDI.
std::string native_jack_midi_input(const AudioStream& stream);
double native_jack_stream_time(const AudioStream& stream);
