#include "app/RunCommand.h"

#include "app/CommandSupport.h"
#include "control/RunControllers.h"
#include "engine/ConsoleMessages.h"
#include "engine/Engine.h"
#include "engine/FileRoles.h"
#include "engine/ProcessingRun.h"
#include "engine/devices/AlsaBackend.h"
#include "engine/devices/JackDriver.h"
#include "presets/EngineEffects.h"
#include "presets/PresetStore.h"
#include "presets/RegistryStore.h"
#include "presets/SettingsStore.h"
#include "presets/Shortcuts.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace stravik::app {
namespace {

const char kUsage[] =
    "usage: korvex run [--seconds S] [--input NAME] [--output NAME] [--in-file IN.wav]\n"
    "                  [--out-file OUT.wav] [--background BG.wav] [--force]\n"
    "                  [--preset NAME [--fxp FILE]] [--set KEY=VALUE]... [--stats]\n"
    "                  [--jack [SERVER]]\n"
    "\n"
    "Plays live through the effect chain without the window: from the capture device\n"
    "to the playback device, with your stored settings. Once a second it prints\n"
    "'T s  in L dB  out L dB  xruns N' (the loudest block of that second; breaks in the\n"
    "audio streams so far). It runs until S seconds have passed, Ctrl-C or SIGTERM,\n"
    "the end of the input file, or a device failure; files are always left complete.\n"
    "\n"
    "  --seconds S          stop after S seconds (default: run until stopped)\n"
    "  --input NAME         the capture device, by the name or index `korvex devices`\n"
    "                       prints (default: the stored WaveInDevice)\n"
    "  --output NAME        the playback device, likewise (default: the stored DSDevice)\n"
    "  --jack [SERVER]      play through a JACK server instead (jackd, or PipeWire under\n"
    "                       pw-jack): korvex's ports in_1, in_2, out_1, out_2, joined to\n"
    "                       the system's ports unless JackConnect=0. SERVER by the name\n"
    "                       or index `korvex devices` prints (default: the stored\n"
    "                       ASIO_dev). The run takes the server's rate and period\n"
    "  --in-file IN.wav     play a WAV file (16-bit, at the run's rate) instead of the\n"
    "                       live input; the playback device sets the pace\n"
    "  --out-file OUT.wav   record what the chain plays\n"
    "  --background BG.wav  mix a backing track into the output (MixAmp, MixLoop,\n"
    "                       Mix2Out apply)\n"
    "  --force              replace an existing OUT.wav without asking\n"
    "  --preset NAME        load a preset first (from your presets, or from FILE.fxp\n"
    "                       with --fxp)\n"
    "  --set KEY=VALUE      any preset or settings key, after the preset (e.g.\n"
    "                       MaxDelay=10, SampleRate=44100, stereo=0, echo_enabled=1)\n"
    "  --stats              at the end, print how long the chain took per live block:\n"
    "                       'blocks N  worst W us  99% P us' (with JACK: per cycle,\n"
    "                       then 'late cycles L of C  server xruns X')\n"
    "\n"
    "--set and --preset act for this run only; nothing is stored.\n"
    "The expression pedal and MIDI inputs play their part when the settings enable\n"
    "them (JoyEnable, MidiInEnable, ProgMidiInEnable; `korvex devices` lists them).\n"
    "Exit status: 0 after a clean stop, 1 when the run could not start or a device\n"
    "failed (the reason is printed), 2 usage error.\n";

int usage(const std::string& problem)
{
    if (!problem.empty()) std::fprintf(stderr, "korvex run: %s\n\n", problem.c_str());
    std::fputs(kUsage, stderr);
    return 2;
}

// A device by the name `korvex devices` prints, or by its index there.
int deviceIndex(const std::vector<std::string>& list, const std::string& wanted)
{
    for (size_t i = 0; i < list.size(); ++i)
        if (list[i] == wanted) return static_cast<int>(i);
    char* end = nullptr;
    const long n = std::strtol(wanted.c_str(), &end, 10);
    if (!wanted.empty() && *end == '\0' && n >= 0 && n < static_cast<long>(list.size())) return static_cast<int>(n);
    return -1;
}

struct Options {
    double seconds = 0; // 0: until stopped
    std::string input, output, inFile, outFile, background, preset, fxp;
    bool force = false;
    bool stats = false;
    bool jack = false;
    std::string jackServer; // "" : the stored ASIO_dev
    std::vector<std::string> sets;
};

// Parses the command line; "" when it is fine, else the problem.
std::string parse(int argc, char** argv, Options& o, bool& help)
{
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            help = true;
            return {};
        }
        if (arg == "--force") {
            o.force = true;
            continue;
        }
        if (arg == "--stats") {
            o.stats = true;
            continue;
        }
        if (arg == "--jack") {
            if (o.jack) return "--jack given twice";
            o.jack = true;
            if (i + 1 < argc && argv[i + 1][0] != '-') o.jackServer = argv[++i];
            continue;
        }
        const bool takesValue = arg == "--seconds" || arg == "--input" || arg == "--output" || arg == "--in-file" ||
                                arg == "--out-file" || arg == "--background" || arg == "--preset" ||
                                arg == "--fxp" || arg == "--set";
        if (!takesValue) return "unknown argument '" + arg + "'";
        if (i + 1 >= argc) return arg + " needs a value";
        const std::string value = argv[++i];
        if (arg == "--set") {
            o.sets.push_back(value);
            continue;
        }
        if (arg == "--seconds") {
            char* end = nullptr;
            o.seconds = std::strtod(value.c_str(), &end);
            if (value.empty() || *end != '\0' || !std::isfinite(o.seconds) || o.seconds <= 0)
                return "--seconds needs a number of seconds above 0, not '" + value + "'";
            continue;
        }
        std::string& target = arg == "--input"      ? o.input
                              : arg == "--output"   ? o.output
                              : arg == "--in-file"  ? o.inFile
                              : arg == "--out-file" ? o.outFile
                              : arg == "--background" ? o.background
                              : arg == "--preset"   ? o.preset
                                                    : o.fxp;
        if (!target.empty()) return arg + " given twice";
        if (value.empty()) return arg + " needs a value";
        target = value;
    }
    if (!o.fxp.empty() && o.preset.empty()) return "--fxp needs --preset NAME";
    if (o.jack && (!o.input.empty() || !o.output.empty())) return "--jack replaces --input and --output";
    return {};
}

} // namespace

