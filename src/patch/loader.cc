// Patch::load: the patch file, word by word, into modules and link groups.
//
// A word is a run of non-blank bytes; each word is one entry of ';'-ended
// fields. Field 0 names the object and its kind ("VCO"/"LFO" oscillator,
// "VCA" envelope, "MIXER" mixer, tested in that order). Oscillator fields are
// parameters (*FREQ=, *NOTE=) or links SOURCE:MOD_xxx; mixer fields are links
// SOURCE:INxx. Everything that is created goes to the front of its list.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "patch/field_splitter.h"
#include "patch/patch.h"

namespace {

constexpr size_t kMaxWord = 799;  // the longest entry a patch may hold

template <typename T>
void push_front(std::vector<T>& list, T value) {
  list.insert(list.begin(), std::move(value));
}

// The C library's atoi as this platform has it: strtol, cut to 32 bits.
int32_t read_int(const char* text) {
  return static_cast<int32_t>(std::strtol(text, nullptr, 10));
}

uint8_t modulations_of(const std::string& param) {
  uint8_t bits = 0;
  if (param.find("MOD_AMP") != std::string::npos) bits |= kModAmp;
  if (param.find("MOD_FREQ") != std::string::npos) bits |= kModFreq;
  if (param.find("MOD_PHASE") != std::string::npos) bits |= kModPhase;
  return bits;
}

// Input number k (1..24) from the third character of the input name; -1 when
// there is no such input.
int input_slot_of(const std::string& input_name) {
  if (input_name.size() < 3) return -1;
  const int32_t number = read_int(input_name.c_str() + 2);
  return number >= 1 && number <= Mixer::kInputs ? number - 1 : -1;
}

class Loader {
 public:
  Loader(Patch& patch, const char* path, FILE* file) : patch_(patch), path_(path), file_(file) {}

  bool run(std::string& error) {
    std::string word;
    while (read_word(word)) {
      ++word_number_;
      if (word.size() > kMaxWord) {
        warn(word, "entry longer than 799 characters; skipped");
        continue;
      }
      // An entry is a C string: a NUL byte in the file ends it.
      entry(word.c_str());
    }
    if (std::ferror(file_)) {
      error = std::strerror(errno ? errno : EIO);
      return false;
    }
    if (patch_.mixer_links.empty())
      std::fprintf(patch_.diagnostics,
                   "wsy: %s: warning: no MIXER entry has a link, so the patch is silent; "
                   "add an entry such as MIXER1;VCO1:IN1;\n", path_);
    return true;
  }

 private:
  bool read_word(std::string& word) {
    word.clear();
    int c;
    while ((c = std::getc(file_)) != EOF && std::isspace(c)) {}
    if (c == EOF) return false;
    do {
      if (word.size() <= kMaxWord) word.push_back(static_cast<char>(c));
    } while ((c = std::getc(file_)) != EOF && !std::isspace(c));
    return true;
  }

  void warn(const std::string& text, const char* what, int field = -1) {
    std::string shown;
    for (unsigned char c : text.substr(0, 60)) shown += std::isprint(c) ? static_cast<char>(c) : '?';
    if (text.size() > 60) shown += "...";
    if (field >= 0)
      std::fprintf(patch_.diagnostics, "wsy: %s: warning: word %d \"%s\", field %d: %s\n", path_,
                   word_number_, shown.c_str(), field, what);
    else
      std::fprintf(patch_.diagnostics, "wsy: %s: warning: word %d \"%s\": %s\n", path_, word_number_,
                   shown.c_str(), what);
  }

  void entry(const char* text) {
    FieldSplitter fields(text, ';');
    const int32_t n = fields.count();
    if (n < 1) {
      std::fprintf(patch_.console, "Ligne %d semble avoir moins de 2 parametres\n", word_number_);
      return;
    }
    const std::optional<std::string> name = fields.field(0);
    if (!name) {
      warn(text, "the entry has no name before its first ';'; skipped");
      return;
    }
    std::fprintf(patch_.console, "OBJET [%s]\n", name->c_str());
    if (name->find("VCO") != std::string::npos || name->find("LFO") != std::string::npos)
      oscillator(text, fields, n, *name);
    else if (name->find("VCA") != std::string::npos)
      envelope(text, *name);
    else if (name->find("MIXER") != std::string::npos)
      mixer(text, fields, n, *name);
  }

