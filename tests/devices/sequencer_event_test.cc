// The ALSA sequencer input: its translation of sequencer events into MIDI
// bytes, checked against alsa-lib's own decoder (plain user-space code that
// works without a sequencer), its one line when there is no sequencer, and,
// where /dev/snd/seq exists, a live client fed by a sender of the test's own.
#include <alsa/asoundlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

#include "devices/alsa_midi_input.h"
#include "devices/sequencer_event_bytes.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes translate(const snd_seq_event_t& event) {
  uint8_t out[3] = {0xEE, 0xEE, 0xEE};
  int size = -1;
  if (!sequencer_event_to_bytes(event, out, size)) return {};
  return Bytes(out, out + size);
}

// alsa-lib's decoder, one message at a time with its status byte always written.
Bytes alsa_decoded(const snd_seq_event_t& event) {
  snd_midi_event_t* decoder = nullptr;
  if (snd_midi_event_new(16, &decoder) < 0) return {};
  snd_midi_event_no_status(decoder, 1);
  unsigned char out[16];
  const long n = snd_midi_event_decode(decoder, out, sizeof out, &event);
  snd_midi_event_free(decoder);
  return n > 0 ? Bytes(out, out + n) : Bytes{};
}

snd_seq_event_t blank() {
  snd_seq_event_t e;
  snd_seq_ev_clear(&e);
  return e;
}

// One event of every kind wsy takes, on `channel`, with data from `a` and `b`.
std::vector<snd_seq_event_t> channel_events(int channel, int a, int b) {
  std::vector<snd_seq_event_t> list;
  snd_seq_event_t e = blank();
  snd_seq_ev_set_noteon(&e, channel, a, b);
  list.push_back(e);
  e = blank();
  snd_seq_ev_set_noteoff(&e, channel, a, b);
  list.push_back(e);
  e = blank();
  snd_seq_ev_set_keypress(&e, channel, a, b);
  list.push_back(e);
  e = blank();
  snd_seq_ev_set_controller(&e, channel, a, b);
  list.push_back(e);
  e = blank();
  snd_seq_ev_set_pgmchange(&e, channel, a);
  list.push_back(e);
  e = blank();
  snd_seq_ev_set_chanpress(&e, channel, b);
  list.push_back(e);
  e = blank();
  snd_seq_ev_set_pitchbend(&e, channel, (a * 128 + b) - 8192);
  list.push_back(e);
  return list;
}

TEST(SequencerEventBytes, EveryChannelMessageMatchesAlsasOwnDecoder) {
  int checked = 0;
  for (int channel = 0; channel < 16; ++channel)
    for (int a : {0, 1, 60, 64, 127})
      for (int b : {0, 1, 63, 64, 100, 127})
        for (const snd_seq_event_t& e : channel_events(channel, a, b)) {
          const Bytes expected = alsa_decoded(e);
          ASSERT_FALSE(expected.empty());
          EXPECT_EQ(translate(e), expected) << "event type " << int(e.type) << " channel " << channel << " a " << a
                                            << " b " << b;
          ++checked;
        }
  EXPECT_EQ(checked, 16 * 5 * 6 * 7);
}

TEST(SequencerEventBytes, MessagesByTheirBytes) {
  snd_seq_event_t e = blank();
  snd_seq_ev_set_noteon(&e, 0, 69, 0);  // velocity 0 stays a note on: the note logic reads it as a note off
  EXPECT_EQ(translate(e), (Bytes{0x90, 69, 0}));
  e = blank();
  snd_seq_ev_set_noteoff(&e, 15, 60, 64);
  EXPECT_EQ(translate(e), (Bytes{0x8F, 60, 64}));
  e = blank();
  snd_seq_ev_set_controller(&e, 2, 64, 127);  // sustain pedal down
  EXPECT_EQ(translate(e), (Bytes{0xB2, 64, 127}));
  e = blank();
  snd_seq_ev_set_pgmchange(&e, 3, 5);
  EXPECT_EQ(translate(e), (Bytes{0xC3, 5}));
  e = blank();
  snd_seq_ev_set_chanpress(&e, 4, 33);
  EXPECT_EQ(translate(e), (Bytes{0xD4, 33}));
  e = blank();
  snd_seq_ev_set_keypress(&e, 5, 60, 99);
  EXPECT_EQ(translate(e), (Bytes{0xA5, 60, 99}));
}

TEST(SequencerEventBytes, PitchBendCoversItsRangeAndHoldsToIt) {
  const struct { int value; Bytes bytes; } cases[] = {
      {-8192, {0xE0, 0x00, 0x00}}, {-1, {0xE0, 0x7F, 0x3F}}, {0, {0xE0, 0x00, 0x40}},
      {1, {0xE0, 0x01, 0x40}},     {8191, {0xE0, 0x7F, 0x7F}}, {-9000, {0xE0, 0x00, 0x00}},
      {9000, {0xE0, 0x7F, 0x7F}},
  };
  for (const auto& c : cases) {
    snd_seq_event_t e = blank();
    snd_seq_ev_set_pitchbend(&e, 0, c.value);
    EXPECT_EQ(translate(e), c.bytes) << "bend " << c.value;
  }
}

TEST(SequencerEventBytes, OutOfRangeDataKeepsItsLowSevenBits) {
  snd_seq_event_t e = blank();
  snd_seq_ev_set_controller(&e, 0, 128 + 7, 200);  // controller 7, value 200 & 0x7F
  EXPECT_EQ(translate(e), (Bytes{0xB0, 7, 200 & 0x7F}));
}

