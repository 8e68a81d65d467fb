#pragma once
// The output kinds behind the audio layer's output types, and the one place
// that routes each call to the kind's own functions: NoSound plays nothing,
// ALSA and OSS play through PortAudio, JACK through a client of wsy's own
// (jack_stream.h). A new kind adds its file and a
// case to each function here. Main thread, unless said otherwise.
#include <string>
#include <vector>

#include "devices/audio_stream.h"

// The kind that plays output type `output`.
OutputKind output_kind(int output);

// The drivers (devices) of `output`. Asked anew at each call.
int output_driver_count(int output);
const char* output_driver_name(int output, int driver);  // nullptr when there is no such driver

// Calls that can fail return a LayerError and say why on standard error.
// Whether `driver` of `output` can play at `sample_rate` (FSOUND_Init). With
// `device_rate`, a device that keeps a rate of its own (JACK) plays at that
// one instead, and `sample_rate` becomes it.
int output_check(int output, int driver, bool device_rate, int& sample_rate);
// Opens `stream`, whose common part is filled in, on `driver` of `output`.
int output_open(AudioStream& stream, int output, int driver);
int output_start(AudioStream& stream);
// Stops a playing stream, unless its device is lost (stopping would wait for it).
void output_stop(AudioStream& stream);
void output_close(AudioStream& stream);
// Says on standard error what a stream that has just started plays through.
void output_report_playing(const AudioStream& stream);
// The stream's clock in seconds, the one its device times blocks on.
double output_stream_time(const AudioStream& stream);
// Lets the libraries behind the outputs go, except those of a lost device.
void output_release(bool device_lost);

// True once the device of a playing stream has gone away under it (the JACK
// server stopped, the card was unplugged): nothing will ask for samples any
// more. No lock is taken. After it, FSOUND_Close leaves the dead device alone,
// so that the process can end at once.
bool fsound_stream_lost(AudioStream* stream);

// What plays `stream`, for the window: "NoSound", "JACK, client \"wsy\"", or
// PortAudio's host and device: "ALSA, device \"default\"".
std::string fsound_stream_label(const AudioStream* stream);
// The stream's own MIDI input and what feeds it, for the window (JACK's
// "wsy:midi_in, connected from ..."); empty when it has none.
std::string fsound_stream_midi_input(const AudioStream* stream);

// Before FSOUND_Stream_Play: an output with a MIDI input of its own (JACK)
// computes its blocks with `callback` and connects the input from `sources`
// (port names or patterns) when it starts. True when the stream's output has
// such an input; the others ignore the call.
bool fsound_stream_take_midi(AudioStream* stream, StreamMidiCallback callback, const std::vector<std::string>& sources);
