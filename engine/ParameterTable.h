#pragma once
// Every preset key and every settings key, once: its section, how it is
// stored, its start value (before anything is loaded), the value used when a
// stored preset or the settings lack it, and how to reach the live value.
// The preset store, the settings, `render --set` and the window all work
// from this table; nothing else lists keys by hand.
#include <span>
#include <string>
#include <string_view>

namespace stravik {

class Engine;

enum class Section : int {
    // Preset sections, in the order they are written.
    distortion, echo, ioctrl, pitch, reverb, wah, chorus, tremolo, IO_Volumes, ewah, compress,
    phaser, spkcab, swell,
    // Settings: the "cfg" key and its two subkeys.
    cfg, Shortcuts, MIDIShortcuts,
};
inline constexpr int kPresetSectionCount = 14;

// The section's key name ("distortion", "cfg", "Shortcuts", ...).
const char* sectionName(Section s);
// The label of a preset section in the Save and Load dialogs ("Distortion",
// "IO Control", "Pitch scale", ...); empty for the settings sections.
const char* sectionLabel(Section s);
inline bool isPresetSection(Section s) { return static_cast<int>(s) < kPresetSectionCount; }

enum class StoredType { Int, Float, String };
// The live value's type. It may differ from the stored type (wah_sel is a
// float stored truncated as an int; rev_lfabs an int stored as a float).
enum class LiveType { None, Int, Float, Double, String };

// When a key belongs in a write, beyond its section being selected.
enum class KeyRole {
    Always,
    Legacy,           // read only, as the fallback of a newer key that is missing
    EqTone,           // equaliser types 0..2: bass, mid, treble
    EqBands,          // type 3: the five band values
    EqGraphicCount,   // type 4 and above: the point count
    EqGraphicPoint,   // type 4 and above: x or y of each point ("%s%d")
    IrFile,           // the impulse response comes from a file
    IrLibrary,        // the impulse response comes from the built-in library
};

// Whose equaliser type decides an Eq* key.
enum class EqOwner { None, Input, Output, Amp };

struct KeyInfo {
    const char* name;     // the key, or the prefix of an indexed family
    Section section;
    StoredType stored;
    LiveType live;
    double start;         // numbers; strings use startText
    double missing;
    const double* starts; // per-member start values of a family, or null
    const char* startText;
    const char* missingText;
    int indexCount;       // 0: a plain key; n: keys name0 .. name(n-1) ("%s%d")
    int readLimit;        // bytes read at most, the terminator included
    KeyRole role;
    EqOwner eq;
    // Live value (index used by indexed families). Numbers: get returns the
    // live value widened to double; set converts (truncating toward zero
    // for integer values). Null for keys without a live value of their own.
    double (*get)(const Engine&, int index);
    void (*set)(Engine&, int index, double value);
    std::string (*getText)(const Engine&, int index);
    void (*setText)(Engine&, int index, const std::string& value);

    bool indexed() const { return indexCount > 0; }
    double startAt(int index) const { return starts ? starts[index] : start; }
    bool hasLiveValue() const { return get != nullptr || getText != nullptr; }
};

// The whole table, preset sections first (each in its write order), then the
// settings in theirs.
std::span<const KeyInfo> parameterTable();

// A key by its full name, e.g. "echo_delay", "ictrl_equ3", "i_gequ_x12",
// "tuner_s2", or "Shortcuts/5" for a subkey value. Sets index for indexed
// families. Returns null for unknown names or indices out of range.
const KeyInfo* findKey(std::string_view fullName, int* index = nullptr);

// The full name of member index of a key ("%s%d" for indexed families).
std::string keyName(const KeyInfo& key, int index = 0);

// Parses text as the key's stored type and writes the live value.
// Returns false (and changes nothing) when the text does not parse.
bool setFromText(Engine& engine, const KeyInfo& key, int index, std::string_view text);

// Keeps the values that are not stored but follow a stored one: the echo's
// and the pitch shifter's wet levels are 1 - their dry levels. Call after
// setting key (setFromText does).
void applyDerivedValues(Engine& engine, const KeyInfo& key);

// The live value as its stored text ("%d", "%g" of the single-precision
// value, or the string itself).
std::string storedText(const Engine& engine, const KeyInfo& key, int index);

} // namespace stravik
