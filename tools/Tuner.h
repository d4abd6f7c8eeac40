#pragma once
// The guitar tuner: notes and their names, the string setups, the root
// frequency, and the path from a captured buffer to what the Tuner page
// shows (recorded and corrected frequency, the meter, the in-tune lamp).
//
// The capture feeds buffers with analyseBuffer() on its own thread and is
// told through the notifier when a result is ready; the page, on its thread,
// then calls takeReading() and only displays what it gets.
#include "dsp/UserMessages.h"
#include "engine/Settings.h"
#include "tools/PitchAnalyzer.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace stravik::tools {

inline constexpr int kTunerStrings = 6;
inline constexpr int kNoteCount = 68;       // notes 0..67
inline constexpr int kUnusedString = -1;    // shown as "N/A"
inline constexpr int kRootNote = 48;        // the note at the root frequency
inline constexpr double kDefaultRoot = 440.0;
inline constexpr double kLowestRoot = 50.0;

// String setups, as stored in TunerMode.
enum TunerSetup : int { kStandardSetup = 0, kBassSetup = 1, kCustomSetup = 2 };

// Notes of the six strings, the first (highest) first; kUnusedString for a
// string that is not used.
using StringNotes = std::array<int, kTunerStrings>;

bool validNote(int note);
// "A1" .. "E6"; "N/A" for an unused string (or anything that is no note).
std::string noteName(int note);
// A note by name ("E4", "a#2", case-insensitive), by number ("43") or "N/A"
// (kUnusedString). Nothing when the text names no note.
std::optional<int> noteFromText(std::string_view text);
// root x 2^((note - 48) / 12); 0 for an unused string.
double noteFrequency(int note, double root);

const char* setupName(int setup);        // "Default (standard guitar)", ...
StringNotes builtInNotes(int setup);     // standard, or bass for kBassSetup
const char* stringOrdinal(int index);    // "1st" .. "6th"
std::string stringLabel(int index, int note); // "1st - E4", "5th - N/A"
std::string frequencyText(double hz);    // "%5.2f Hz"

// The reading taken for the selected string: a recorded frequency that is a
// harmonic of the string (f/2, f/3, f/4 lie closer to the correct frequency)
// is brought down to the fundamental. 0 when it is 0 or too far off.
double correctOctave(double recorded, double correct);
// Semitones between the corrected and the correct frequency.
double semitonesOff(double corrected, double correct);
// The meter's needle: semitones limited to -1..+1; 0 (centred) for a reading
// of 50 Hz or less.
double meterDeviation(double corrected, double correct);
// Within five cents.
bool inTune(double corrected, double correct);

// What the page shows after one analysis.
struct TunerReading {
    double recorded = 0.0;   // Hz
    double corrected = 0.0;  // Hz
    double deviation = 0.0;  // the meter, -1..+1
    bool inTune = false;
    bool lampChanged = false; // the lamp's picture changes only then
};

class Tuner {
public:
    // The string notes, the setup and the custom notes live in the settings
    // (tuner_s, TunerMode, tuner_us); the root is not stored.
    explicit Tuner(Settings& settings);
    ~Tuner();

    // ---- strings (page thread)
    int stringNote(int index) const; // kUnusedString for an unused string
    bool stringUsed(int index) const { return stringNote(index) != kUnusedString; }
    std::string stringButtonLabel(int index) const { return stringLabel(index, stringNote(index)); }
    // False (and nothing changes) for an unused string or a bad index.
    bool selectString(int index);
    int selectedString() const { return selected_; }
    double correctFrequency() const { return correct_; }

    // ---- root frequency (page thread)
    double root() const { return root_; }
    std::string rootText() const; // "%g"
    // Typing in the field: the text as a decimal number (0 when it is none).
    void typeRoot(std::string_view text);
    // Leaving the field: a root below 50 Hz goes back to 440.
    void leaveRootField();
    void setDefaultRoot();

    // ---- the setup dialog's OK (page thread)
    // listNotes are the six note lists (kUnusedString for "N/A"). With the
    // custom setup and every list on "N/A" shows "Please enable at least one
    // string." and returns false (the dialog stays open). Otherwise stores
    // the device, the setup and the custom notes, makes the setup's notes
    // current and moves the selection to the first used string when the
    // selected one is no longer used.
    bool applySetup(int setup, const StringNotes& listNotes, int device, UserMessages& messages);

    // ---- analysis
    // When the capture opens: makes the analysis buffers and the transform.
    // Shows "Error allocating memory!" and returns false when that fails.
    bool openAnalysis(UserMessages& messages);
    // When it closes: waits for an analysis in progress, then frees them.
    void closeAnalysis();
    bool analysisOpen() const { return analyzer_ != nullptr; }
    // Called (on the capture thread) after each buffer.
    void setNotifier(std::function<void()> notify) { notify_ = std::move(notify); }
    // The capture thread: analyses a buffer (only a full one of 32768
    // samples; a shorter one keeps the last result) and notifies.
    void analyseBuffer(const int16_t* samples, size_t count);
    bool analysisFinished() const { return finished_.load(std::memory_order_acquire); }
    // Polls every millisecond until no analysis runs.
    void waitForAnalysis() const;
    double recordedFrequency() const { return recorded_.load(std::memory_order_acquire); }

    // ---- on the notification (page thread)
    TunerReading takeReading();
    // When the tuner starts: the lamp starts dark.
    void clearInTune() { inTune_ = false; }
    bool lampInTune() const { return inTune_; }

private:
    void recomputeCorrect();

    Settings& settings_;
    double root_ = kDefaultRoot;
    int selected_ = 0;
    double correct_ = 0.0;
    bool inTune_ = false;

    std::unique_ptr<PitchAnalyzer> analyzer_;
    std::function<void()> notify_;
    std::atomic<double> recorded_{0.0};
    std::atomic<bool> finished_{true};
};

} // namespace stravik::tools
