#include "tools/Tuner.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <thread>

namespace stravik::tools {
namespace {

const char* const kNoteNames[12] = {"A", "A#", "B", "C", "C#", "D", "D#", "E", "F", "F#", "G", "G#"};
const char* const kOrdinals[kTunerStrings] = {"1st", "2nd", "3rd", "4th", "5th", "6th"};
constexpr StringNotes kStandardNotes = {43, 38, 34, 29, 24, 19};
constexpr StringNotes kBassNotes = {22, 17, 12, 7, kUnusedString, kUnusedString};

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool sameText(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

std::optional<int> parseCount(std::string_view digits)
{
    if (digits.empty() || digits.size() > 3) return std::nullopt;
    int v = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + (c - '0');
    }
    return v;
}

} // namespace

bool validNote(int note) { return note >= 0 && note < kNoteCount; }

std::string noteName(int note)
{
    if (!validNote(note)) return "N/A";
    char text[16];
    std::snprintf(text, sizeof(text), "%s%d", kNoteNames[note % 12], note / 12 + 1);
    return text;
}

std::optional<int> noteFromText(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    if (sameText(text, "N/A") || text == "-") return kUnusedString;
    if (!text.empty() && text.front() >= '0' && text.front() <= '9') {
        const std::optional<int> n = parseCount(text);
        if (n && validNote(*n)) return n;
        return std::nullopt;
    }
    // A letter, an optional sharp, the octave number as the note lists show it.
    for (int i = 11; i >= 0; --i) { // sharps first: "A#" before "A"
        const std::string_view name = kNoteNames[i];
        if (text.size() <= name.size() || !sameText(text.substr(0, name.size()), name)) continue;
        const std::optional<int> octave = parseCount(text.substr(name.size()));
        if (!octave || *octave < 1) return std::nullopt;
        const int note = i + (*octave - 1) * 12;
        if (validNote(note)) return note;
        return std::nullopt;
    }
    return std::nullopt;
}

double noteFrequency(int note, double root)
{
    if (!validNote(note)) return 0.0;
    return root * std::pow(2.0, (note - kRootNote) / 12.0);
}

const char* setupName(int setup)
{
    switch (setup) {
    case kStandardSetup: return "Default (standard guitar)";
    case kBassSetup: return "Bass guitar";
    default: return "Custom setting";
    }
}

StringNotes builtInNotes(int setup) { return setup == kBassSetup ? kBassNotes : kStandardNotes; }

const char* stringOrdinal(int index) { return index >= 0 && index < kTunerStrings ? kOrdinals[index] : "?"; }

std::string stringLabel(int index, int note)
{
    char text[32];
    if (validNote(note))
        std::snprintf(text, sizeof(text), "%s - %s", stringOrdinal(index), noteName(note).c_str());
    else
        std::snprintf(text, sizeof(text), "%s - N/A", stringOrdinal(index));
    return text;
}

std::string frequencyText(double hz)
{
    char text[64];
    std::snprintf(text, sizeof(text), "%5.2f Hz", hz);
    return text;
}

double correctOctave(double recorded, double correct)
{
    const double f = recorded;
    if (f == 0.0) return 0.0;
    const auto distance = [&](double d) { return std::fabs(f / d - correct); };
    if (!(distance(2) < distance(1))) return f;
    // A harmonic of the string: the lowest divisor whose next one is no
    // nearer the string's frequency.
    for (int d = 2; d <= 4; ++d)
        if (!(distance(d + 1) < distance(d))) return f / d;
    return 0.0; // even f/5 is nearer: no sensible reading
}

double semitonesOff(double corrected, double correct) { return 12.0 * std::log2(corrected / correct); }

double meterDeviation(double corrected, double correct)
{
    if (corrected <= 50.0 || !(correct > 0.0)) return 0.0;
    return std::clamp(semitonesOff(corrected, correct), -1.0, 1.0);
}

bool inTune(double corrected, double correct)
{
    if (!(corrected > 0.0) || !(correct > 0.0)) return false;
    return std::fabs(semitonesOff(corrected, correct)) < 0.05;
}

Tuner::Tuner(Settings& settings) : settings_(settings)
{
    if (!stringUsed(selected_)) {
        for (int i = 0; i < kTunerStrings; ++i)
            if (stringUsed(i)) {
                selected_ = i;
                break;
            }
    }
    recomputeCorrect();
}

Tuner::~Tuner() { closeAnalysis(); }

int Tuner::stringNote(int index) const
{
    if (index < 0 || index >= kTunerStrings) return kUnusedString;
    const int note = settings_.tuner_s[index].get();
    // A stored value that is no note counts as an unused string.
    return validNote(note) ? note : kUnusedString;
}

bool Tuner::selectString(int index)
{
    if (!stringUsed(index)) return false;
    selected_ = index;
    recomputeCorrect();
    return true;
}

void Tuner::recomputeCorrect() { correct_ = noteFrequency(stringNote(selected_), root_); }

std::string Tuner::rootText() const
{
    char text[64];
    std::snprintf(text, sizeof(text), "%g", root_);
    return text;
}

void Tuner::typeRoot(std::string_view text)
{
    const std::string s(text);
    char* end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (end == s.c_str() || !std::isfinite(v)) v = 0.0; // no number (yet)
    root_ = v;
    recomputeCorrect();
}

void Tuner::leaveRootField()
{
    if (!(root_ >= kLowestRoot) || !std::isfinite(root_)) root_ = kDefaultRoot;
    recomputeCorrect();
}

void Tuner::setDefaultRoot()
{
    root_ = kDefaultRoot;
    recomputeCorrect();
}

bool Tuner::applySetup(int setup, const StringNotes& listNotes, int device, UserMessages& messages)
{
    StringNotes custom;
    bool anyUsed = false;
    for (int i = 0; i < kTunerStrings; ++i) {
        custom[i] = validNote(listNotes[i]) ? listNotes[i] : kUnusedString;
        anyUsed = anyUsed || custom[i] != kUnusedString;
    }
    if (setup == kCustomSetup && !anyUsed) {
        messages.show("Please enable at least one string.", {}, MessageIcon::Warning);
        return false;
    }
    settings_.TunerWavein = device;
    settings_.TunerMode = setup;
    const StringNotes current = setup == kCustomSetup ? custom : builtInNotes(setup);
    for (int i = 0; i < kTunerStrings; ++i) {
        settings_.tuner_us[i] = custom[i];
        settings_.tuner_s[i] = current[i];
    }
    if (!stringUsed(selected_)) {
        for (int i = 0; i < kTunerStrings; ++i)
            if (stringUsed(i)) {
                selected_ = i;
                break;
            }
    }
    recomputeCorrect();
    return true;
}

bool Tuner::openAnalysis(UserMessages& messages)
{
    if (analyzer_) return true;
    try {
        analyzer_ = std::make_unique<PitchAnalyzer>();
    } catch (const std::bad_alloc&) {
        messages.show("Error allocating memory!", {}, MessageIcon::Error);
        return false;
    }
    recorded_.store(0.0, std::memory_order_release);
    return true;
}

void Tuner::closeAnalysis()
{
    // The capture has stopped delivering; let a buffer in progress finish.
    waitForAnalysis();
    analyzer_.reset();
}

void Tuner::analyseBuffer(const int16_t* samples, size_t count)
{
    finished_.store(false, std::memory_order_release);
    if (analyzer_ && samples && count >= static_cast<size_t>(PitchAnalyzer::kBufferSamples))
        recorded_.store(analyzer_->analyse(samples, count), std::memory_order_release);
    // The capture hands out its next buffer when the page hears of this one,
    // so a short buffer is announced as well.
    if (notify_) notify_();
    finished_.store(true, std::memory_order_release);
}

void Tuner::waitForAnalysis() const
{
    while (!finished_.load(std::memory_order_acquire)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TunerReading Tuner::takeReading()
{
    TunerReading r;
    r.recorded = recordedFrequency();
    r.corrected = correctOctave(r.recorded, correct_);
    r.deviation = meterDeviation(r.corrected, correct_);
    r.inTune = inTune(r.corrected, correct_);
    r.lampChanged = r.inTune != inTune_;
    inTune_ = r.inTune;
    return r;
}

} // namespace stravik::tools
