#pragma once

class Engine;
struct AudioStream;

// Takes every pending event off SDL's queue and sends what concerns the sound
// to the engine: note keys and Enter, pressed and released, and user events.
// Ends the process with status 0 on Escape. Returns how many events were taken;
// `exposed`, when given, is set when the display lost the window's picture.
// A key press acted on is timed on `stream` when it measures key-to-sound latency.
int poll_events(Engine& engine, bool* exposed = nullptr, AudioStream* stream = nullptr);