TEST(SequencerEventBytes, OtherEventsAreIgnoredAndLeaveTheOutputAlone) {
  unsigned char sysex[] = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
  std::vector<snd_seq_event_t> others;
  for (snd_seq_event_type_t type : {SND_SEQ_EVENT_CLOCK, SND_SEQ_EVENT_START, SND_SEQ_EVENT_STOP,
                                    SND_SEQ_EVENT_SENSING, SND_SEQ_EVENT_SONGPOS, SND_SEQ_EVENT_QFRAME,
                                    SND_SEQ_EVENT_PORT_SUBSCRIBED, SND_SEQ_EVENT_CLIENT_START,
                                    SND_SEQ_EVENT_CONTROL14, SND_SEQ_EVENT_NONREGPARAM}) {
    snd_seq_event_t e = blank();
    e.type = type;
    others.push_back(e);
  }
  snd_seq_event_t e = blank();
  snd_seq_ev_set_sysex(&e, sizeof sysex, sysex);
  others.push_back(e);
  e = blank();
  snd_seq_ev_set_note(&e, 0, 60, 100, 480);  // a note with a duration: a sequencer's own kind
  others.push_back(e);
  for (const snd_seq_event_t& other : others) {
    uint8_t out[3] = {1, 2, 3};
    int size = 99;
    EXPECT_FALSE(sequencer_event_to_bytes(other, out, size)) << "event type " << int(other.type);
    EXPECT_EQ(size, 99);
    EXPECT_EQ(out[0], 1);
  }
}

// What the input's thread hands over, for the test thread to wait on.
struct Received {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Bytes> messages;
  static void take(void* user, const uint8_t* bytes, int size) {
    Received& r = *static_cast<Received*>(user);
    std::lock_guard<std::mutex> lock(r.mutex);
    r.messages.emplace_back(bytes, bytes + size);
    r.changed.notify_all();
  }
};

bool has_sequencer() { return access("/dev/snd/seq", F_OK) == 0; }

TEST(AlsaMidiInput, WithoutASequencerOneLineSaysSoAndOpenFails) {
  if (has_sequencer()) GTEST_SKIP() << "this machine has /dev/snd/seq: the missing-sequencer line cannot show here";
  Received received;
  AlsaMidiInput input(&Received::take, &received);
  testing::internal::CaptureStderr();
  const bool opened = input.open();
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(opened);
  EXPECT_FALSE(input.is_open());
  EXPECT_EQ(said,
            "wsy: no MIDI input from the ALSA sequencer (this machine has no /dev/snd/seq: no sound hardware, or "
            "the snd-seq module is not loaded); playing on without it.\n");
  // Asked anyway: no port, no connection, a warning for a connection.
  EXPECT_EQ(input.port_name(), "");
  EXPECT_TRUE(input.connections().empty());
  EXPECT_NE(input.connect("20:0").warning, "");
  input.close();
}

TEST(AlsaMidiInput, AnUnknownSequencerNameIsOneLineToo) {
  AlsaMidiInput input(&Received::take, nullptr);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(input.open("wsy_no_such_sequencer"));
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(said.find("wsy: no MIDI input from the ALSA sequencer ("), 0u) << said;
  EXPECT_EQ(said.find('\n'), said.size() - 1) << said;
  EXPECT_NE(said.find("; playing on without it.\n"), std::string::npos) << said;
}

TEST(AlsaMidiInput, LiveClientReceivesWhatASenderWrites) {
  if (!has_sequencer()) GTEST_SKIP() << "no /dev/snd/seq on this machine: the live ALSA sequencer test needs one";
  Received received;
  AlsaMidiInput input(&Received::take, &received);
  ASSERT_TRUE(input.open());
  EXPECT_EQ(input.port_name().rfind("wsy:midi_in (", 0), 0u) << input.port_name();

  snd_seq_t* sender = nullptr;
  ASSERT_EQ(snd_seq_open(&sender, "default", SND_SEQ_OPEN_OUTPUT, 0), 0);
  snd_seq_set_client_name(sender, "wsy-test-sender");
  const int port = snd_seq_create_simple_port(sender, "out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                              SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
  ASSERT_GE(port, 0);
  const std::string address = std::to_string(snd_seq_client_id(sender)) + ":" + std::to_string(port);
  const MidiConnectResult connected = input.connect(address);
  ASSERT_EQ(connected.connected.size(), 1u) << connected.warning;
  EXPECT_NE(connected.connected[0].find("wsy-test-sender:out (" + address + ")"), std::string::npos);
  EXPECT_EQ(input.connections(), connected.connected);
  EXPECT_NE(input.connect("wsy-no-such-client").warning, "");

  std::vector<snd_seq_event_t> events = channel_events(3, 60, 100);
  snd_seq_event_t clock = blank();
  clock.type = SND_SEQ_EVENT_CLOCK;
  events.insert(events.begin() + 2, clock);  // dropped on the way
  for (snd_seq_event_t& e : events) {
    snd_seq_ev_set_source(&e, port);
    snd_seq_ev_set_subs(&e);
    snd_seq_ev_set_direct(&e);
    ASSERT_GE(snd_seq_event_output_direct(sender, &e), 0);
  }
  std::vector<Bytes> expected;
  for (const snd_seq_event_t& e : events)
    if (e.type != SND_SEQ_EVENT_CLOCK) expected.push_back(alsa_decoded(e));
  {
    std::unique_lock<std::mutex> lock(received.mutex);
    received.changed.wait_for(lock, std::chrono::seconds(5), [&] { return received.messages.size() >= expected.size(); });
    EXPECT_EQ(received.messages, expected);
  }
  const auto began = std::chrono::steady_clock::now();
  input.close();
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(1)) << "the thread did not stop at once";
  snd_seq_close(sender);
}

}  // namespace
