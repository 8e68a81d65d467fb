#include "session/event_script.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "midi/midi_parser.h"
#include "session/key_table.h"
#include "session/rate_option.h"
#include "session/voice_options.h"

namespace {

bool key_symbol(const std::string& name, int32_t& sym) {
  if (name == "return") sym = kKeyReturn;
  else if (name == "escape") sym = kKeyEscape;
  else if (name.size() == 1 && (std::islower(static_cast<unsigned char>(name[0])) ||
                                std::isdigit(static_cast<unsigned char>(name[0]))))
    sym = name[0];
  else
    return false;
  return true;
}

bool is_whole_number(const std::string& word) {
  if (word.empty()) return false;
  for (char c : word)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

bool hex_byte(const std::string& word, uint8_t& byte) {
  if (word.size() != 2 || !std::isxdigit(static_cast<unsigned char>(word[0])) ||
      !std::isxdigit(static_cast<unsigned char>(word[1])))
    return false;
  byte = static_cast<uint8_t>(std::strtoul(word.c_str(), nullptr, 16));
  return true;
}

const char* midi_message_problem(SingleMidiMessage reading) {
  switch (reading) {
    case SingleMidiMessage::kComplete: return nullptr;
    case SingleMidiMessage::kEmpty: return "\"midi\" needs the bytes of one message";
    case SingleMidiMessage::kNoStatusByte:
      return "a MIDI message must start with its status byte (80 to EF; running status is not allowed here)";
    case SingleMidiMessage::kNotAChannelMessage:
      return "only channel messages (status 80 to EF) can be played; system messages cannot";
    case SingleMidiMessage::kDataByteExpected: return "a MIDI data byte (00 to 7F) was expected after the status byte";
    case SingleMidiMessage::kTooFewBytes: return "the MIDI message is missing a data byte";
    case SingleMidiMessage::kTooManyBytes: return "too many bytes for one MIDI message";
  }
  return "not a MIDI message";
}

std::string key_name(int32_t sym) {
  if (sym == kKeyReturn) return "return";
  if (sym == kKeyEscape) return "escape";
  return std::string(1, static_cast<char>(sym));
}

}  // namespace

std::string event_script_line(int64_t frame, const Command& command) {
  const std::string at = std::to_string(frame);
  switch (command.kind) {
    case Command::kPlayNote:
    case Command::kReleaseNote: {
      const std::optional<int32_t> key = key_for_note(command.note);
      if (!key) return "";
      return at + " " + key_name(*key) + (command.kind == Command::kPlayNote ? " down" : " up");
    }
    case Command::kReplay: return at + " " + key_name(kKeyReturn) + " down";
    case Command::kReleaseReplay: return at + " " + key_name(kKeyReturn) + " up";
    case Command::kRandomNote: return at + " user";
    case Command::kSwapPatch: return "";  // the file is the log's to name: patch_script_line
    case Command::kMidi: {
      std::string line = at + " midi";
      for (int i = 0; i < command.midi.size && i < kMidiMaxBytes; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02X", command.midi.bytes[i]);
        line += hex;
      }
      return line;
    }
  }
  return "";
}

std::string patch_script_line(int64_t frame, const std::string& file) {
  return std::to_string(frame) + " patch " + file;
}

std::string rate_script_line(int sample_rate) { return "0 rate " + std::to_string(sample_rate); }

std::string voices_script_line(int voices) { return "0 voices " + std::to_string(voices); }

std::string velocity_script_line(double velocity) { return "0 velocity " + velocity_text(velocity); }

bool read_event_script(FILE* in, EventScript& script, std::string& error) {
  std::string line;
  int line_number = 0;
  int64_t last_frame = 0;
  bool first_event = true;
  bool in_header = true;  // no line but the rate, voices and velocity lines read yet
  for (;;) {
    line.clear();
    int c;
    while ((c = std::getc(in)) != EOF && c != '\n') line.push_back(static_cast<char>(c));
    if (c == EOF && line.empty()) break;
    ++line_number;
    auto fail = [&](const std::string& what) {
      error = "line " + std::to_string(line_number) + ": " + what + " (in \"" + line + "\")";
      return false;
    };
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string word; words >> word;) w.push_back(word);
    if (w.empty() || w[0][0] == '#') continue;

    if (script.end_frame) return fail("\"FRAME end\" must be the script's last line");
    if (!is_whole_number(w[0]))
      return fail("the frame must be a whole number of 0 or more");
    if (w[0].size() > 18) return fail("the frame number is too large (at most 18 digits)");
    const int64_t frame = std::strtoll(w[0].c_str(), nullptr, 10);
    if (frame < last_frame)
      return fail("frames must not decrease (the line before is at frame " +
                  std::to_string(last_frame) + ")");
    last_frame = frame;
    const bool was_first = first_event;
    first_event = false;
    const bool was_in_header = in_header;
    in_header = w.size() >= 2 && (w[1] == "rate" || w[1] == "voices" || w[1] == "velocity");
    in_header = in_header && was_in_header;
    if (w.size() >= 2 && (w[1] == "voices" || w[1] == "velocity")) {
      const bool voices = w[1] == "voices";
      const std::string form = voices ? "\"0 voices N\"" : "\"0 velocity S\"";
      if (voices ? script.voices.has_value() : script.velocity.has_value())
        return fail(voices ? "the script gives its voice count twice" : "the script gives its velocity twice");
      if (frame != 0) return fail("the " + w[1] + " line must be at frame 0 (" + form + ")");
      if (!was_in_header)
        return fail(form + " must come before the script's events (after its rate line, if it has one)");
      if (voices) {
        int n = 0;
        if (w.size() != 3 || !read_voice_count(w[2].c_str(), n))
          return fail("\"0 voices\" must be followed by a whole number of voices from 1 to " +
                      std::to_string(kMaxVoices));
        script.voices = n;
      } else {
        double s = 0;
        if (w.size() != 3 || !read_velocity_sensitivity(w[2].c_str(), s))
          return fail("\"0 velocity\" must be followed by a number from 0 to 1");
        script.velocity = s;
      }
    } else if (w.size() >= 2 && w[1] == "rate") {
      if (script.sample_rate != 0) return fail("the script gives its rate twice");
      if (!was_first) return fail("\"0 rate HZ\" must be the script's first event line");
      if (frame != 0) return fail("the rate line must be at frame 0 (\"0 rate HZ\")");
      if (w.size() != 3 || !is_whole_number(w[2]))
        return fail("\"0 rate\" must be followed by a whole number of hertz");
      int rate = 0;
      if (!read_sample_rate(w[2].c_str(), rate))
        return fail("the rate must be from " + std::to_string(kMinSampleRate) + " to " +
                    std::to_string(kMaxSampleRate) + " Hz, not " + w[2]);
      script.sample_rate = rate;
    } else if (w.size() >= 2 && w[1] == "patch") {
      // The file name is the rest of the line: it may hold spaces.
      const size_t word = line.find("patch");
      const size_t name = line.find_first_not_of(" \t", word + 5);
      if (w.size() == 2 || name == std::string::npos) return fail("a file name must follow \"FRAME patch\"");
      const size_t last = line.find_last_not_of(" \t");
      if (!script.escape_frame) {
        Command swap;
        swap.kind = Command::kSwapPatch;
        swap.frame = frame;
        script.patch_files.push_back(line.substr(name, last + 1 - name));
        script.commands.push_back(swap);
      }
    } else if (w.size() == 2 && w[1] == "user") {
      if (!script.escape_frame) script.commands.push_back(Command::random_note(frame));
    } else if (w.size() == 2 && w[1] == "close") {
      // The close button does nothing.
    } else if (w.size() == 2 && w[1] == "end") {
      script.end_frame = frame;
    } else if (w.size() >= 2 && w[1] == "midi") {
      if (w.size() > 5) return fail(midi_message_problem(SingleMidiMessage::kTooManyBytes));
      uint8_t bytes[3] = {0, 0, 0};
      for (size_t i = 2; i < w.size(); ++i)
        if (!hex_byte(w[i], bytes[i - 2]))
          return fail("MIDI bytes are two hexadecimal digits each, not \"" + w[i] + "\"");
      MidiMessage message;
      const int count = static_cast<int>(w.size()) - 2;
      if (const char* problem = midi_message_problem(read_single_midi_message(bytes, count, message)))
        return fail(problem);
      if (!script.escape_frame) script.commands.push_back(Command::midi_message(bytes, count, frame));
    } else if (w.size() == 3) {
      int32_t sym = 0;
      if (!key_symbol(w[1], sym))
        return fail("unknown key \"" + w[1] + "\": use z x c v b n, return, escape, or one lower-case letter or digit");
      if (w[2] != "down" && w[2] != "up")
        return fail("the key state must be \"down\" or \"up\", not \"" + w[2] + "\"");
      // Escape ends the render: nothing after it is played.
      if (sym == kKeyEscape && !script.escape_frame) script.escape_frame = frame;
      if (!script.escape_frame) {
        const bool down = w[2] == "down";
        if (const std::optional<int32_t> note = note_for_key(sym))
          script.commands.push_back(down ? Command::play_note(*note, frame) : Command::release_note(*note, frame));
        else if (sym == kKeyReturn)
          script.commands.push_back(down ? Command::replay(frame) : Command::release_replay(frame));
        // Any other key plays nothing.
      }
    } else {
      return fail("expected \"0 rate HZ\", \"0 voices N\", \"0 velocity S\", \"FRAME KEY down|up\", \"FRAME user\", \"FRAME midi B1 [B2 [B3]]\", \"FRAME close\" or \"FRAME end\"");
    }
    if (c == EOF) break;
  }
  if (std::ferror(in)) {
    error = std::string("cannot read the event script: ") + std::strerror(errno);
    return false;
  }
  return true;
}
