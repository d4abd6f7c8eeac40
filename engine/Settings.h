#pragma once
// The application's options, remembered between runs. Start values are the
// defaults of a machine that has never stored them.
#include "dsp/Param.h"

namespace stravik {

struct Settings {
    static constexpr int kShortcutKeys = 24;   // F1..F12, Ctrl+F1..Ctrl+F12
    static constexpr int kMidiPrograms = 64;
    static constexpr int kTunerStrings = 6;

    Param<int> stereo{1};
    Param<float> MaxDelay{20.0f}; // ms
    Param<int> Priority{0};
    TextParam FileOut{"output.wav"};
    Param<int> DSDevice{0};
    Param<int> WaveInDevice{0};
    // InputVolume and OutputVolume are shared with the presets: see Volumes.
    TextParam FileIn{"input.wav"};
    Param<int> AltDuplex{0};
    Param<int> ShortcutsON{1};
    Param<int> ShortcutDial{0};
    Param<int> MIDIShortcutsON{0};
    TextParam FileMix{"mix.wav"};
    Param<int> LMeterON{1};
    TextParam Shortcuts[kShortcutKeys];
    TextParam MIDIShortcuts[kMidiPrograms];
    Param<int> FirstStart{1};
    Param<int> MidiInDevice{0};
    Param<int> MidiEvent{1};
    Param<int> MidiControl{1};
    Param<int> MidiInEnable{0};
    Param<int> MidiChan{0};
    Param<int> ProgMidiInDevice{0};
    Param<int> ProgMidiChan{0};
    Param<int> ProgMidiInEnable{0};
    Param<int> CtrlMidiEnable{0};
    Param<int> JoyInDevice{0};
    Param<int> JoyAxis{0};
    Param<int> JoyReverse{0};
    Param<int> JoyEnable{0};
    Param<int> SampleRate{48000};
    Param<int> MixLoop{0};
    Param<int> Mix2Out{1};
    Param<float> MixAmp{1.0f};
    Param<int> TunerMode{0};
    Param<int> TunerWavein{0};
    // Current and custom string notes; both start as the standard guitar.
    Param<int> tuner_s[kTunerStrings] = {43, 38, 34, 29, 24, 19};
    Param<int> tuner_us[kTunerStrings] = {43, 38, 34, 29, 24, 19};
    Param<int> InputFast{1};
    Param<int> OutFast{1};
    Param<int> SRateAdapt{1};
    Param<int> DisableSSaver{1};
    Param<int> ASIO_dev{0};
    Param<int> UseASIO{0};
    Param<int> BeepOnStart{1};
    Param<float> MetroVolume{0.5f};
    Param<float> MetroTempo{150.0f};
    Param<int> MetroSound{1};
    TextParam MetroWave;
    Param<int> ZoomWindows{0};
    Param<int> EnableLimiter{0};
    Param<int> MaxPulseCnt{4000};
    TextParam LastIRPath;
    // A JACK run connects its ports to the system's capture and playback
    // ports (0: they are left for the user's patchbay).
    Param<int> JackConnect{1};
    // EnableSSE is process-wide (it gates the vector code of every convolver):
    // see dsp::cpu::simdEnabled().
};

// The two volumes are both settings and a preset section.
struct Volumes {
    Param<float> InputVolume{1.0f};
    Param<float> OutputVolume{1.0f};
};

} // namespace stravik
