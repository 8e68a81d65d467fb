#include "midi/smf_reader.h"

#include <algorithm>
#include <cstring>

#include "midi/midi_parser.h"

namespace {

// Exact times. A track holds under 2^32 events of under 2^28 ticks each, so
// ticks < 2^60; times 2^30 at most (a tempo, or 1,000,000 * 1001 for SMPTE)
// and a sample rate under 2^32: under 2^122.
using Wide = unsigned __int128;

constexpr uint32_t kDefaultTempo = 500000;  // us a quarter note: 120 beats a minute
constexpr int64_t kLastFrame = 1000000000000000000;  // 10^18, as far as event scripts reach

struct TempoChange {
  uint64_t tick;
  uint32_t track;
  uint32_t index;
  uint32_t us_per_quarter;
};

// The last event of a track: the one that sets the file's length.
struct LastEvent {
  uint64_t tick = 0;
  size_t offset = 0;
  bool exists = false;
};

// Frames from ticks, for ticks that never decrease.
class Clock {
 public:
  // t us = numerator / denominator. SMPTE: the numerator grows by
  // smpte_numerator a tick, with no tempo map; ticks per quarter: by the
  // tempo of the tick's segment (tempo_changes must then be given).
  Clock(Wide denominator, Wide smpte_numerator, uint32_t sample_rate, const std::vector<TempoChange>* tempo_changes)
      : denominator_(denominator),
        smpte_numerator_(smpte_numerator),
        sample_rate_(sample_rate),
        tempo_changes_(tempo_changes) {}

  Wide frame_at(uint64_t tick) {
    Wide numerator;  // t us * denominator_
    if (!tempo_changes_) {
      numerator = Wide{tick} * smpte_numerator_;
    } else {
      while (next_change_ < tempo_changes_->size() && (*tempo_changes_)[next_change_].tick <= tick) {
        const TempoChange& change = (*tempo_changes_)[next_change_++];
        segment_start_ += Wide{change.tick - segment_tick_} * tempo_;
        segment_tick_ = change.tick;
        tempo_ = change.us_per_quarter;
      }
      numerator = segment_start_ + Wide{tick - segment_tick_} * tempo_;
    }
    return numerator * sample_rate_ / (denominator_ * 1000000u);
  }

 private:
  Wide denominator_;
  Wide smpte_numerator_;
  uint32_t sample_rate_;
  const std::vector<TempoChange>* tempo_changes_;
  size_t next_change_ = 0;
  uint64_t segment_tick_ = 0;
  Wide segment_start_ = 0;  // the numerator at segment_tick_
  uint32_t tempo_ = kDefaultTempo;
};

std::string hex_byte(uint8_t byte) {
  static const char kDigits[] = "0123456789ABCDEF";
  return std::string("0x") + kDigits[byte >> 4] + kDigits[byte & 15];
}

// "1 byte", "2 bytes".
std::string count_of(uint64_t count, const char* thing) {
  return std::to_string(count) + " " + thing + (count == 1 ? "" : "s");
}

std::string at(size_t offset) { return "at byte " + std::to_string(offset) + ": "; }

class Reader {
 public:
  Reader(const uint8_t* data, size_t size, MidiFile& file, SmfError& error)
      : data_(data), size_(size), file_(file), error_(error) {}

  bool read(uint32_t sample_rate);

 private:
  bool fail(size_t offset, const std::string& what) {
    error_.offset = offset;
    error_.message = at(offset) + what;
    return false;
  }
  void warn(size_t offset, const std::string& what) { file_.warnings.push_back(at(offset) + what); }

  uint32_t u32(size_t p) const {
    return uint32_t{data_[p]} << 24 | uint32_t{data_[p + 1]} << 16 | uint32_t{data_[p + 2]} << 8 | data_[p + 3];
  }
  uint16_t u16(size_t p) const { return static_cast<uint16_t>(data_[p] << 8 | data_[p + 1]); }

  bool read_header();
  bool read_chunks();
  bool read_track(size_t chunk, size_t begin, size_t end);
  // A variable-length number at `pos` (at most 4 bytes, 7 bits each) that
  // must end before `end`; `event` is where the event began, for messages.
  bool read_number(size_t& pos, size_t end, size_t event, uint32_t& value);
  bool truncated(size_t event, size_t end) {
    return fail(event, "an event is cut short by the end of its track (at byte " + std::to_string(end) + ")");
  }
  bool time_messages(uint32_t sample_rate);

  const uint8_t* data_;
  size_t size_;
  MidiFile& file_;
  SmfError& error_;

