#include "app/RenderCommand.h"

#include "app/CommandSupport.h"

#include "engine/ConsoleMessages.h"
#include "engine/Render.h"
#include "tools/Metronome.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace stravik::app {
namespace {

const char kUsage[] =
    "usage: korvex render --in IN.wav --out OUT.wav [--background BG.wav] [--metronome]\n"
    "                     [--force] [--fxp FILE.fxp] [--preset NAME] [--set KEY=VALUE]...\n"
    "\n"
    "Runs the effect chain on a 16-bit WAV file instead of the live input, as fast as the\n"
    "machine allows, and writes what the chain produces to OUT.wav (16-bit; two channels\n"
    "unless stereo=0; at the processing rate). Processing stops at the end of IN.wav; the\n"
    "last block is padded with silence.\n"
    "\n"
    "  --in IN.wav          the input file (mono, or stereo taken as the average of its\n"
    "                       two channels)\n"
    "  --out OUT.wav        the output file; an existing file is replaced only after you\n"
    "                       confirm it on the terminal (through a symbolic link, the file\n"
    "                       it names; a FIFO or /dev/null gets the WAV stream as it is\n"
    "                       made, with its sizes left unknown in the header)\n"
    "  --force              replace an existing OUT.wav without asking\n"
    "  --background BG.wav  a background track mixed into the output (MixAmp, MixLoop,\n"
    "                       Mix2Out apply)\n"
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
    "The sample rate follows IN.wav unless --set SampleRate=... is given (22050, 44100\n"
    "or 48000).\n"
    "An impulse response that cannot be loaded (spk_ir_fname with spkcab_file=1, or a\n"
    "library entry) fails the render before anything is written. A WAV file holds at\n"
    "most 4 GB: a longer render stops there and fails, its output complete up to that\n"
    "point. Ctrl-C (or SIGTERM) stops the render and leaves no output file behind.\n"
    "Exit status: 0 done, 1 failed (the reason is printed), 2 usage error.\n";

int usage(const std::string& problem)
{
    if (!problem.empty()) std::fprintf(stderr, "korvex render: %s\n\n", problem.c_str());
    std::fputs(kUsage, stderr);
    return RenderJob::kUsage;
}

void drawProgress(int percent)
{
    constexpr int kWidth = 40;
    const int filled = percent * kWidth / 100;
    char bar[kWidth + 1];
    for (int i = 0; i < kWidth; ++i) bar[i] = i < filled ? '#' : '-';
    bar[kWidth] = '\0';
    std::fprintf(stderr, "\rrendering [%s] %3d%%", bar, percent);
    std::fflush(stderr);
}

} // namespace

int renderCommand(int argc, char** argv)
{
    std::string in, out, background, preset, fxp;
    std::vector<std::string> sets;
    bool metronomeOn = false, force = false;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return RenderJob::kOk;
        }
        if (arg == "--metronome") {
            metronomeOn = true;
            continue;
        }
        if (arg == "--force") {
            force = true;
            continue;
        }
        const bool takesValue = arg == "--in" || arg == "--out" || arg == "--background" || arg == "--set" ||
                                arg == "--preset" || arg == "--fxp";
        if (!takesValue) return usage("unknown argument '" + arg + "'");
        if (i + 1 >= argc) return usage(arg + " needs a value");
        const std::string value = argv[++i];
        if (arg == "--set") {
            sets.push_back(value);
            continue;
        }
        std::string& target = arg == "--in"           ? in
                              : arg == "--out"        ? out
                              : arg == "--background" ? background
                              : arg == "--preset"     ? preset
                                                      : fxp;
        if (!target.empty()) return usage(arg + " given twice");
        if (value.empty()) return usage(arg + " needs a file name");
        target = value;
    }
    if (in.empty()) return usage("--in is missing");
    if (out.empty()) return usage("--out is missing");
    if (!fxp.empty() && preset.empty()) return usage("--fxp needs --preset NAME");

    installStopSignals();
    ConsoleMessages messages;
    messages.setAssumeYes(force);
    RenderJob job(messages);
    job.setInterruptFlag(&stopSignal());
    // Defaults of a machine that never stored settings, then the preset, then
    // the command line's values.
    if (!preset.empty() && !loadPresetForRun(job.engine(), preset, fxp, messages)) return RenderJob::kFailed;
    for (const std::string& s : sets) {
        std::string error;
        if (!job.applySetting(s, error)) return usage(error);
    }
    // The click reads its settings when the run starts, after the --set values.
    tools::Metronome metronome(job.engine().settings, messages);
    if (metronomeOn) {
        job.engine().effects().setClickSource(&metronome);
        job.engine().metronomeOn = 1;
    }

    const bool bar = isatty(STDERR_FILENO) != 0;
    const int result = job.run(in, out, background, bar ? std::function<void(int)>(drawProgress) : nullptr);
    if (bar && job.blocks() > 0) std::fputc('\n', stderr);
    job.engine().effects().setClickSource(nullptr);
    return result;
}

} // namespace stravik::app
