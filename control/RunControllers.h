#pragma once
// The controllers that live as long as a processing run: the wah's MIDI
// controller, the program-change MIDI input and the expression pedal.
//
// At the start of a run it opens what the settings enable, in this order:
// the wah's MIDI input (MidiInEnable), the program-change input
// (ProgMidiInEnable; when it names the wah's device the one input serves
// both), the pedal (JoyEnable). A device that cannot be opened only warns;
// the run goes on without it. At the end of the run everything is closed.
//
// MIDI reaches the engine through a worker thread of the run: the inputs'
// callbacks only queue the messages (they may run on JACK's real-time
// thread). The worker moves the wah (pitch wheel or a controller, on the
// wah's channel) and hands program changes and controllers to the preset
// shortcuts. A preset load waits on the preset store and holds the chain
// silent while it applies (the engine's preset-load guard); on the worker it
// holds up neither the MIDI system nor the audio. A program change that a
// later one waiting in the queue would replace at once is skipped, so a burst
// of them costs one load, not one per message.
//
// Threads: openForRun() and closeAfterRun() are called by the processing run
// on its thread, before and after its loop (so the pedal is wired into the
// chain while no block runs).
#include "control/MidiInput.h"
#include "control/PedalInput.h"
#include "engine/ProcessingRun.h"

#include <array>
#include <atomic>
#include <thread>

namespace stravik {
class Engine;
class Shortcuts;
struct Settings;
} // namespace stravik

namespace stravik::control {

class RunControllers final : public RunInputs {
public:
    static constexpr const char* kWahMidiWarning =
        "Warning! Wah MIDI input device could not be opened.\nIf you are not using Wah MIDI control you should "
        "disable\nit using AutoWah 'MIDI controler' setup.";
    static constexpr const char* kProgramMidiWarning = "Warning! MIDI input device could not be opened.";
    static constexpr const char* kPedalWarning =
        "Warning! Wah pedal device could not be detected.\nIf you are not using this device you should "
        "disable\nit using AutoWah 'external pedal' setup.";

    // shortcuts may be null: program changes and effect controllers are
    // then ignored.
    RunControllers(Engine& engine, Shortcuts* shortcuts);
    ~RunControllers() override;
    RunControllers(const RunControllers&) = delete;
    RunControllers& operator=(const RunControllers&) = delete;

    void openForRun(UserMessages& messages) override;
    void closeAfterRun() override;

    bool wahMidiOpen() const { return wahInput_.isOpen(); }
    bool programMidiOpen() const { return programInput_.isOpen(); }
    bool pedalOpen() const { return pedal_.isOpen(); }
    const PedalInput& pedal() const { return pedal_; }
    // MIDI messages the worker has taken from the inputs and dealt with
    // (acted on or ignored) since this object was made.
    long midiMessagesRouted() const { return routed_.load(std::memory_order_acquire); }

private:
    enum class Source : uint8_t { WahInput, ProgramInput };
    struct Pending {
        MidiMessage message;
        Source source = Source::WahInput;
        double wahPosition = -1.0; // 0..1 when it moves the wah
        bool toShortcuts = false;
        bool loadsPreset = false;
    };
    static constexpr int kBatch = 512;

    void startWorker();
    void stopWorker();
    void workerMain();
    int takeBatch();
    void classify(Pending& p) const;
    void route(int count);

    Engine& engine_;
    Shortcuts* shortcuts_;
    WakeSignal midiWake_; // posted by the inputs after each delivery, and to stop
    MidiInputPort wahInput_{midiWake_};
    MidiInputPort programInput_{midiWake_};
    bool programThroughWahInput_ = false;
    PedalInput pedal_;
    bool pedalWired_ = false;

    std::thread worker_;
    std::atomic<bool> stopping_{false};
    std::atomic<long> routed_{0};
    std::array<Pending, kBatch> batch_{}; // worker only
};

} // namespace stravik::control
