// The Standard MIDI File reader: times, order, running status, chunks and the
// defects it reads despite. Files are put together byte by byte (smf_bytes.h)
// or written by csvmidi (package midicsv); every expected frame is worked out
// by hand in the comments.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <unistd.h>
#include <iterator>
#include <string>
#include <vector>

#include "midi/smf_reader.h"
#include "smf_bytes.h"

namespace {

constexpr uint32_t kRate = 44100;

MidiFile read(const Bytes& bytes) {
  MidiFile file;
  SmfError error;
  EXPECT_TRUE(read_smf(bytes.data(), bytes.size(), kRate, file, error)) << error.message;
  return file;
}

std::string error_of(const Bytes& bytes) {
  MidiFile file;
  SmfError error;
  if (read_smf(bytes.data(), bytes.size(), kRate, file, error)) return "(read without error)";
  return error.message;
}

// One message as "frame tick track: bytes in hex".
std::string describe(const TimedMidiMessage& m) {
  char text[80];
  std::snprintf(text, sizeof text, "%lld %llu %u:", static_cast<long long>(m.frame),
                static_cast<unsigned long long>(m.tick), m.track);
  std::string out = text;
  for (int i = 0; i < m.message.size; ++i) {
    std::snprintf(text, sizeof text, " %02X", m.message.bytes[i]);
    out += text;
  }
  return out;
}

std::vector<std::string> describe(const MidiFile& file) {
  std::vector<std::string> out;
  for (const TimedMidiMessage& m : file.messages) out.push_back(describe(m));
  return out;
}

using Lines = std::vector<std::string>;

// A MIDI file written by csvmidi from CSV text.
Bytes csvmidi(const std::string& csv) {
  const char* dir = std::getenv("TEST_TMPDIR");
  const std::string base = std::string(dir ? dir : "/tmp") + "/smf_test_" + std::to_string(getpid());
  {
    std::ofstream out(base + ".csv");
    out << csv;
  }
  const std::string command = "csvmidi -z " + base + ".csv " + base + ".mid";
  EXPECT_EQ(std::system(command.c_str()), 0) << command << " failed (is the package midicsv installed?)";
  std::ifstream in(base + ".mid", std::ios::binary);
  Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::remove((base + ".csv").c_str());
  std::remove((base + ".mid").c_str());
  return bytes;
}

TEST(SmfTiming, DefaultTempoIsHalfASecondAQuarterNote) {
  // 480 ticks a quarter note, 500,000 us a quarter: 480 ticks = 0.5 s = 22050 frames.
  const MidiFile file = read(header(0, 1, 480) + track({0x00, 0x90, 0x3C, 0x64,
                                                        0x83, 0x60, 0x80, 0x3C, 0x00,  // 480 ticks later
                                                        0x81, 0x70, 0xFF, 0x2F, 0x00}));  // 240 more: 0.75 s
  EXPECT_EQ(describe(file), (Lines{"0 0 0: 90 3C 64", "22050 480 0: 80 3C 00"}));
  EXPECT_EQ(file.last_event_frame, 33075);
  EXPECT_EQ(file.format, 0);
  EXPECT_EQ(file.tracks, 1u);
  EXPECT_TRUE(file.warnings.empty());
}

TEST(SmfTiming, TempoChangeInTheMiddleOfANote) {
  // 96 ticks a quarter. Track 0: 600,000 us a quarter at tick 0, 400,000 at
  // tick 48. Track 1: note on at tick 0, note off at tick 97.
  //   tick 48: 48 * 600000 / 96 = 300,000 us            -> 13230 frames exactly
  //   tick 97: 300,000 + 49 * 400000 / 96 us = 48,400,000 / 96 us
  //            frames: 48.4 * 44100 / 96 = 22233.75     -> 22233
  //   tick 60: 300,000 + 12 * 400000 / 96 = 350,000 us  -> 15435 frames
  const Bytes tempo_track = track({0x00, 0xFF, 0x51, 0x03, 0x09, 0x27, 0xC0,   // 600000
                                   0x30, 0xFF, 0x51, 0x03, 0x06, 0x1A, 0x80,   // 400000
                                   0x00, 0xFF, 0x2F, 0x00});
  const Bytes notes = track({0x00, 0x90, 0x45, 0x64,
                             0x3C, 0xB0, 0x01, 0x10,   // tick 60
                             0x25, 0x80, 0x45, 0x00,   // tick 97
                             0x00, 0xFF, 0x2F, 0x00});
  const MidiFile file = read(header(1, 2, 96) + tempo_track + notes);
  EXPECT_EQ(describe(file), (Lines{"0 0 1: 90 45 64", "15435 60 1: B0 01 10", "22233 97 1: 80 45 00"}));
  EXPECT_EQ(file.last_event_frame, 22233);

  // The same with the tempo map in the last track: tempo changes come from any track.
  const MidiFile swapped = read(header(1, 2, 96) + notes + tempo_track);
  EXPECT_EQ(describe(swapped), (Lines{"0 0 0: 90 45 64", "15435 60 0: B0 01 10", "22233 97 0: 80 45 00"}));
}

TEST(SmfTiming, TimesAreExactEvenWhereFloatingPointRoundsDown) {
  // 3 ticks a quarter at 1,000,000 us a quarter: a tick is 1/3 s, exactly
  // 14700 frames, though 1e6 / 3 has no exact binary fraction.
  const MidiFile file = read(header(0, 1, 3) + track({0x00, 0xFF, 0x51, 0x03, 0x0F, 0x42, 0x40,
                                                      0x01, 0x90, 0x3C, 0x64,   // tick 1: 14700
                                                      0x01, 0x3C, 0x00,         // tick 2: 29400
                                                      0x05, 0x3C, 0x64,         // tick 7: 102900
                                                      0x00, 0xFF, 0x2F, 0x00}));
  EXPECT_EQ(describe(file), (Lines{"14700 1 0: 90 3C 64", "29400 2 0: 90 3C 00", "102900 7 0: 90 3C 64"}));

  // 3 ticks a quarter at 400,000 us: a tick is exactly 5880 frames. 7 ticks
  // a quarter at 400,000 us: exactly 2520 frames. Frames at ticks where one
  // floating-point order of the same sum or another falls just short.
  const MidiFile thirds = read(header(0, 1, 3) + track({0x00, 0xFF, 0x51, 0x03, 0x06, 0x1A, 0x80,
                                                        0x01, 0x90, 0x3C, 0x64,   // tick 1
                                                        0x14, 0x3C, 0x00,         // tick 21
                                                        0x10, 0x3C, 0x64,         // tick 37
                                                        0x00, 0xFF, 0x2F, 0x00}));
  EXPECT_EQ(describe(thirds), (Lines{"5880 1 0: 90 3C 64", "123480 21 0: 90 3C 00", "217560 37 0: 90 3C 64"}));
  const MidiFile sevenths = read(header(0, 1, 7) + track({0x00, 0xFF, 0x51, 0x03, 0x06, 0x1A, 0x80,
                                                          0x0B, 0x90, 0x3C, 0x64,   // tick 11
                                                          0x08, 0x3C, 0x00,         // tick 19
                                                          0x00, 0xFF, 0x2F, 0x00}));
  EXPECT_EQ(describe(sevenths), (Lines{"27720 11 0: 90 3C 64", "47880 19 0: 90 3C 00"}));
}

TEST(SmfTiming, SeveralTempoChangesOnOneTick) {
  // The last one in track order holds. 1 tick a quarter; at tick 0, track 0
  // sets 1,000,000 then 250,000 us a quarter, and track 1 sets 500,000.
  const MidiFile file = read(header(1, 2, 1) +
                             track({0x00, 0xFF, 0x51, 0x03, 0x0F, 0x42, 0x40,    // 1,000,000
                                    0x00, 0xFF, 0x51, 0x03, 0x03, 0xD0, 0x90,    // 250,000
                                    0x00, 0xFF, 0x2F, 0x00}) +
                             track({0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20,    // 500,000: overridden
                                    0x02, 0x90, 0x3C, 0x64, 0x00, 0xFF, 0x2F, 0x00}));
  // Track 1's 500,000 comes after track 0's two at tick 0, so it holds: tick 2 = 1 s.
  EXPECT_EQ(describe(file), (Lines{"44100 2 1: 90 3C 64"}));
}

TEST(SmfTiming, SmpteDivision) {
  // -25 frames a second, 40 ticks a frame: 1000 ticks a second; tempo events
  // change nothing. Tick 1: 1 ms = 44.1 -> 44; tick 10: 441; tick 1000: 44100.
  MidiFile file = read(header(0, 1, 0xE728) + track({0x00, 0xFF, 0x51, 0x03, 0x0F, 0x42, 0x40,
                                                     0x01, 0x90, 0x3C, 0x64, 0x09, 0x3C, 0x00,
                                                     0x87, 0x5E, 0x3E, 0x64,   // 990 more: tick 1000
                                                     0x00, 0xFF, 0x2F, 0x00}));
  EXPECT_EQ(describe(file), (Lines{"44 1 0: 90 3C 64", "441 10 0: 90 3C 00", "44100 1000 0: 90 3E 64"}));

  // -29 (29.97 drop-frame: 30000/1001 frames a second), 80 ticks a frame.
  // Tick 1: 1001/2,400,000 s = 417.08 us -> 18.39 frames -> 18.
  // Tick 2400: 1.001 s -> 44144.1 -> 44144.
  file = read(header(0, 1, 0xE350) + track({0x01, 0x90, 0x3C, 0x64,
                                            0x92, 0x5F, 0x3C, 0x00,   // 2399 more: tick 2400
                                            0x00, 0xFF, 0x2F, 0x00}));
  EXPECT_EQ(describe(file), (Lines{"18 1 0: 90 3C 64", "44144 2400 0: 90 3C 00"}));

  // -24, 2 ticks a frame: 48 ticks a second; tick 1: 918.75 -> 918.
  file = read(header(0, 1, 0xE802) + track({0x01, 0x90, 0x3C, 0x64, 0x00, 0xFF, 0x2F, 0x00}));
  EXPECT_EQ(describe(file), (Lines{"918 1 0: 90 3C 64"}));

  // -30, 1 tick a frame: a tick is 1/30 s, exactly 1470 frames.
  file = read(header(0, 1, 0xE201) + track({0x01, 0x90, 0x3C, 0x64, 0x1D, 0x3C, 0x00, 0x00, 0xFF, 0x2F, 0x00}));
  EXPECT_EQ(describe(file), (Lines{"1470 1 0: 90 3C 64", "44100 30 0: 90 3C 00"}));
}

TEST(SmfRunningStatus, CarriesAcrossMetaAndSystemExclusiveEvents) {
  const MidiFile file = read(header(0, 1, 96) +
                             track({0x00, 0x90, 0x3C, 0x64,
                                    0x0A, 0xFF, 0x01, 0x03, 'a', 'b', 'c',   // a text event
                                    0x0A, 0x3E, 0x64,                        // still note on
                                    0x00, 0xF0, 0x03, 0x7E, 0x7F, 0xF7,      // system exclusive
                                    0x00, 0x40, 0x64,
                                    0x00, 0xF7, 0x01, 0xF8,                  // an escaped clock byte
                                    0x00, 0x40, 0x00,
                                    0x00, 0xC3, 0x05, 0x01, 0x06,            // one data byte
                                    0x00, 0xFF, 0x2F, 0x00}));
  // Tick 20 at 96 ticks and 0.5 s a quarter: 20/96 * 0.5 * 44100 = 4593.75;
  // tick 21: 4823.4375.
  EXPECT_EQ(describe(file), (Lines{"0 0 0: 90 3C 64", "4593 20 0: 90 3E 64", "4593 20 0: 90 40 64",
                                   "4593 20 0: 90 40 00", "4593 20 0: C3 05", "4823 21 0: C3 06"}));
}

TEST(SmfRunningStatus, CsvmidiWritesItAndTheReaderFollows) {
  const Bytes bytes = csvmidi(
      "0, 0, Header, 0, 1, 480\n"
      "1, 0, Start_track\n"
      "1, 0, Note_on_c, 0, 60, 100\n"
      "1, 480, Note_on_c, 0, 60, 0\n"
      "1, 480, Note_on_c, 0, 64, 90\n"
      "1, 960, Note_on_c, 0, 64, 0\n"
      "1, 960, End_track\n"
      "0, 0, End_of_file\n");
  // The writer leaves out repeated status bytes: one 0x90 in the whole track.
  int note_on_statuses = 0;
  for (size_t i = 22; i < bytes.size(); ++i) note_on_statuses += bytes[i] == 0x90;
  EXPECT_EQ(note_on_statuses, 1);
  const MidiFile file = read(bytes);
  EXPECT_EQ(describe(file), (Lines{"0 0 0: 90 3C 64", "22050 480 0: 90 3C 00", "22050 480 0: 90 40 5A",
                                   "44100 960 0: 90 40 00"}));
}

TEST(SmfRunningStatus, StartsAfreshInEveryTrack) {
  // Track 1 begins at byte 14 + 8 + 8 = 30; its first event's data byte is at 31 + 8 = 39.
  const Bytes bytes = header(1, 2, 96) + track({0x00, 0x90, 0x3C, 0x64, 0x00, 0xFF, 0x2F, 0x00}) +
                      track({0x00, 0x3E, 0x64, 0x00, 0xFF, 0x2F, 0x00});
  EXPECT_EQ(error_of(bytes), "at byte 39: a data byte (0x3E) with no status byte before it");
}

TEST(SmfOrder, FormatZeroAndFormatOneGiveTheSameTimedMessages) {
  // The same music: a tempo map, a melody on channel 1 and a bass on channel
  // 2, as three tracks and merged into one.
  const std::string tempo_map =
      "0, 0, Tempo, 500000\n"
      "0, 720, Tempo, 750000\n"
      "0, 1000, Tempo, 300000\n";
  const std::string melody =
      "0, 0, Note_on_c, 0, 69, 100\n"
      "0, 480, Note_off_c, 0, 69, 0\n"
      "0, 480, Note_on_c, 0, 71, 100\n"
      "0, 900, Pitch_bend_c, 0, 10000\n"
      "0, 1200, Note_off_c, 0, 71, 0\n";
  const std::string bass =
      "0, 240, Note_on_c, 1, 45, 100\n"
      "0, 480, Control_c, 1, 64, 127\n"
      "0, 1100, Note_off_c, 1, 45, 0\n"
      "0, 1300, Control_c, 1, 64, 0\n";
  auto track_csv = [](int number, const std::string& events, int end) {
    std::string out = std::to_string(number) + ", 0, Start_track\n";
    size_t pos = 0;
    while (pos < events.size()) {
      const size_t next = events.find('\n', pos) + 1;
      out += std::to_string(number) + events.substr(pos + 1, next - pos - 1);
      pos = next;
    }
    return out + std::to_string(number) + ", " + std::to_string(end) + ", End_track\n";
  };
  const Bytes format1 = csvmidi("0, 0, Header, 1, 3, 480\n" + track_csv(1, tempo_map, 1000) +
                                track_csv(2, melody, 1200) + track_csv(3, bass, 1400) + "0, 0, End_of_file\n");
  // Merged by tick, and at one tick in track order.
  const std::string merged =
      "0, 0, Tempo, 500000\n"
      "0, 0, Note_on_c, 0, 69, 100\n"
      "0, 240, Note_on_c, 1, 45, 100\n"
      "0, 480, Note_off_c, 0, 69, 0\n"
      "0, 480, Note_on_c, 0, 71, 100\n"
      "0, 480, Control_c, 1, 64, 127\n"
      "0, 720, Tempo, 750000\n"
      "0, 900, Pitch_bend_c, 0, 10000\n"
      "0, 1000, Tempo, 300000\n"
      "0, 1100, Note_off_c, 1, 45, 0\n"
      "0, 1200, Note_off_c, 0, 71, 0\n"
      "0, 1300, Control_c, 1, 64, 0\n";
  const Bytes format0 = csvmidi("0, 0, Header, 0, 1, 480\n" + track_csv(1, merged, 1400) + "0, 0, End_of_file\n");
  ASSERT_NE(format0, format1);

  const MidiFile one = read(format1);
  const MidiFile zero = read(format0);
  ASSERT_EQ(one.messages.size(), 9u);
  ASSERT_EQ(zero.messages.size(), 9u);
  for (size_t i = 0; i < one.messages.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(one.messages[i].frame, zero.messages[i].frame);
    EXPECT_EQ(one.messages[i].tick, zero.messages[i].tick);
    EXPECT_EQ(std::vector<uint8_t>(one.messages[i].message.bytes, one.messages[i].message.bytes + 3),
              std::vector<uint8_t>(zero.messages[i].message.bytes, zero.messages[i].message.bytes + 3));
    EXPECT_EQ(one.messages[i].message.size, zero.messages[i].message.size);
  }
  // Frames by hand (480 ticks a quarter): tick 240 at 500,000: 0.25 s = 11025;
  // 480: 22050; 720: 0.75 s = 33075; 900: + 180/480 * 0.75 s = 1.03125 s =
  // 45478.125 -> 45478; 1000: + 280/480 * 0.75 = 1.1875 s = 52368.75 -> 52368;
  // 1100: + 100/480 * 0.3 = 1.25 s = 55125; 1200: 1.3125 s = 57881.25 -> 57881;
  // 1300: 1.375 s = 60637.5 -> 60637; the end at 1400: 1.4375 s = 63393.75.
  std::vector<int64_t> frames;
  for (const TimedMidiMessage& m : one.messages) frames.push_back(m.frame);
  EXPECT_EQ(frames, (std::vector<int64_t>{0, 11025, 22050, 22050, 22050, 45478, 55125, 57881, 60637}));
  EXPECT_EQ(one.last_event_frame, 63393);
  EXPECT_EQ(zero.last_event_frame, 63393);
  // Pitch bend 10000 arrives as lsb 10000 % 128 = 16, msb 10000 / 128 = 78.
  EXPECT_EQ(describe(one.messages[5]), "45478 900 1: E0 10 4E");
}

TEST(SmfOrder, SameTickByTrackThenPlaceInTrack) {
  // Track 0 at tick 480: note off 60, then note on 62. Track 1 at tick 480:
  // note on 64 before note off 65, and at tick 479 a controller, which comes
  // first of all.
  const MidiFile file = read(header(1, 2, 480) +
                             track({0x00, 0x90, 0x3C, 0x64,
                                    0x83, 0x60, 0x80, 0x3C, 0x00,   // tick 480
                                    0x00, 0x90, 0x3E, 0x64,
                                    0x00, 0xFF, 0x2F, 0x00}) +
                             track({0x00, 0x91, 0x41, 0x64,
                                    0x83, 0x5F, 0xB1, 0x07, 0x64,   // tick 479
                                    0x01, 0x91, 0x40, 0x64,         // tick 480
                                    0x00, 0x81, 0x41, 0x00,
                                    0x00, 0xFF, 0x2F, 0x00}));
  EXPECT_EQ(describe(file), (Lines{"0 0 0: 90 3C 64", "0 0 1: 91 41 64", "22004 479 1: B1 07 64",
                                   "22050 480 0: 80 3C 00", "22050 480 0: 90 3E 64", "22050 480 1: 91 40 64",
                                   "22050 480 1: 81 41 00"}));
  // 479 ticks: 479/480 * 0.5 s * 44100 = 22004.06 -> 22004. Positions in the track count every event.
  EXPECT_EQ(file.messages[3].index, 1u);
  EXPECT_EQ(file.messages[4].index, 2u);
}

TEST(SmfNumbers, FourByteVariableLengthNumbers) {
  // 0xFF 0xFF 0xFF 0x7F is the largest: 2^28 - 1 = 268,435,455 ticks.
  // At 480 ticks and 500,000 us a quarter: 268435455 * 500000 / 480 us
  // = 279,620,265,625 us; * 44100 / 1e6 = 12,331,253,714.0625 frames.
  // 0x81 0x80 0x80 0x00 is 2^21 = 2,097,152 ticks more; a text event's
  // length written in 4 bytes (0x80 0x80 0x80 0x03 = 3).
  const MidiFile file = read(header(0, 1, 480) +
                             track({0xFF, 0xFF, 0xFF, 0x7F, 0x90, 0x3C, 0x64,
                                    0x00, 0xFF, 0x01, 0x80, 0x80, 0x80, 0x03, 'a', 'b', 'c',
                                    0x81, 0x80, 0x80, 0x00, 0x3C, 0x00,
                                    0x00, 0xFF, 0x2F, 0x00}));
  ASSERT_EQ(file.messages.size(), 2u);
  EXPECT_EQ(file.messages[0].tick, 268435455u);
  EXPECT_EQ(file.messages[0].frame, 12331253714);
  // 270,532,607 ticks: * 3125 / 3 = 281,804,798,958.33 us -> 12,427,591,634.06 frames.
  EXPECT_EQ(file.messages[1].tick, 270532607u);
  EXPECT_EQ(file.messages[1].frame, 12427591634);
  EXPECT_EQ(describe(file.messages[1]), "12427591634 270532607 0: 90 3C 00");
}

TEST(SmfNumbers, AFileTooLongToPlayIsRefused) {
  // 1 tick a quarter at 16,777,215 us a quarter: 2^28 - 1 ticks last about
  // 1.99e14 frames, so 5100 of the longest deltas pass 10^18 frames.
  Bytes events;
  for (int i = 0; i < 5100; ++i) events = events + Bytes{0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0x01, 0x00};
  const Bytes tempo = {0x00, 0xFF, 0x51, 0x03, 0xFF, 0xFF, 0xFF};
  const Bytes bytes = header(0, 1, 1) + track(tempo + events + Bytes{0x00, 0xFF, 0x2F, 0x00});
  // The end-of-track event starts 4 bytes before the end.
  EXPECT_EQ(error_of(bytes), "at byte " + std::to_string(bytes.size() - 4) +
                                 ": the event lies more than 10^18 frames after the start");
  // 5000 of them are fine: 5000 * 268435455 * 16777215 * 44100 / 1e6 frames.
  events.resize(5000 * 7);
  const MidiFile file = read(header(0, 1, 1) + track(tempo + events + Bytes{0x00, 0x90, 0x3C, 0x64} + kEndOfTrack));
  // (2^28 - 1) * (2^24 - 1) = 2^52 - 2^28 - 2^24 + 1 = 4,503,599,342,157,825;
  // * 5000 * 0.0441 = 993,043,654,945,800,412.5
  ASSERT_EQ(file.messages.size(), 1u);
  EXPECT_EQ(file.messages[0].frame, 993043654945800412);
  EXPECT_EQ(file.last_event_frame, 993043654945800412);
}

TEST(SmfChunks, UnknownChunksAreSkipped) {
  const Bytes bytes = header(0, 1, 96) +
                      chunk("XFIH", {'M', 'T', 'r', 'k', 0x00, 0x00, 0x00, 0x04, 0x00, 0x90, 0x3C, 0x64}) +
                      track({0x00, 0x90, 0x3E, 0x64, 0x00, 0xFF, 0x2F, 0x00}) + chunk("abcd", {}) +
                      chunk("Junk", {0xFF, 0xFF});
  const MidiFile file = read(bytes);
  EXPECT_EQ(describe(file), (Lines{"0 0 0: 90 3E 64"}));
  EXPECT_EQ(file.tracks, 1u);
  EXPECT_TRUE(file.warnings.empty());
  // A longer header chunk: its extra bytes are skipped too.
  const Bytes long_header = chunk("MThd", {0x00, 0x00, 0x00, 0x01, 0x00, 0x60, 0xAA, 0xBB});
  EXPECT_EQ(describe(read(long_header + track({0x00, 0x90, 0x3E, 0x64, 0x00, 0xFF, 0x2F, 0x00}))),
            (Lines{"0 0 0: 90 3E 64"}));
}

TEST(SmfChunks, DefectsReadDespiteAreWarnings) {
  // The header announces 3 tracks; 2 follow, the second without its
  // end-of-track event (it starts at byte 14 + 16 = 30); then 3 zero bytes
  // (at byte 30 + 12 = 42).
  MidiFile file = read(header(1, 3, 96) + track({0x00, 0x90, 0x3C, 0x64, 0x00, 0xFF, 0x2F, 0x00}) +
                       track({0x00, 0x90, 0x3E, 0x64}) + Bytes{0, 0, 0});
  EXPECT_EQ(file.warnings, (Lines{"at byte 30: the track has no end-of-track event; it ends with its chunk",
                                  "at byte 42: 3 bytes after the last chunk, ignored",
                                  "at byte 10: the header announces 3 tracks but the file holds 2"}));
  EXPECT_EQ(describe(file), (Lines{"0 0 0: 90 3C 64", "0 0 1: 90 3E 64"}));

  // More tracks than announced; bytes after an end-of-track event (at byte
  // 22 + 4 = 26); a tempo event of 2 bytes (at byte 28 + 8 = 36) is ignored:
  // the note at tick 96 stays at 0.5 s.
  file = read(header(1, 1, 96) + track({0x00, 0xFF, 0x2F, 0x00, 0x00, 0x90}) +
              track({0x00, 0xFF, 0x51, 0x02, 0x0F, 0x42, 0x60, 0x90, 0x3C, 0x64, 0x00, 0xFF, 0x2F, 0x00}));
  EXPECT_EQ(file.warnings, (Lines{"at byte 26: 2 bytes after the track's end-of-track event, ignored",
                                  "at byte 36: a tempo event of 2 bytes (3 expected), ignored",
                                  "at byte 10: the header announces 1 track but the file holds 2"}));
  EXPECT_EQ(describe(file), (Lines{"22050 96 1: 90 3C 64"}));

  // With the announced tracks read, anything that is not a chunk is trailing bytes.
  file = read(header(0, 1, 96) + track(kEndOfTrack) + Bytes{0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08});
  EXPECT_EQ(file.warnings, (Lines{"at byte 26: 9 bytes after the last chunk, ignored"}));
  file = read(header(0, 1, 96) + track(kEndOfTrack) + Bytes{0x4D});
  EXPECT_EQ(file.warnings, (Lines{"at byte 26: 1 byte after the last chunk, ignored"}));
}

TEST(SmfLength, TheLastEventOfAnyKindSetsTheLength) {
  // The end-of-track event 1 s after the last note (96 ticks = 0.5 s).
  MidiFile file = read(header(0, 1, 96) + track({0x00, 0x90, 0x3C, 0x64, 0x60, 0x3C, 0x00, 0x81, 0x40, 0xFF, 0x2F, 0x00}));
  EXPECT_EQ(file.last_event_frame, 66150);
  // The longest track counts, whatever its kind of last event: here a text event at tick 288.
  file = read(header(1, 2, 96) + track({0x00, 0x90, 0x3C, 0x64, 0x00, 0xFF, 0x2F, 0x00}) +
              track({0x82, 0x20, 0xFF, 0x01, 0x00}));
  EXPECT_EQ(file.last_event_frame, 66150);
  // No event at all: 0.
  file = read(header(1, 2, 96) + track({}) + track({}));
  EXPECT_EQ(file.last_event_frame, 0);
  EXPECT_TRUE(file.messages.empty());
  file = read(header(1, 0, 96));
  EXPECT_EQ(file.last_event_frame, 0);
  EXPECT_TRUE(file.warnings.empty());
  // SMPTE division, 1000 ticks a second: only an end-of-track event.
  file = read(header(0, 1, 0xE728) + track({0x83, 0x68, 0xFF, 0x2F, 0x00}));  // tick 488: 0.488 s
  EXPECT_EQ(file.last_event_frame, 21520);  // 21520.8
}

TEST(SmfRefused, FormatsAndDivisionsThisReaderDoesNotPlay) {
  const Bytes one_track = track(kEndOfTrack);
  EXPECT_EQ(error_of(header(2, 1, 96) + one_track),
            "at byte 8: format 2 (a set of independent songs) is not played; only formats 0 and 1 are");
  EXPECT_EQ(error_of(header(0, 2, 96) + one_track + one_track),
            "at byte 10: a format 0 file holds one track, not 2");
  EXPECT_EQ(error_of(header(0, 1, 96) + one_track + one_track),
            "at byte 26: a second track chunk in a format 0 file, which holds one track");
  EXPECT_EQ(error_of(header(1, 1, 0) + one_track), "at byte 12: a division of 0 ticks per quarter note");
  EXPECT_EQ(error_of(header(1, 1, 0xE900 | 4) + one_track),
            "at byte 12: SMPTE division with -23 frames per second; only -24, -25, -29 and -30 exist");
  EXPECT_EQ(error_of(header(1, 1, 0x8004) + one_track),
            "at byte 12: SMPTE division with -128 frames per second; only -24, -25, -29 and -30 exist");
  EXPECT_EQ(error_of(header(1, 1, 0xE700) + one_track), "at byte 13: SMPTE division with 0 ticks per frame");
}

}  // namespace
