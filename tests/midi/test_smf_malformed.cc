// The catalogue of malformed MIDI files in malformed/: each NAME.mid read,
// and what the reader reports compared with NAME.expected, line for line.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "midi/smf_reader.h"

namespace {

const std::string kFolder = std::string(WSY_SOURCE_DIR) + "/tests/midi/malformed/";

std::string contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << path;
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<std::string> case_names() {
  std::vector<std::string> names;
  DIR* dir = opendir(kFolder.c_str());
  if (!dir) return names;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".mid") == 0) names.push_back(name.substr(0, name.size() - 4));
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

TEST(SmfMalformedCatalogue, EachFileReportsWhatItsExpectedFileSays) {
  const std::vector<std::string> names = case_names();
  int refused = 0;
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const std::string bytes = contents(kFolder + name + ".mid");
    MidiFile file;
    SmfError error;
    const bool read = read_smf(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), 44100, file, error);
    std::string report;
    for (const std::string& warning : file.warnings) report += "warning: " + warning + "\n";
    if (!read) {
      report += "error: " + error.message + "\n";
      ++refused;
      // The message names the offset it reports.
      EXPECT_EQ(error.message.rfind("at byte " + std::to_string(error.offset) + ": ", 0), 0u);
    }
    EXPECT_EQ(report, contents(kFolder + name + ".expected"));
  }
  EXPECT_GE(refused, 20);
  EXPECT_GE(names.size(), 30u);
}

}  // namespace
