#pragma once
// Where a patch is read from: the working directory first, then the example
// patches installed with the programs. Shared by wsy and wsy-render so both
// find the same file and give the same advice.
#include <optional>
#include <string>

// The folders the programs' data lives in, found from the running executable:
// `<prefix>/share/wsy` next to `<prefix>/bin`, whatever the prefix (/usr,
// /usr/local, a tree unpacked anywhere). Run from the build folder, the
// source tree stands in for it. A member is empty when that folder is absent.
struct DataFolders {
  std::string bundled_patch;  // the bundled RODUV_2.WSY
  std::string examples;       // the folder of example patches, NAME.wsy each
};
DataFolders data_folders();

// Finds the patch to play. `given` is the value of --patch, or null when there
// was none: then RODUV_2.WSY in the working directory is played, as always.
// A name without a slash that names nothing in the working directory is looked
// up among the installed examples (`chord` or `chord.wsy` finds chord.wsy).
// Returns the path to load, `message` then holding a note for standard error
// (empty when there is nothing to say). Returns nothing when there is no patch
// to play; `message` then says why and how to go on, and the program ends with
// status 1. `program` names the program in the message ("wsy", "wsy-render").
// Every line of `message` ends with a line break.
std::optional<std::string> locate_patch(const char* program, const char* given, std::string& message);