  // Division: with SMPTE, frames per second are fps_num / fps_den.
  bool smpte_ = false;
  uint32_t ticks_per_quarter_ = 0;
  uint32_t fps_num_ = 0, fps_den_ = 1, ticks_per_frame_ = 0;

  std::vector<TempoChange> tempo_changes_;
  LastEvent last_event_;
};

bool Reader::read(uint32_t sample_rate) {
  file_ = MidiFile{};
  return read_header() && read_chunks() && time_messages(sample_rate);
}

bool Reader::read_header() {
  if (size_ < 4 || std::memcmp(data_, "MThd", 4) != 0)
    return fail(0, "not a Standard MIDI File (it does not begin with an MThd chunk)");
  if (size_ < 8) return fail(4, "the file ends inside the header chunk's length");
  const uint32_t length = u32(4);
  if (length < 6)
    return fail(4, "the header chunk is " + count_of(length, "byte") + " long; it needs at least 6");
  if (length > size_ - 8)
    return fail(4, "the header chunk's length (" + count_of(length, "byte") + ") runs past the end of the file");

  file_.format = u16(8);
  if (file_.format == 2)
    return fail(8, "format 2 (a set of independent songs) is not played; only formats 0 and 1 are");
  if (file_.format > 2)
    return fail(8, "unknown format " + std::to_string(file_.format) + "; only formats 0 and 1 are played");
  file_.announced_tracks = u16(10);
  if (file_.format == 0 && file_.announced_tracks > 1)
    return fail(10, "a format 0 file holds one track, not " + std::to_string(file_.announced_tracks));

  const uint16_t division = u16(12);
  if (division & 0x8000) {
    smpte_ = true;
    const int code = static_cast<int8_t>(division >> 8);
    switch (code) {
      case -24: fps_num_ = 24; break;
      case -25: fps_num_ = 25; break;
      case -29: fps_num_ = 30000; fps_den_ = 1001; break;  // 29.97 drop-frame
      case -30: fps_num_ = 30; break;
      default:
        return fail(12, "SMPTE division with " + std::to_string(code) +
                            " frames per second; only -24, -25, -29 and -30 exist");
    }
    ticks_per_frame_ = division & 0xFF;
    if (ticks_per_frame_ == 0) return fail(13, "SMPTE division with 0 ticks per frame");
  } else {
    ticks_per_quarter_ = division;
    if (division == 0) return fail(12, "a division of 0 ticks per quarter note");
  }
  return true;
}

bool Reader::read_chunks() {
  size_t pos = 8 + size_t{u32(4)};
  while (pos < size_) {
    const size_t left = size_ - pos;
    bool letters = left >= 8;
    for (size_t i = 0; letters && i < 4; ++i) letters = data_[pos + i] >= 0x20 && data_[pos + i] <= 0x7E;
    if (!letters) {
      // Padding or junk after the tracks is common and harmless; a non-chunk
      // where tracks are still to come means a damaged file.
      if (left >= 8 && file_.tracks < file_.announced_tracks)
        return fail(pos, "a bad chunk: its type is not four ASCII letters (" + std::to_string(file_.tracks) +
                             " of the " + count_of(file_.announced_tracks, "track") + " read)");
      warn(pos, count_of(left, "byte") + " after the last chunk, ignored");
      break;
    }
    const uint32_t length = u32(pos + 4);
    if (length > left - 8)
      return fail(pos + 4, "the " + std::string(reinterpret_cast<const char*>(data_ + pos), 4) +
                               " chunk's length (" + count_of(length, "byte") +
                               ") runs past the end of the file");
    if (std::memcmp(data_ + pos, "MTrk", 4) == 0) {
      if (file_.format == 0 && file_.tracks == 1)
        return fail(pos, "a second track chunk in a format 0 file, which holds one track");
      if (!read_track(pos, pos + 8, pos + 8 + length)) return false;
      ++file_.tracks;
    }
    pos += 8 + size_t{length};
  }
  if (file_.tracks != file_.announced_tracks)
    warn(10, "the header announces " + count_of(file_.announced_tracks, "track") + " but the file holds " +
                 std::to_string(file_.tracks));
  return true;
}

bool Reader::read_number(size_t& pos, size_t end, size_t event, uint32_t& value) {
  const size_t start = pos;
  value = 0;
  for (int count = 0;; ++count) {
    if (count == 4) return fail(start, "a variable-length number longer than 4 bytes");
    if (pos >= end) return truncated(event, end);
    const uint8_t byte = data_[pos++];
    value = value << 7 | (byte & 0x7F);
    if (!(byte & 0x80)) return true;
  }
}

bool Reader::read_track(size_t chunk, size_t begin, size_t end) {
  const uint32_t track = file_.tracks;
  MidiParser parser;  // running status starts afresh in every track
  uint64_t tick = 0;
  uint32_t index = 0;
  LastEvent last;
  size_t pos = begin;
  bool ended = false;
  while (pos < end && !ended) {
    const size_t event = pos;
    uint32_t delta;
    if (!read_number(pos, end, event, delta)) return false;
    tick += delta;
    if (pos >= end) return truncated(event, end);
    const uint8_t first = data_[pos];

    if (first == 0xFF) {  // meta event: type, length, data
      if (++pos >= end) return truncated(event, end);
      const uint8_t type = data_[pos++];
      uint32_t length;
      if (!read_number(pos, end, event, length)) return false;
      if (length > end - pos) return truncated(event, end);
      if (type == 0x2F) ended = true;
      if (type == 0x51) {
        if (length == 3)
          tempo_changes_.push_back({tick, track, index, uint32_t{data_[pos]} << 16 | data_[pos + 1] << 8 | data_[pos + 2]});
        else
          warn(event, "a tempo event of " + count_of(length, "byte") + " (3 expected), ignored");
      }
      pos += length;
    } else if (first == 0xF0 || first == 0xF7) {  // system exclusive: length, data
      ++pos;
      uint32_t length;
      if (!read_number(pos, end, event, length)) return false;
      if (length > end - pos) return truncated(event, end);
      pos += length;
    } else if (first < 0xF0) {  // a channel message, its status byte perhaps implied
      if (!is_midi_status_byte(first) && parser.running_status() == 0)
        return fail(pos, "a data byte (" + hex_byte(first) + ") with no status byte before it");
      TimedMidiMessage timed;
      timed.tick = tick;
      timed.track = track;
      timed.index = index;
      for (bool first_byte = true;; first_byte = false) {
        if (pos >= end) return truncated(event, end);
        const uint8_t byte = data_[pos];
        if (!first_byte && is_midi_status_byte(byte))
          return fail(pos, "a status byte (" + hex_byte(byte) + ") where a data byte of the message belongs");
        ++pos;
        if (parser.feed(byte, timed.message)) break;
      }
      file_.messages.push_back(timed);
    } else {
      return fail(pos, "byte " + hex_byte(first) + " cannot begin an event in a MIDI file");
    }
    last = {tick, event, true};
    ++index;
  }
  if (!ended)
    warn(chunk, "the track has no end-of-track event; it ends with its chunk");
  else if (pos < end)
    warn(pos, count_of(end - pos, "byte") + " after the track's end-of-track event, ignored");
  if (last.exists && (!last_event_.exists || last.tick > last_event_.tick)) last_event_ = last;
  return true;
}

bool Reader::time_messages(uint32_t sample_rate) {
  std::sort(file_.messages.begin(), file_.messages.end(), [](const TimedMidiMessage& a, const TimedMidiMessage& b) {
    if (a.tick != b.tick) return a.tick < b.tick;
    if (a.track != b.track) return a.track < b.track;
    return a.index < b.index;
  });
  std::sort(tempo_changes_.begin(), tempo_changes_.end(), [](const TempoChange& a, const TempoChange& b) {
    if (a.tick != b.tick) return a.tick < b.tick;
    if (a.track != b.track) return a.track < b.track;
    return a.index < b.index;
  });

  // t us = numerator / denominator, exactly. Ticks per quarter: the sum over
  // tempo segments of ticks * tempo, over the division. SMPTE: ticks *
  // 1,000,000 over frames per second * ticks per frame.
  const Clock start(smpte_ ? Wide{fps_num_} * ticks_per_frame_ : Wide{ticks_per_quarter_},
                    smpte_ ? Wide{1000000u} * fps_den_ : Wide{0}, sample_rate,
                    smpte_ ? nullptr : &tempo_changes_);

  // Times never decrease with the tick, so the last event bounds them all.
  if (!last_event_.exists) return true;
  const Wide last = Clock(start).frame_at(last_event_.tick);
  if (last > Wide{kLastFrame})
    return fail(last_event_.offset, "the event lies more than 10^18 frames after the start");
  file_.last_event_frame = static_cast<int64_t>(last);
  Clock clock = start;
  for (TimedMidiMessage& timed : file_.messages) timed.frame = static_cast<int64_t>(clock.frame_at(timed.tick));
  return true;
}

}  // namespace

bool read_smf(const uint8_t* data, size_t size, uint32_t sample_rate, MidiFile& file, SmfError& error) {
  Reader reader(data, size, file, error);
  return reader.read(sample_rate);
}
