#include "control/RunControllers.h"

#include "dsp/UserMessages.h"
#include "engine/Engine.h"
#include "presets/Shortcuts.h"

namespace stravik::control {
namespace {

constexpr int kControlChange = 11;
constexpr int kProgramChange = 12;
constexpr int kPitchWheel = 14;

// 0: any channel; 1..16: that channel only.
bool channelWanted(int setting, int channel) { return setting == 0 || setting == channel; }

} // namespace

RunControllers::RunControllers(Engine& engine, Shortcuts* shortcuts)
    : engine_(engine), shortcuts_(shortcuts), pedal_(engine.effects().wahUnit, engine.settings)
{
}

RunControllers::~RunControllers() { closeAfterRun(); }

void RunControllers::openForRun(UserMessages& messages)
{
    closeAfterRun();
    const Settings& s = engine_.settings;
    const bool wahMidi = s.MidiInEnable != 0;
    const bool programMidi = s.ProgMidiInEnable != 0;
    // One device, one input: the wah's passes the program changes on.
    programThroughWahInput_ = wahMidi && programMidi && s.ProgMidiInDevice == s.MidiInDevice;
    if (wahMidi || programMidi) startWorker();

    if (wahMidi && !wahInput_.open(s.MidiInDevice, "midi_in"))
        messages.show(kWahMidiWarning, {}, MessageIcon::Warning);
    if (programMidi && !programThroughWahInput_ && !programInput_.open(s.ProgMidiInDevice, "program_in"))
        messages.show(kProgramMidiWarning, {}, MessageIcon::Warning);

    if (s.JoyEnable) {
        if (pedal_.open(s.JoyInDevice, s.JoyAxis)) {
            engine_.effects().setPedalSource(&pedal_);
            pedalWired_ = true;
        } else {
            messages.show(kPedalWarning, {}, MessageIcon::Warning);
        }
    }
}

void RunControllers::closeAfterRun()
{
    wahInput_.close();
    programInput_.close();
    stopWorker();
    if (pedalWired_) {
        engine_.effects().setPedalSource(nullptr);
        pedalWired_ = false;
    }
    pedal_.close();
}

void RunControllers::startWorker()
{
    stopping_ = false;
    worker_ = std::thread([this] { workerMain(); });
}

void RunControllers::stopWorker()
{
    if (!worker_.joinable()) return;
    stopping_ = true;
    midiWake_.post();
    worker_.join();
}

void RunControllers::workerMain()
{
    for (;;) {
        for (int n = takeBatch(); n > 0; n = takeBatch()) route(n);
        if (stopping_) return;
        // A delivery after the drain above has posted: the wait returns at
        // once. The posts of deliveries already drained are taken with it.
        midiWake_.wait();
        midiWake_.takeAll();
    }
}

int RunControllers::takeBatch()
{
    int n = 0;
    MidiMessage m;
    while (n < kBatch && wahInput_.pop(m)) batch_[static_cast<size_t>(n++)] = Pending{m, Source::WahInput};
    while (n < kBatch && programInput_.pop(m)) batch_[static_cast<size_t>(n++)] = Pending{m, Source::ProgramInput};
    return n;
}

void RunControllers::classify(Pending& p) const
{
    const Settings& s = engine_.settings;
    const MidiMessage& m = p.message;
    // A message stamped 0 arrived in the input's first millisecond, before
    // the program-change handling takes part.
    if (p.source == Source::WahInput) {
        const auto& wah = engine_.params.wah;
        if (wah.wah_auto == effects::kWahMidi && channelWanted(s.MidiChan, m.channel())) {
            if (s.MidiEvent == 1 && m.type() == kControlChange && m.data1 == s.MidiControl)
                p.wahPosition = m.data2 / 127.0;
            else if (s.MidiEvent == 0 && m.type() == kPitchWheel)
                p.wahPosition = (m.data2 * 128 + m.data1) / 16384.0;
        }
        p.toShortcuts = programThroughWahInput_ && s.ProgMidiInEnable && m.stampMs != 0;
    } else {
        p.toShortcuts = m.stampMs != 0;
    }
    p.toShortcuts = p.toShortcuts && shortcuts_ != nullptr;
    p.loadsPreset = p.toShortcuts && m.type() == kProgramChange && s.MIDIShortcutsON
                    && channelWanted(s.ProgMidiChan, m.channel()) && m.data1 < Settings::kMidiPrograms
                    && !s.MIDIShortcuts[m.data1].get().empty();
}

void RunControllers::route(int count)
{
    int lastWah = -1, lastLoad = -1;
    for (int i = 0; i < count; ++i) {
        Pending& p = batch_[static_cast<size_t>(i)];
        classify(p);
        if (p.wahPosition >= 0.0) lastWah = i;
        if (p.loadsPreset) lastLoad = i;
    }
    for (int i = 0; i < count; ++i) {
        const Pending& p = batch_[static_cast<size_t>(i)];
        // Only the newest wah position of the batch counts, and only the
        // newest preset: the ones before would be replaced at once.
        if (i == lastWah) engine_.effects().wahUnit.setControllerPosition(p.wahPosition);
        if (p.toShortcuts && (!p.loadsPreset || i == lastLoad)) {
            const MidiMessage& m = p.message;
            shortcuts_->midiMessage(m.channel(), m.type(), m.data1, m.data2);
        }
    }
    routed_.fetch_add(count, std::memory_order_release);
}

} // namespace stravik::control
