#include "app/RenderCommand.h"

#include "app/CommandSupport.h"

#include "engine/ConsoleMessages.h"
#include "engine/Render.h"
#include "tools/Metronome.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace stravik::app {
namespace {

const char kUsage[] =
    "usage: korvex render --in IN --out OUT.wav [options]\n"
    "       korvex render --out-dir DIR [-j N] [options] IN...\n"
    "options: [--channel N] [--out-format pcm16|pcm24|float] [--out-rate HZ]\n"
    "         [--background BG.wav] [--metronome] [--force] [--fxp FILE.fxp] [--preset NAME]\n"
    "         [--set KEY=VALUE]...\n"
    "\n"
    "Runs the effect chain on a recording instead of the live input, as fast as the\n"
    "machine allows, and writes what the chain produces to OUT.wav (two channels unless\n"
    "stereo=0). Processing stops at the end of IN; the last block is padded with silence.\n"
    "\n"
    "  --in IN              the recording: WAV (8, 16, 24 or 32-bit integer, 32 or 64-bit\n"
    "                       float), FLAC, AIFF and the other kinds libsndfile reads, at\n"
    "                       any rate and with any number of channels\n"
    "  --channel N          the channel the chain hears (1 = the first); by default the\n"
    "                       average of the first two (of a mono file, its one channel)\n"
    "  --out OUT.wav        the output file; an existing file is replaced only after you\n"
    "                       confirm it on the terminal (through a symbolic link, the file\n"
    "                       it names; a FIFO or /dev/null gets the WAV stream as it is\n"
    "                       made, with its sizes left unknown in the header)\n"
    "  --out-dir DIR        renders each IN... into DIR/NAME.wav (NAME: IN's name without\n"
    "                       its extension), several at once; DIR is made when missing. A\n"
    "                       file that fails is reported and the others go on.\n"
    "  -j N                 renders at most N files at once (default: one per processor)\n"
    "  --out-format F       pcm16 (the default): the chain's own 16-bit output; pcm24 or\n"
    "                       float: the chain's result before its conversion to 16 bits,\n"
    "                       so nothing is lost. The limiter (EnableLimiter) and the soft\n"
    "                       clipper still shape the result in every format.\n"
    "  --out-rate HZ        converts the result to this rate (e.g. 96000 for the project\n"
    "                       the recording came from); by default it stays at the chain's\n"
    "  --force              replace existing output files without asking\n"
    "  --background BG.wav  a background track mixed into the output (MixAmp, MixLoop,\n"
    "                       Mix2Out apply); 16-bit, at the chain's rate\n"
    "  --metronome          switches the metronome's click on for the run (MetroTempo,\n"
    "                       MetroVolume, MetroSound: 0 beep, 1 drum kick, 2 the file\n"
    "                       MetroWave; with BeepOnStart=1, the default, the first beep\n"
    "                       of the beep sound is left out, as after the start tone)\n"
    "  --preset NAME        loads that preset first (all its sections, other effects\n"
    "                       off), from your presets, or from FILE.fxp when --fxp is\n"
    "                       given (your own presets are then not touched)\n"
    "  --fxp FILE.fxp       a preset file to take --preset from\n"
    "  --set KEY=VALUE      applied after the preset: any preset or settings key, e.g. echo_enabled=1,\n"
    "                       echo_delay=0.25, stereo=0, OutputVolume=0.5, EnableLimiter=1;\n"
    "                       indexed keys as ictrl_equ3, i_gequ_x0. May be repeated.\n"
    "  --help               this text\n"
    "\n"
    "The chain runs at IN's rate when that is 22050, 44100 or 48000 Hz; a recording at\n"
    "any other rate is converted on the way in (libsamplerate, best quality) to 48000 Hz,\n"
    "or to the rate of --set SampleRate=... (22050, 44100 or 48000), which also converts\n"
    "a recording at one of the other two.\n"
    "An impulse response that cannot be loaded (spk_ir_fname with spkcab_file=1, or a\n"
    "library entry) fails the render before anything is written. A WAV file holds at\n"
    "most 4 GB: a longer render stops there and fails, its output complete up to that\n"
    "point. A recording that cannot be read, is truncated or of a kind that cannot be\n"
    "read fails with its name; no output is left behind. Ctrl-C (or SIGTERM) stops the\n"
    "render and leaves no output file behind (files of a batch already done stay).\n"
    "Exit status: 0 done, 1 failed (the reason is printed; with --out-dir: any file\n"
    "failed), 2 usage error.\n";

int usage(const std::string& problem)
{
    if (!problem.empty()) std::fprintf(stderr, "korvex render: %s\n\n", problem.c_str());
    std::fputs(kUsage, stderr);
    return RenderJob::kUsage;
}

// A whole number in [low, high] from the full text; false otherwise.
bool parseInt(const std::string& text, long low, long high, int& value)
{
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < low || v > high) return false;
    value = static_cast<int>(v);
    return true;
}

