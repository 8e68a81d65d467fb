#pragma once
// The NoSound output: no device at all. A thread of our own pulls the
// callback at real-time pace and throws the samples away, so that the
// synthesizer runs and prints as if it played.
#include <atomic>
#include <memory>
#include <thread>

struct AudioStream;

// What a NoSound stream keeps besides the common part.
struct NoSoundStream {
  std::thread pump;
  std::atomic<bool> pumping{false};  // writer: main (start, stop); reader: the pump thread
  std::unique_ptr<unsigned char[]> scratch;  // the block, thrown away
  int block_bytes = 0;
};

// Its one driver, "No sound". Calls that can fail return a LayerError.
int nosound_driver_count();
const char* nosound_driver_name(int driver);  // nullptr for any but driver 0
int nosound_check(int driver);
int nosound_open(AudioStream& stream);
int nosound_start(AudioStream& stream);
void nosound_stop(AudioStream& stream);
void nosound_report_playing(const AudioStream& stream);