int runCommand(int argc, char** argv)
{
    Options o;
    bool help = false;
    if (const std::string problem = parse(argc, argv, o, help); !problem.empty()) return usage(problem);
    if (help) {
        std::fputs(kUsage, stdout);
        return 0;
    }

    ConsoleMessages messages;
    messages.setAssumeYes(o.force);
    auto engine = std::make_unique<Engine>(messages);
    FileRoles files(*engine);
    engine->setFiles(&files);
    AlsaBackend alsa;
    const auto captures = alsa.captureDevices();
    const auto playbacks = alsa.playbackDevices();

    // The stored settings (read only: nothing of this run is stored).
    {
        RegistryStore store(RegistryStore::defaultPath(), &messages, RegistryStore::Access::ReadOnly);
        DeviceCounts counts;
        counts.inputs = static_cast<int>(captures.size());
        counts.outputs = static_cast<int>(playbacks.size());
        counts.tunerInputs = counts.inputs;
        if (store.ok()) readSettings(*engine, store, counts);
    }
    if (!o.preset.empty() && !loadPresetForRun(*engine, o.preset, o.fxp, messages)) {
        engine->setFiles(nullptr);
        return 1;
    }
    for (const std::string& s : o.sets) {
        const size_t eq = s.find('=');
        std::string error;
        if (eq == std::string::npos || eq == 0) error = "expected KEY=VALUE, got '" + s + "'";
        else engine->setParameter(s.substr(0, eq), s.substr(eq + 1), &error);
        if (!error.empty()) {
            engine->setFiles(nullptr);
            return usage(error);
        }
    }
    if (!o.input.empty()) {
        const int i = deviceIndex(captures, o.input);
        if (i < 0) {
            std::fprintf(stderr, "korvex run: there is no input device '%s' (korvex devices lists them)\n",
                         o.input.c_str());
            engine->setFiles(nullptr);
            return 1;
        }
        engine->settings.WaveInDevice = i;
    }
    if (!o.output.empty()) {
        const int i = deviceIndex(playbacks, o.output);
        if (i < 0) {
            std::fprintf(stderr, "korvex run: there is no output device '%s' (korvex devices lists them)\n",
                         o.output.c_str());
            engine->setFiles(nullptr);
            return 1;
        }
        engine->settings.DSDevice = i;
    }
    if (o.jack) {
        const auto servers = JackDriver::servers();
        if (!o.jackServer.empty()) {
            const int i = deviceIndex(servers, o.jackServer);
            if (i < 0) {
                std::fprintf(stderr, "korvex run: there is no JACK server '%s' (korvex devices lists them)\n",
                             o.jackServer.c_str());
                engine->setFiles(nullptr);
                return 1;
            }
            engine->settings.ASIO_dev = i;
        }
        engine->settings.UseASIO = 1;
    }
    engine->fileInput = !o.inFile.empty();
    engine->fileOutput = !o.outFile.empty();
    engine->backgroundTrack = !o.background.empty();
    if (!o.inFile.empty()) engine->settings.FileIn = o.inFile;
    if (!o.outFile.empty()) engine->settings.FileOut = o.outFile;
    if (!o.background.empty()) engine->settings.FileMix = o.background;

    // The pedal and the MIDI inputs; program changes load from the stored
    // presets, which the run only reads.
    RegistryStore presetStore(RegistryStore::defaultPath(), &messages, RegistryStore::Access::ReadOnly);
    EngineEffects presetEffects(*engine);
    PresetStore presets(*engine, presetStore, messages, presetEffects);
    Shortcuts shortcuts(*engine, presets, presetEffects);
    control::RunControllers controllers(*engine, presetStore.ok() ? &shortcuts : nullptr);

    installStopSignals();
    int exitCode = 1;
    {
        ProcessingRun run(*engine, files, alsa, messages);
        run.setRunInputs(&controllers);
        if (run.start() == ProcessingRun::StartResult::Started) {
            using Clock = std::chrono::steady_clock;
            const Clock::time_point begin = Clock::now();
            Clock::time_point flowing{};
            int printed = 0;
            engine->takeMeterSnapshot();
            while (run.active()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                const Clock::time_point now = Clock::now();
                if (stopSignal()) run.stop();
                if (o.seconds > 0 && now - begin >= std::chrono::duration<double>(o.seconds)) run.stop();
                if (!run.running()) continue;
                if (flowing == Clock::time_point{}) {
                    const ProcessingRun::JackState j = run.jackState();
                    if (j.used)
                        std::fprintf(stderr,
                                     "korvex run: JACK server '%s', %d frames a period at %d Hz (MaxDelay asks "
                                     "for %d)\n",
                                     j.server.c_str(), j.period, j.rate, j.requestedFrames);
                }
                if (flowing == Clock::time_point{}) flowing = now;
                if (now - flowing >= std::chrono::seconds(printed + 1)) {
                    ++printed;
                    const Engine::MeterSnapshot m = engine->takeMeterSnapshot();
                    std::printf("%d s  in %d dB  out %d dB  xruns %ld\n", printed, m.inputDb, m.outputDb,
                                run.xruns());
                    std::fflush(stdout);
                }
            }
            run.wait();
            if (o.stats) {
                const ProcessingRun::BlockTimes t = run.blockTimes();
                std::printf("blocks %ld  worst %.0f us  99%% %.0f us\n", t.blocks, t.worstMicros,
                            t.percentile99Micros);
                const ProcessingRun::JackState j = run.jackState();
                if (j.used)
                    std::printf("late cycles %ld of %ld  server xruns %ld\n", j.lateCallbacks, j.callbacks,
                                j.serverXruns);
            }
            const RunEnd end = run.endReason();
            exitCode = end == RunEnd::Stopped || end == RunEnd::InputEnded ? 0 : 1;
            if (end == RunEnd::Cancelled)
                std::fputs("korvex run: not started (use --force to replace the output file)\n", stderr);
        }
    }
    engine->setFiles(nullptr);
    return exitCode;
}

} // namespace stravik::app