  void oscillator(const char* text, const FieldSplitter& fields, int32_t n, const std::string& name) {
    if (name.size() >= Vco::kNameSize) {
      warn(text, "oscillator name of 80 characters or more; entry skipped");
      return;
    }
    Vco* vco = new Vco(1.0f, 440.0f, Vco::kSine);
    std::strcpy(vco->name, name.c_str());
    std::fputs("VCO\n", patch_.console);
    push_front(patch_.vcos, vco);

    int32_t note = -1;  // -1: no NOTE given (yet)
    VcoLinkGroup group;
    for (int32_t i = 1; i < n; ++i) {
      const std::optional<std::string> field = fields.field(i);
      if (!field) {
        warn(text, "empty field; skipped", i);
        continue;
      }
      if ((*field)[0] == '*') {
        std::fprintf(patch_.console, "paramSET : [%s]\n", field->c_str());
        const bool freq = field->find("FREQ") != std::string::npos;
        const bool has_note = field->find("NOTE") != std::string::npos;
        if (!freq && !has_note) continue;  // other parameters are only traced
        const std::optional<std::string> value = FieldSplitter(field->c_str(), '=').field(1);
        if (!value) {
          warn(text, "FREQ/NOTE parameter without a value after '='; ignored", i);
          continue;
        }
        const int32_t number = read_int(value->c_str());
        if (freq) vco->base_frequency = static_cast<float>(number);
        if (has_note) note = number;
        continue;
      }
      FieldSplitter link(field->c_str(), ':');
      std::optional<std::string> source_name = link.field(0), param = link.field(1);
      if (!source_name || !param) {
        warn(text, "link is not SOURCE:MOD_AMP, SOURCE:MOD_FREQ or SOURCE:MOD_PHASE; skipped", i);
        continue;
      }
      group.target = vco;
      group.note = note == -1 ? 0 : note;
      Vco* source = find_source(text, i, *source_name);
      push_front(group.sources, source);
      push_front(group.params, *param);
      push_front(group.source_names, *source_name);
      push_front(group.modulations, modulations_of(*param));
      std::fputs("liens_vco_vco.fils_out.insert()\n", patch_.console);
      std::fprintf(patch_.console, "paramLNK : [%s][%s]\n", source_name->c_str(), param->c_str());
    }
    if (group.target) push_front(patch_.vco_links, group);
  }

  void envelope(const char* text, const std::string& name) {
    if (name.size() >= Vca::kNameSize) {
      warn(text, "envelope name of 80 characters or more; entry skipped");
      return;
    }
    Vca* vca = new Vca;
    std::strcpy(vca->name, name.c_str());
    std::fputs("VCA\n", patch_.console);
    push_front(patch_.vcas, vca);
  }

  void mixer(const char* text, const FieldSplitter& fields, int32_t n, const std::string& name) {
    if (name.size() >= Mixer::kNameSize) {
      warn(text, "mixer name of 800 characters or more; entry skipped");
      return;
    }
    MixerLinkGroup group;
    Mixer* mixer = new Mixer;
    std::strcpy(mixer->name, name.c_str());
    std::fputs("MIXER\n", patch_.console);
    push_front(patch_.mixers, mixer);

    for (int32_t i = 1; i < n; ++i) {
      const std::optional<std::string> field = fields.field(i);
      std::optional<std::string> source_name, input_name;
      if (field) {
        FieldSplitter link(field->c_str(), ':');
        source_name = link.field(0);
        input_name = link.field(1);
      }
      if (!source_name || !input_name) {
        warn(text, field ? "mixer field is not SOURCE:INPUT; skipped" : "empty field; skipped", i);
        continue;
      }
      group.target = mixer;
      ++mixer->input_count;
      Vco* source = find_source(text, i, *source_name);
      const int slot = input_slot_of(*input_name);
      if (slot < 0)
        warn(text, "input must be named like IN1 to IN24 (number from the third character); "
                   "this link feeds nothing", i);
      push_front(group.sources, source);
      push_front(group.input_names, *input_name);
      push_front(group.source_names, *source_name);
      push_front(group.input_slots, slot);
      std::fprintf(patch_.console, "paramLNK : [%s][%s]\n", source_name->c_str(), input_name->c_str());
    }
    if (mixer->input_count > Mixer::kInputs)
      warn(text, "a mixer has 24 inputs; the links beyond are counted in its gain but not heard");
    if (group.target) push_front(patch_.mixer_links, group);
  }

  Vco* find_source(const char* text, int field, const std::string& source_name) {
    Vco* source = patch_.find_vco(source_name.c_str());
    if (!source) {
      const std::string what = "no oscillator named \"" + source_name +
                               "\" so far; an oscillator must be defined earlier in the file "
                               "than the links that use it. This link stays silent";
      warn(text, what.c_str(), field);
    }
    return source;
  }

  Patch& patch_;
  const char* path_;
  FILE* file_;
  int word_number_ = 0;
};

}  // namespace

bool Patch::load(const char* path, std::string& error) {
  FILE* file = std::fopen(path, "r");
  if (!file) {
    error = std::strerror(errno);
    return false;
  }
  struct stat info;
  if (fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
    std::fclose(file);
    error = "it is a directory, not a patch file";
    return false;
  }
  errno = 0;
  const bool ok = Loader(*this, path, file).run(error);
  std::fclose(file);
  return ok;
}

bool Patch::load_text(const std::string& text, const char* name, std::string& error) {
  // fmemopen takes a size of 0; the buffer is only read.
  FILE* file = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  if (!file) {
    error = std::strerror(errno);
    return false;
  }
  errno = 0;
  const bool ok = Loader(*this, name, file).run(error);
  std::fclose(file);
  return ok;
}

bool read_patch_text(const char* path, std::string& text, std::string& error) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  struct stat info;
  if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    close(fd);
    error = "it is a directory, not a patch file";
    return false;
  }
  text.clear();
  char chunk[8192];
  for (;;) {
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      error = std::strerror(errno);
      close(fd);
      return false;
    }
    text.append(chunk, static_cast<size_t>(got));
  }
  close(fd);
  return true;
}
