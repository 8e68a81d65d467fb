#include "patch/patch_location.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <vector>

#include "patch/patch.h"

namespace fs = std::filesystem;

namespace {

constexpr const char kExampleSuffix[] = ".wsy";

// True when `path` names anything at all (a file, a folder, a dangling link):
// then it is that thing the user meant, and the loader says what is wrong with it.
bool names_something(const fs::path& path) {
  std::error_code error;
  return fs::symlink_status(path, error).type() != fs::file_type::not_found && !error;
}

bool is_file(const fs::path& path) {
  std::error_code error;
  return fs::is_regular_file(path, error);
}

bool is_folder(const fs::path& path) {
  std::error_code error;
  return fs::is_directory(path, error);
}

fs::path executable_folder() {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  return error ? fs::path() : self.parent_path();
}

// The example names (file names without .wsy), sorted.
std::vector<std::string> example_names(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
    if (it->path().extension() == kExampleSuffix && is_file(it->path())) names.push_back(it->path().stem());
  std::sort(names.begin(), names.end());
  return names;
}

std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

// A path as the shell reads it back, for a command line the user may paste.
std::string shell_word(const std::string& path) {
  const bool plain = std::all_of(path.begin(), path.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || std::string_view("/._-+,:@%").find(c) != std::string_view::npos;
  });
  if (plain && !path.empty()) return path;
  std::string quoted = "'";
  for (char c : path) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// What the user can do when there is no patch to play: every way that works
// on this installation, each as a command to type.
std::string ways_on(const std::string& program, const DataFolders& data) {
  std::string text = "To go on:\n";
  text += "  play a patch file:            " + program + " --patch FILE\n";
  if (!data.examples.empty()) {
    const std::vector<std::string> names = example_names(data.examples);
    text += "  play an example:              " + program + " --patch NAME\n";
    if (!names.empty()) text += "      NAME: " + joined(names) + " (in " + data.examples + ")\n";
  }
  if (!data.bundled_patch.empty())
    text += "  copy the bundled patch here:  cp " + shell_word(data.bundled_patch) + " .\n";
  return text;
}

}  // namespace

DataFolders data_folders() {
  DataFolders data;
  const fs::path bin = executable_folder();
  if (bin.empty()) return data;
  fs::path bundled_patch, examples;
  std::error_code error;
  if (fs::equivalent(bin, WSY_BUILD_DIR, error)) {
    // Run from the build folder: the files are still where the sources are.
    bundled_patch = fs::path(WSY_SOURCE_DIR) / Patch::kDefaultFile;
    examples = fs::path(WSY_SOURCE_DIR) / "patches";
  } else {
    // Installed: <prefix>/bin/wsy reads <prefix>/share/wsy, found relative to
    // where the program is, so a tree moved elsewhere still finds its files.
    const fs::path share = (bin / WSY_BINDIR_TO_DATADIR / "wsy").lexically_normal();
    bundled_patch = share / Patch::kDefaultFile;
    examples = share / "patches";
  }
  if (is_file(bundled_patch)) data.bundled_patch = bundled_patch;
  if (is_folder(examples)) data.examples = examples;
  return data;
}

std::optional<std::string> locate_patch(const char* program, const char* given, std::string& message) {
  message.clear();
  const std::string prefix = std::string(program) + ": ";
  if (!given) {
    if (names_something(Patch::kDefaultFile)) return Patch::kDefaultFile;
    message = prefix + "cannot read the patch file \"" + Patch::kDefaultFile +
              "\": there is none in this folder.\nWithout --patch, " + program + " plays " + Patch::kDefaultFile +
              " from the folder it is started in. " + ways_on(program, data_folders());
    return std::nullopt;
  }
  const std::string name = given;
  if (name.empty() || name.find('/') != std::string::npos || names_something(name)) return name;

  // A bare name that is no file here: an installed example, "chord" or
  // "chord.wsy", or the bundled patch by its own name.
  const DataFolders data = data_folders();
  const bool has_suffix = fs::path(name).extension() == kExampleSuffix;
  fs::path installed;
  if (!data.examples.empty()) installed = fs::path(data.examples) / (has_suffix ? name : name + kExampleSuffix);
  if (!is_file(installed) && name == Patch::kDefaultFile) installed = data.bundled_patch;
  if (!installed.empty() && is_file(installed)) {
    message = prefix + "no file \"" + name + "\" in this folder: playing the " +
              (name == Patch::kDefaultFile ? "bundled patch " : "example ") + installed.string() + "\n";
    return installed.string();
  }
  message = prefix + "cannot read the patch file \"" + name + "\": there is no such file in this folder";
  if (!data.examples.empty()) {
    message += ", nor an example of that name in " + data.examples;
    const std::vector<std::string> names = example_names(data.examples);
    if (!names.empty()) message += " (" + joined(names) + ")";
  }
  message += ".\n";
  return std::nullopt;
}
