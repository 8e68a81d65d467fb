// The MIDI byte parser: what comes out of a byte stream, byte by byte.
#include <gtest/gtest.h>

#include <vector>

#include "midi/midi_parser.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Every message the parser hands out for `stream`, as byte lists.
std::vector<Bytes> parse(MidiParser& parser, const Bytes& stream) {
  std::vector<Bytes> out;
  MidiMessage message;
  for (uint8_t byte : stream)
    if (parser.feed(byte, message)) out.push_back(Bytes(message.bytes, message.bytes + message.size));
  return out;
}

std::vector<Bytes> parse(const Bytes& stream) {
  MidiParser parser;
  return parse(parser, stream);
}

TEST(MidiParser, CompleteMessagesOfEachLength) {
  EXPECT_EQ(parse({0x90, 0x3C, 0x64}), (std::vector<Bytes>{{0x90, 0x3C, 0x64}}));
  EXPECT_EQ(parse({0x8F, 0x3C, 0x00}), (std::vector<Bytes>{{0x8F, 0x3C, 0x00}}));
  EXPECT_EQ(parse({0xB3, 0x40, 0x7F}), (std::vector<Bytes>{{0xB3, 0x40, 0x7F}}));
  EXPECT_EQ(parse({0xE0, 0x00, 0x40}), (std::vector<Bytes>{{0xE0, 0x00, 0x40}}));
  EXPECT_EQ(parse({0xA1, 0x3C, 0x10}), (std::vector<Bytes>{{0xA1, 0x3C, 0x10}}));
  // Program change and channel pressure carry one data byte.
  EXPECT_EQ(parse({0xC5, 0x07}), (std::vector<Bytes>{{0xC5, 0x07}}));
  EXPECT_EQ(parse({0xD2, 0x55}), (std::vector<Bytes>{{0xD2, 0x55}}));
  // Nothing before the last byte.
  MidiParser parser;
  MidiMessage message;
  EXPECT_FALSE(parser.feed(0x90, message));
  EXPECT_FALSE(parser.feed(0x3C, message));
  EXPECT_TRUE(parser.in_message());
  EXPECT_TRUE(parser.feed(0x00, message));
  EXPECT_FALSE(parser.in_message());
  EXPECT_EQ(message.kind(), kMidiNoteOn);
  EXPECT_EQ(message.channel(), 0);
  EXPECT_EQ(message.data1(), 0x3C);
  EXPECT_EQ(message.data2(), 0);  // velocity 0 is handed out as it came: a note on
}

TEST(MidiParser, RunningStatus) {
  EXPECT_EQ(parse({0x90, 0x3C, 0x64, 0x3E, 0x64, 0x3C, 0x00}),
            (std::vector<Bytes>{{0x90, 0x3C, 0x64}, {0x90, 0x3E, 0x64}, {0x90, 0x3C, 0x00}}));
  EXPECT_EQ(parse({0xC0, 0x01, 0x02, 0x03}), (std::vector<Bytes>{{0xC0, 0x01}, {0xC0, 0x02}, {0xC0, 0x03}}));
  // A new status byte replaces the running one.
  EXPECT_EQ(parse({0x90, 0x3C, 0x64, 0xE1, 0x00, 0x40, 0x7F, 0x7F}),
            (std::vector<Bytes>{{0x90, 0x3C, 0x64}, {0xE1, 0x00, 0x40}, {0xE1, 0x7F, 0x7F}}));
  // Data bytes before any status byte belong to nothing.
  EXPECT_EQ(parse({0x3C, 0x64, 0x90, 0x3C, 0x64}), (std::vector<Bytes>{{0x90, 0x3C, 0x64}}));
  MidiParser parser;
  EXPECT_EQ(parser.running_status(), 0);
  parse(parser, {0x92, 0x3C, 0x64});
  EXPECT_EQ(parser.running_status(), 0x92);
  parser.reset();
  EXPECT_EQ(parser.running_status(), 0);
  EXPECT_TRUE(parse(parser, {0x3C, 0x64}).empty());
}

TEST(MidiParser, RealTimeBytesAreIgnoredEvenInsideAMessage) {
  // Clock inside a note on, active sensing and reset between its data bytes.
  EXPECT_EQ(parse({0x90, 0xF8, 0x3C, 0xFE, 0xFF, 0x64}), (std::vector<Bytes>{{0x90, 0x3C, 0x64}}));
  // ... and they keep running status.
  EXPECT_EQ(parse({0x90, 0x3C, 0x64, 0xFA, 0xFC, 0x3E, 0xF9, 0xFD, 0x64}),
            (std::vector<Bytes>{{0x90, 0x3C, 0x64}, {0x90, 0x3E, 0x64}}));
  EXPECT_TRUE(parse({0xF8, 0xF8, 0xFE}).empty());
}