// The progress bar on a terminal, and the messages that cross it: a message
// starts on a line of its own, the bar goes on below it. Renders of a batch
// report from their own threads; one lock keeps bar and messages apart.
class ProgressConsole final : public UserMessages {
public:
    ProgressConsole(UserMessages& to, bool bar) : to_(to), bar_(bar) {}

    void draw(int percent)
    {
        if (!bar_) return;
        std::lock_guard lock(mutex_);
        constexpr int kWidth = 40;
        const int filled = percent * kWidth / 100;
        char line[kWidth + 1];
        for (int i = 0; i < kWidth; ++i) line[i] = i < filled ? '#' : '-';
        line[kWidth] = '\0';
        std::fprintf(stderr, "\rrendering [%s] %3d%%", line, percent);
        std::fflush(stderr);
        onLine_ = true;
    }
    void endLine()
    {
        std::lock_guard lock(mutex_);
        breakLine();
    }
    void show(const std::string& text, const std::string& title, MessageIcon icon) override
    {
        std::lock_guard lock(mutex_);
        breakLine();
        to_.show(text, title, icon);
    }
    MessageAnswer ask(const std::string& text, const std::string& title, MessageButtons buttons,
                      MessageIcon icon) override
    {
        std::lock_guard lock(mutex_);
        breakLine();
        return to_.ask(text, title, buttons, icon);
    }

private:
    void breakLine()
    {
        if (!onLine_) return;
        std::fputc('\n', stderr);
        onLine_ = false;
    }

    UserMessages& to_;
    bool bar_;
    bool onLine_ = false;
    std::mutex mutex_;
};

struct Options {
    std::string in, out, outDir, background, preset, fxp;
    std::vector<std::string> inputs, sets;
    bool metronome = false, force = false;
    int channel = 0;
    int outRate = 0;
    int jobs = 0;
    SampleEncoding encoding = SampleEncoding::Pcm16;
};

// Sets a job up from the options: the defaults of a machine that never
// stored settings, then the preset, then the command line's values. 2 for a
// setting that is wrong (a usage error), 1 when the preset cannot be loaded.
int configure(RenderJob& job, const Options& o, UserMessages& messages)
{
    if (!o.preset.empty() && !loadPresetForRun(job.engine(), o.preset, o.fxp, messages)) return RenderJob::kFailed;
    for (const std::string& s : o.sets) {
        std::string error;
        if (!job.applySetting(s, error)) return usage(error);
    }
    job.setChannel(o.channel);
    job.setOutputEncoding(o.encoding);
    job.setOutputRate(o.outRate);
    if (o.metronome) {
        // The click reads its settings when the run starts, after the --set values.
        auto click = std::make_shared<tools::Metronome>(job.engine().settings, messages);
        job.engine().effects().setClickSource(click.get());
        job.engine().metronomeOn = 1;
        job.keep(click);
    }
    return RenderJob::kOk;
}

// IN's name without folder and extension, as DIR/NAME.wav.
std::string outputFor(const std::string& dir, const std::string& in)
{
    return (std::filesystem::path(dir) / std::filesystem::path(in).stem()).string() + ".wav";
}

} // namespace

