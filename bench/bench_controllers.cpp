// The run's controllers.
//
// MidiToAudibleChange: a run of the whole chain on a recording, paced like a
// 48 kHz sound card in 128-frame blocks, with its MIDI input on a dummy JACK
// server of its own (jackd must be installed) and a second JACK client
// sending. Each iteration sends controller 120 (output volume), alternately
// all but silent and back, and counts the blocks played from the sending to
// the first block at the new level: blocks_mean and blocks_max (a block is
// 2.67 ms). The count takes in the JACK period the event waits for, the
// MIDI input's worker and the block being processed meanwhile.
//
// PedalPoll: the chain's pedal poll with a pedal open (an SDL virtual
// joystick), per poll; every fifth hands the reading to the wah and every
// fifth asks the reader thread for a fresh one.
#include "control/PedalInput.h"
#include "control/RunControllers.h"
#include "engine/Engine.h"

#include "tests/ControlRunRig.h"
#include "tests/JackMidiSender.h"
#include "tests/JackTest.h"

#include <SDL.h>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

using namespace stravik;

namespace {

void MidiToAudibleChange(benchmark::State& state)
{
    jacktest::PrivateServer server(48000, 128);
    if (!server.ready()) {
        state.SkipWithError(("no JACK server: " + server.log()).c_str());
        return;
    }
    jacktest::useServer(server.name());
    jackmidi::MidiSender sender;
    const auto list = control::midiInputDevices();
    const auto it = std::find(list.begin(), list.end(), sender.portName());
    if (!sender.ok() || it == list.end()) {
        state.SkipWithError("the MIDI sender is not listed");
        return;
    }
    controlrig::Rig rig;
    auto& s = rig.engine->settings;
    s.ProgMidiInEnable = 1;
    s.ProgMidiInDevice = static_cast<int>(it - list.begin());
    s.MIDIShortcutsON = 1;
    s.CtrlMidiEnable = 1;
    if (!rig.start()) {
        state.SkipWithError("the run did not start");
        return;
    }
    const auto quiet = [](int peak) { return peak < 100; };
    double total = 0, worst = 0;
    bool silent = false;
    for (auto _ : state) {
        silent = !silent;
        const long sentAt = rig.blocks();
        sender.send({0xB0, 120, static_cast<uint8_t>(silent ? 0 : 70)});
        long changedAt = -1;
        const bool seen = controlrig::waitFor([&] {
            const auto peaks = rig.audio.played.peaks(sentAt, rig.blocks());
            for (size_t i = 0; i < peaks.size(); ++i) {
                if (quiet(peaks[i]) == silent) {
                    changedAt = sentAt + static_cast<long>(i);
                    return true;
                }
            }
            return false;
        });
        if (!seen) {
            state.SkipWithError("the change was never heard");
            break;
        }
        const double blocks = static_cast<double>(changedAt - sentAt);
        total += blocks;
        worst = std::max(worst, blocks);
    }
    state.counters["blocks_mean"] = benchmark::Counter(total, benchmark::Counter::kAvgIterations);
    state.counters["blocks_max"] = worst;
}
BENCHMARK(MidiToAudibleChange)->Iterations(60)->UseRealTime()->Unit(benchmark::kMillisecond);

void PedalPoll(benchmark::State& state)
{
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    if (SDL_InitSubSystem(SDL_INIT_JOYSTICK) != 0) {
        state.SkipWithError(SDL_GetError());
        return;
    }
    SDL_VirtualJoystickDesc d;
    SDL_zero(d);
    d.version = SDL_VIRTUAL_JOYSTICK_DESC_VERSION;
    d.type = SDL_JOYSTICK_TYPE_UNKNOWN;
    d.naxes = 3;
    d.name = "bench pedal";
    const int index = SDL_JoystickAttachVirtualEx(&d);
    SilentMessages messages;
    auto engine = std::make_unique<Engine>(messages);
    {
        control::PedalInput pedal(engine->effects().wahUnit, engine->settings);
        if (!pedal.open(index, 0)) {
            state.SkipWithError("the virtual pedal did not open");
        } else {
            for (auto _ : state) pedal.poll();
        }
    }
    SDL_JoystickDetachVirtual(index);
    SDL_QuitSubSystem(SDL_INIT_JOYSTICK);
}
BENCHMARK(PedalPoll);

} // namespace
