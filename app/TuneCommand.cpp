#include "app/TuneCommand.h"

#include "engine/Settings.h"
#include "engine/SoundFileInput.h"
#include "tools/Tuner.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace stravik::app {
namespace {

using tools::PitchAnalyzer;

enum : int { kExitOk = 0, kExitFailed = 1, kExitUsage = 2 };

const char kUsage[] =
    "usage: korvex tune FILE [--setup standard|bass|custom] [--notes N1,N2,N3,N4,N5,N6]\n"
    "                        [--string 1-6] [--root HZ] [--channel N]\n"
    "       korvex tune --help\n"
    "\n"
    "Runs the tuner's pitch analysis on a recording: FILE (WAV of any common encoding,\n"
    "FLAC, AIFF and the other kinds libsndfile reads, at any rate) is converted to the\n"
    "tuner's 44100 Hz and 16 bits (libsamplerate, best quality) and cut into buffers of\n"
    "32768 samples (0.74 s), as the tuner captures them; a last, shorter piece is not\n"
    "analysed.\n"
    "For each buffer one line tells the recorded frequency, the frequency corrected to\n"
    "the string's fundamental, the string, and how far off it is.\n"
    "\n"
    "  --setup KIND     the string setup: standard (E4 B4 G3 D3 A3 E2 in the tuner's\n"
    "                   names, 329.63 .. 82.41 Hz; the default), bass (G2 D2 A2 E1)\n"
    "                   or custom (with --notes)\n"
    "  --notes LIST     six notes from the 1st (highest) string to the 6th, separated by\n"
    "                   commas: names as the tuner lists them (A1 .. E6; the octave\n"
    "                   number changes at A, so 440 Hz is A5), numbers 0..67, or N/A for\n"
    "                   an unused string. Implies --setup custom.\n"
    "  --string N       compare every buffer with string N (1..6), as the Tuner page does\n"
    "                   with the string selected; without it each buffer is compared\n"
    "                   with the string it lies closest to after the correction\n"
    "  --root HZ        the frequency of A5 (default 440); below 50 Hz it is taken as 440,\n"
    "                   as the Tuner page does\n"
    "  --channel N      the channel to analyse (1 = the first); by default the average of\n"
    "                   the first two (of a mono file, its one channel)\n"
    "  --help           this text\n"
    "\n"
    "Output: two lines starting with '#' (the file and the setup, and the file's rate\n"
    "when it was converted; then the column names), then one line per buffer, fields separated by spaces:\n"
    "  buffer       1, 2, ...\n"
    "  start_s      where the buffer starts in the file, in seconds (2 decimals)\n"
    "  recorded_Hz  the analysis' frequency (2 decimals; 0.00 when no clear pitch)\n"
    "  corrected_Hz brought down to the string's fundamental (2 decimals; 0.00 when\n"
    "               the reading fits no string)\n"
    "  string       1st .. 6th, or - when no string fits\n"
    "  note         the string's note, or -\n"
    "  correct_Hz   the string's frequency (2 decimals), or -\n"
    "  cents        the deviation from the string, signed, 1 decimal, or -\n"
    "  in_tune      yes when within 5 cents (the tuner's lamp), else no\n"
    "\n"
    "Exit status: 0 done, 1 failed (the file cannot be read, is truncated, or is shorter\n"
    "than one buffer; the reason is printed), 2 usage error.\n";

int usage(const std::string& problem)
{
    if (!problem.empty()) std::fprintf(stderr, "korvex tune: %s\n\n", problem.c_str());
    std::fputs(kUsage, stderr);
    return kExitUsage;
}

int failure(const std::string& problem)
{
    std::fprintf(stderr, "korvex tune: %s\n", problem.c_str());
    return kExitFailed;
}

bool parseNotes(const std::string& list, tools::StringNotes& notes, std::string& error)
{
    size_t start = 0;
    for (int i = 0; i < tools::kTunerStrings; ++i) {
        const size_t comma = list.find(',', start);
        const bool last = i == tools::kTunerStrings - 1;
        if (!last && comma == std::string::npos) {
            error = "--notes needs six notes separated by commas";
            return false;
        }
        const std::string item = list.substr(start, last ? std::string::npos : comma - start);
        if (last && item.find(',') != std::string::npos) {
            error = "--notes needs exactly six notes";
            return false;
        }
        const std::optional<int> note = tools::noteFromText(item);
        if (!note) {
            error = "'" + item + "' is no note (A1 .. E6, 0..67 or N/A)";
            return false;
        }
        notes[i] = *note;
        start = comma + 1;
    }
    return true;
}

// Collects what the setup check would show, to report it as a usage error.
class CollectedMessages final : public UserMessages {
public:
    std::string text;
    void show(const std::string& t, const std::string&, MessageIcon) override { text = t; }
    MessageAnswer ask(const std::string& t, const std::string&, MessageButtons, MessageIcon) override
    {
        text = t;
        return MessageAnswer::Cancel;
    }
};

struct Match {
    int string = -1;
    double corrected = 0.0;
    double correct = 0.0;
};

// The string whose corrected reading lies the fewest cents away.
Match nearestString(const tools::Tuner& tuner, double recorded)
{
    Match best;
    double bestCents = 0.0;
    for (int s = 0; s < tools::kTunerStrings; ++s) {
        if (!tuner.stringUsed(s)) continue;
        const double t = tools::noteFrequency(tuner.stringNote(s), tuner.root());
        const double c = tools::correctOctave(recorded, t);
        if (!(c > 0.0) || !(t > 0.0)) continue;
        const double cents = std::fabs(1200.0 * std::log2(c / t));
        if (best.string < 0 || cents < bestCents) {
            best = {s, c, t};
            bestCents = cents;
        }
    }
    return best;
}

} // namespace