int renderCommand(int argc, char** argv)
{
    Options o;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return RenderJob::kOk;
        }
        if (arg == "--metronome") {
            o.metronome = true;
            continue;
        }
        if (arg == "--force") {
            o.force = true;
            continue;
        }
        if (arg.empty() || arg[0] != '-' || arg == "-") {
            o.inputs.push_back(arg);
            continue;
        }
        std::string value;
        std::string name = arg;
        if (arg.size() > 2 && arg.compare(0, 2, "-j") == 0 && arg[2] != '-') {
            name = "-j";
            value = arg.substr(2);
        } else {
            const bool takesValue = arg == "--in" || arg == "--out" || arg == "--background" || arg == "--set" ||
                                    arg == "--preset" || arg == "--fxp" || arg == "--out-dir" || arg == "-j" ||
                                    arg == "--channel" || arg == "--out-format" || arg == "--out-rate";
            if (!takesValue) return usage("unknown argument '" + arg + "'");
            if (i + 1 >= argc) return usage(arg + " needs a value");
            value = argv[++i];
        }
        if (name == "--set") {
            o.sets.push_back(value);
        } else if (name == "-j") {
            if (!parseInt(value, 1, 4096, o.jobs)) return usage("-j takes a number of files at once, not '" + value + "'");
        } else if (name == "--channel") {
            if (!parseInt(value, 1, 1024, o.channel)) return usage("--channel takes a channel number from 1, not '" + value + "'");
        } else if (name == "--out-rate") {
            if (!parseInt(value, 8000, 768000, o.outRate))
                return usage("--out-rate takes a rate from 8000 to 768000 Hz, not '" + value + "'");
        } else if (name == "--out-format") {
            if (value == "pcm16")
                o.encoding = SampleEncoding::Pcm16;
            else if (value == "pcm24")
                o.encoding = SampleEncoding::Pcm24;
            else if (value == "float")
                o.encoding = SampleEncoding::Float32;
            else
                return usage("--out-format takes pcm16, pcm24 or float, not '" + value + "'");
        } else {
            std::string& target = name == "--in"           ? o.in
                                  : name == "--out"        ? o.out
                                  : name == "--out-dir"    ? o.outDir
                                  : name == "--background" ? o.background
                                  : name == "--preset"     ? o.preset
                                                           : o.fxp;
            if (!target.empty()) return usage(name + " given twice");
            if (value.empty()) return usage(name + " needs a file name");
            target = value;
        }
    }
    const bool batch = !o.outDir.empty();
    if (batch) {
        if (!o.in.empty() || !o.out.empty()) return usage("--out-dir takes the inputs as IN..., without --in and --out");
        if (o.inputs.empty()) return usage("--out-dir needs at least one input file");
    } else {
        if (!o.inputs.empty()) return usage("unknown argument '" + o.inputs.front() + "' (several inputs go with --out-dir)");
        if (o.in.empty()) return usage("--in is missing");
        if (o.out.empty()) return usage("--out is missing");
    }
    if (!o.fxp.empty() && o.preset.empty()) return usage("--fxp needs --preset NAME");

    installStopSignals();
    ConsoleMessages console;
    console.setAssumeYes(o.force);
    ProgressConsole messages(console, isatty(STDERR_FILENO) != 0);
    const auto draw = [&messages](int percent) { messages.draw(percent); };

    // One job set up here: the settings are checked before anything renders.
    RenderJob job(messages);
    job.setInterruptFlag(&stopSignal());
    if (const int r = configure(job, o, messages); r != RenderJob::kOk) return r;
    if (!batch) {
        const int result = job.run(o.in, o.out, o.background, draw);
        messages.endLine();
        return result;
    }

    std::error_code ec;
    std::filesystem::create_directories(o.outDir, ec);
    if (ec || !std::filesystem::is_directory(o.outDir)) {
        std::fprintf(stderr, "korvex render: cannot make the folder %s: %s\n", o.outDir.c_str(),
                     ec ? ec.message().c_str() : "a file of that name is in the way");
        return RenderJob::kFailed;
    }
    std::vector<RenderBatch::Task> tasks;
    for (const std::string& in : o.inputs) tasks.push_back({in, outputFor(o.outDir, in)});
    // Each task's job is set up as the first was; one at a time, since a
    // preset comes from the one store.
    std::mutex configureLock;
    RenderBatch renders(messages, [&](RenderJob& j, UserMessages& m) {
        std::lock_guard lock(configureLock);
        return configure(j, o, m) == RenderJob::kOk;
    });
    renders.setWorkers(o.jobs > 0 ? o.jobs : static_cast<int>(std::max(1u, std::thread::hardware_concurrency())));
    renders.setInterruptFlag(&stopSignal());
    const std::vector<int> results = renders.run(tasks, o.background, draw);
    messages.endLine();
    const auto failed = std::count_if(results.begin(), results.end(), [](int r) { return r != RenderJob::kOk; });
    if (failed == 0) return RenderJob::kOk;
    std::fprintf(stderr, "korvex render: %ld of %zu files failed\n", static_cast<long>(failed), results.size());
    return RenderJob::kFailed;
}

} // namespace stravik::app