TEST(MidiParser, SystemExclusiveIsSkipped) {
  // Its data bytes are not notes, wherever it ends.
  EXPECT_EQ(parse({0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7, 0x90, 0x3C, 0x64}),
            (std::vector<Bytes>{{0x90, 0x3C, 0x64}}));
  EXPECT_EQ(parse({0xF0, 0x43, 0x10, 0x3C, 0x64, 0x80, 0x3C, 0x00}), (std::vector<Bytes>{{0x80, 0x3C, 0x00}}));
  // Real-time bytes inside it change nothing.
  EXPECT_EQ(parse({0xF0, 0x01, 0xF8, 0x02, 0xF7, 0xB0, 0x40, 0x7F}), (std::vector<Bytes>{{0xB0, 0x40, 0x7F}}));
  // It cancels running status: the data bytes after it are dropped.
  EXPECT_EQ(parse({0x90, 0x3C, 0x64, 0xF0, 0x01, 0xF7, 0x3E, 0x64, 0x90, 0x40, 0x64}),
            (std::vector<Bytes>{{0x90, 0x3C, 0x64}, {0x90, 0x40, 0x64}}));
}

TEST(MidiParser, SystemCommonIsSkippedAndCancelsRunningStatus) {
  // Song position (2 data bytes), song select (1), time code (1), tune request (0), stray end of exclusive.
  for (uint8_t common : {0xF1, 0xF2, 0xF3, 0xF6, 0xF7, 0xF4, 0xF5}) {
    SCOPED_TRACE(common);
    EXPECT_EQ(parse({0x90, 0x3C, 0x64, common, 0x05, 0x06, 0x3E, 0x64}), (std::vector<Bytes>{{0x90, 0x3C, 0x64}}));
  }
}

TEST(MidiParser, AStatusByteDropsAnUnfinishedMessage) {
  EXPECT_EQ(parse({0x90, 0x3C, 0x80, 0x3C, 0x00}), (std::vector<Bytes>{{0x80, 0x3C, 0x00}}));
  EXPECT_EQ(parse({0xB0, 0x40, 0xF0, 0xF7, 0x7F}), std::vector<Bytes>{});
  MidiParser parser;
  parse(parser, {0xE0, 0x10});
  EXPECT_TRUE(parser.in_message());
  parser.reset();
  EXPECT_FALSE(parser.in_message());
  EXPECT_TRUE(parse(parser, {0x40}).empty());
}

TEST(SingleMidiMessage, OneCompleteMessageWithItsOwnStatus) {
  MidiMessage message;
  auto check = [&](Bytes bytes) { return read_single_midi_message(bytes.data(), bytes.size(), message); };
  EXPECT_EQ(check({0x93, 0x45, 0x7F}), SingleMidiMessage::kComplete);
  EXPECT_EQ(Bytes(message.bytes, message.bytes + message.size), (Bytes{0x93, 0x45, 0x7F}));
  EXPECT_EQ(check({0xC0, 0x05}), SingleMidiMessage::kComplete);
  EXPECT_EQ(Bytes(message.bytes, message.bytes + message.size), (Bytes{0xC0, 0x05}));
  EXPECT_EQ(check({}), SingleMidiMessage::kEmpty);
  EXPECT_EQ(check({0x45, 0x7F}), SingleMidiMessage::kNoStatusByte);
  EXPECT_EQ(check({0xF8}), SingleMidiMessage::kNotAChannelMessage);
  EXPECT_EQ(check({0xF0, 0x01}), SingleMidiMessage::kNotAChannelMessage);
  EXPECT_EQ(check({0x90, 0x45}), SingleMidiMessage::kTooFewBytes);
  EXPECT_EQ(check({0x90}), SingleMidiMessage::kTooFewBytes);
  EXPECT_EQ(check({0xC0, 0x05, 0x06}), SingleMidiMessage::kTooManyBytes);
  EXPECT_EQ(check({0x90, 0xF8, 0x45}), SingleMidiMessage::kDataByteExpected);
  EXPECT_EQ(check({0x90, 0x45, 0x80}), SingleMidiMessage::kDataByteExpected);
}

}  // namespace