int tuneCommand(int argc, char** argv)
{
    std::string file, setupText, notesText, stringText, rootText, channelText;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return kExitOk;
        }
        if (arg.size() > 1 && arg[0] == '-') {
            std::string* target = arg == "--setup"    ? &setupText
                                  : arg == "--notes"  ? &notesText
                                  : arg == "--string" ? &stringText
                                  : arg == "--root"   ? &rootText
                                  : arg == "--channel" ? &channelText
                                                      : nullptr;
            if (!target) return usage("unknown option '" + arg + "'");
            if (i + 1 >= argc) return usage(arg + " needs a value");
            if (!target->empty()) return usage(arg + " given twice");
            *target = argv[++i];
            if (target->empty()) return usage(arg + " needs a value");
            continue;
        }
        if (!file.empty()) return usage("one file at a time ('" + arg + "' is a second one)");
        file = arg;
    }
    if (file.empty()) return usage("no file given");

    // The setup, as the setup dialog would make it.
    int setup = tools::kStandardSetup;
    if (setupText.empty())
        setup = notesText.empty() ? tools::kStandardSetup : tools::kCustomSetup;
    else if (setupText == "standard")
        setup = tools::kStandardSetup;
    else if (setupText == "bass")
        setup = tools::kBassSetup;
    else if (setupText == "custom")
        setup = tools::kCustomSetup;
    else
        return usage("--setup takes standard, bass or custom, not '" + setupText + "'");
    if (setup == tools::kCustomSetup && notesText.empty()) return usage("--setup custom needs --notes");
    if (setup != tools::kCustomSetup && !notesText.empty()) return usage("--notes goes with --setup custom");
    tools::StringNotes listNotes = tools::builtInNotes(tools::kStandardSetup);
    if (!notesText.empty()) {
        std::string error;
        if (!parseNotes(notesText, listNotes, error)) return usage(error);
    }
    Settings settings;
    tools::Tuner tuner(settings);
    CollectedMessages setupMessages;
    if (!tuner.applySetup(setup, listNotes, 0, setupMessages)) return usage(setupMessages.text);

    if (!rootText.empty()) {
        char* end = nullptr;
        const double v = std::strtod(rootText.c_str(), &end);
        if (end == rootText.c_str() || *end != '\0' || !std::isfinite(v))
            return usage("--root takes a frequency in Hz, not '" + rootText + "'");
        tuner.typeRoot(rootText);
        tuner.leaveRootField();
        if (tuner.root() != v)
            std::fprintf(stderr, "korvex tune: a root below %g Hz is taken as %g Hz\n", tools::kLowestRoot,
                         tuner.root());
    }

    int channel = SoundFileInput::kAverageOfFirstTwo;
    if (!channelText.empty()) {
        char* end = nullptr;
        const long c = std::strtol(channelText.c_str(), &end, 10);
        if (*end != '\0' || c < 1 || c > 1024) return usage("--channel takes a channel number from 1, not '" + channelText + "'");
        channel = static_cast<int>(c);
    }

    int fixedString = -1;
    if (!stringText.empty()) {
        if (stringText.size() != 1 || stringText[0] < '1' || stringText[0] > '6')
            return usage("--string takes a string number 1..6, not '" + stringText + "'");
        fixedString = stringText[0] - '1';
        if (!tuner.selectString(fixedString))
            return usage("the " + std::string(tools::stringOrdinal(fixedString)) + " string is not used in this setup");
    }

    // The recording, at the analysis rate and in the capture's 16 bits.
    SoundFileInput input;
    std::string error;
    if (!input.open(file, channel, error)) return failure("cannot open " + error);
    if (!input.convertTo(PitchAnalyzer::kSampleRate, error)) return failure(error);
    std::vector<int16_t> samples;
    samples.reserve(static_cast<size_t>(std::max<int64_t>(input.frames(), 0)));
    std::vector<double> piece(65536);
    for (size_t got; (got = input.read(piece.data(), piece.size())) > 0;) {
        for (size_t i = 0; i < got; ++i) {
            // Rounded down: the average of a 16-bit stereo file is then
            // exactly the halved integer sum the capture path makes.
            const double v = std::floor(piece[i] * 32768.0);
            samples.push_back(static_cast<int16_t>(std::clamp(v, -32768.0, 32767.0)));
        }
    }
    if (input.failed()) return failure(input.error());
    const int64_t buffers = static_cast<int64_t>(samples.size()) / PitchAnalyzer::kBufferSamples;
    if (buffers < 1)
        return failure(file + " is shorter than one buffer of " + std::to_string(PitchAnalyzer::kBufferSamples)
                       + " samples at " + std::to_string(PitchAnalyzer::kSampleRate) + " Hz");

    CollectedMessages analysisMessages;
    if (!tuner.openAnalysis(analysisMessages)) return failure(analysisMessages.text);

    std::string source;
    if (input.fileRate() != PitchAnalyzer::kSampleRate) source = "; converted from " + std::to_string(input.fileRate()) + " Hz";
    std::printf("# %s: %lld buffers of %d samples at %d Hz; setup \"%s\", root %g Hz%s\n", file.c_str(),
                static_cast<long long>(buffers), PitchAnalyzer::kBufferSamples, PitchAnalyzer::kSampleRate,
                tools::setupName(setup), tuner.root(), source.c_str());
    std::printf("# buffer start_s recorded_Hz corrected_Hz string note correct_Hz cents in_tune\n");

    for (int64_t b = 0; b < buffers; ++b) {
        const int16_t* buffer = samples.data() + b * PitchAnalyzer::kBufferSamples;
        tuner.analyseBuffer(buffer, PitchAnalyzer::kBufferSamples);

        Match m;
        double recorded = tuner.recordedFrequency();
        bool lamp = false;
        if (fixedString >= 0) {
            const tools::TunerReading r = tuner.takeReading();
            recorded = r.recorded;
            m = {fixedString, r.corrected, tuner.correctFrequency()};
            lamp = r.inTune;
        } else {
            m = nearestString(tuner, recorded);
            lamp = m.string >= 0 && tools::inTune(m.corrected, m.correct);
        }
        const double start = static_cast<double>(b) * PitchAnalyzer::kBufferSamples / PitchAnalyzer::kSampleRate;
        std::printf("%lld %.2f %.2f %.2f ", static_cast<long long>(b + 1), start, recorded, m.corrected);
        if (m.string >= 0) {
            std::printf("%s %s %.2f ", tools::stringOrdinal(m.string),
                        tools::noteName(tuner.stringNote(m.string)).c_str(), m.correct);
            if (m.corrected > 0.0)
                std::printf("%+.1f ", 1200.0 * std::log2(m.corrected / m.correct));
            else
                std::printf("- ");
        } else {
            std::printf("- - - - ");
        }
        std::printf("%s\n", lamp ? "yes" : "no");
    }
    tuner.closeAnalysis();
    return std::fflush(stdout) == 0 ? kExitOk : kExitFailed;
}

} // namespace stravik::app
