#pragma once
// Preset files (".fxp"): presets as text, one section per preset, the
// store's own value names and texts as key=value lines.
//
//   ;**** Stravik presets file ****;
//   [Clean]
//   echo=1
//   echo_enabled=1
//   ...
//   (an empty line after each preset; lines end with CR LF)
#include <string>
#include <utility>
#include <vector>

namespace stravik {

class RegistryStore;
class UserMessages;

struct PresetFileSection {
    std::string name;
    std::vector<std::pair<std::string, std::string>> entries;
};

// The sections of a preset file's text, read as the import reads them:
// ";" lines are comments, "[name]" opens a section, an entry is split at its
// first "=" and its value ends at the first blank. Keys and values are cut
// to 1023 characters. A section that appears twice keeps its first entries.
// There is no limit on the number of sections or entries.
std::vector<PresetFileSection> parsePresetFile(const std::string& text);

// True when the first line (its first 255 characters) says it is a preset file.
bool hasPresetFileHeader(const std::string& text);

// Imports every preset of the file into the store (each replacing a preset of
// its name), as one transaction. Returns 0 when the file was read, 1 when it
// could not be opened, is not a preset file (only its first line is read then)
// or could not be stored (nothing of it is then). count receives the number
// of presets stored. Sections whose names a preset cannot have are skipped,
// and with showMessages a message names each with the reason.
int importPresetFile(RegistryStore& store, const std::string& path, bool showMessages, bool checkHeader,
                     UserMessages& messages, int* count = nullptr);

// Writes the named presets (in the given order) into path. False, after
// "Error opening file!", when the file cannot be created; "No preset
// selected!" for an empty list.
bool exportPresetFile(const RegistryStore& store, const std::string& path, const std::vector<std::string>& names,
                      UserMessages& messages);

// At the first start (the setting FirstStart still 1): imports the
// demonstration presets quietly, with the header check, from "demo.fxp"
// beside the program (programDir) or else in the current directory. True
// when a file was imported.
bool importDemoPresetsOnFirstStart(int firstStart, RegistryStore& store, const std::string& programDir,
                                   UserMessages& messages);

} // namespace stravik
