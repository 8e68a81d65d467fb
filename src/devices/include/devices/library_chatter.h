#pragma once
// The sound libraries' own messages. Probing every ALSA plugin and looking for
// a JACK server prints dozens of lines that mean nothing to a user; our own
// messages say what failed.

// Silences ALSA's and libjack's error and info output for the whole process.
// libjack's errors still reach the user while forward_jack_errors is on.
void silence_library_chatter();

// libjack reports from its own threads: once we play through JACK, its errors
// matter to the user; once the server is gone, what the dead client says is noise.
void forward_jack_errors(bool on);
