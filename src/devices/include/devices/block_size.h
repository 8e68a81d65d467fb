#pragma once
// Block size. WSY_BUFFER_FRAMES, when set, is the block in frames the device
// is asked for (a whole number from kMinBlockFrames to kMaxBlockFrames);
// otherwise each output takes the device's own block, or kDefaultBlockFrames
// where it is ours to choose (the latency PortAudio is asked for, NoSound's block).
constexpr int kMinBlockFrames = 16;
constexpr int kMaxBlockFrames = 8192;  // also JACK's largest period
constexpr int kDefaultBlockFrames = 256;  // low latency: 5.8 ms at 44100 Hz

// Returns 0 for unset or empty text, -1 for text that is not such a number,
// else the number.
int fsound_parse_block_frames(const char* text);

// The block size WSY_BUFFER_FRAMES asks for, 0 when it asks for none. A bad
// value is reported once on standard error and leaves the default.
int block_frames_from_environment();
