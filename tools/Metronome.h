#pragma once
// The metronome: a click mixed into the processed signal at a steady tempo
// while a run goes. The click is a short synthesised beep, the built-in drum
// kick or a WAV file of the user's. The chain mixes it once per block through
// the ClickSource interface; the Metro page sets tempo, volume and sound
// through the operations below, from its own thread.
#include "dsp/UserMessages.h"
#include "engine/EffectStages.h"
#include "engine/Settings.h"
#include "tools/ClickSound.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

namespace stravik::tools {

class Metronome final : public ClickSource {
public:
    // The sounds, as stored in MetroSound.
    enum Sound : int { kBeep = 0, kDrumKick = 1, kWaveFile = 2 };

    // Milliseconds on a steady clock; tap tempo measures between taps with it.
    using Clock = std::function<int64_t()>;
    // Finds a resource compiled into the program by type and number.
    using ResourceLookup = std::function<std::span<const uint8_t>(std::string_view type, int id)>;

    static constexpr double kBeepSeconds = 0.05;
    static constexpr double kMinTempo = 10.0;  // bpm, the slider's range
    static constexpr double kMaxTempo = 300.0;

    // Reads and writes the Metro* settings and BeepOnStart. The clock
    // defaults to the system's steady clock (counting from boot, like the
    // tick count of other systems), the lookup to the program's resources.
    Metronome(Settings& settings, UserMessages& messages, Clock clock = {}, ResourceLookup resources = {});

    // ---- the run (the thread that runs the chain)
    // At the start of a run: prepares the sounds for the rate, then resets.
    void startRun(int sampleRate) override;
    // Adds the click to n frames (interleaved pairs when stereo).
    void mix(double* buf, int frames, bool stereo) override;

    // The two halves of startRun.
    // Loads the drum kick (once) and the wave file (when never loaded or
    // marked for reloading) and prepares both for the rate. Shows "Error
    // loading resource..." when the drum kick cannot be loaded.
    void prepareSounds(int sampleRate);
    // Beat time 0, the period from the tempo, the sound from MetroSound, and
    // the beep left out at the first beat when the start tone plays.
    void resetRun();

    // ---- the page (any thread)
    void setTempo(double bpm);          // MetroTempo, and the period at once
    void setVolume(double volume);      // MetroVolume, 0..1
    void selectSound(int sound);        // MetroSound, taking effect at once
    // After "Open..." (also when cancelled): read the file again at the
    // next run start.
    void markWaveForReload() { wave_.markForReload(); }
    // One press of the tap button. True when it set a new tempo (the page
    // then moves its slider and relabels).
    bool tapTempo();

    // Slider positions and labels of the page.
    static int tempoSliderPosition(double bpm);          // tenths of a bpm, 100..3000
    static double tempoFromSlider(int position) { return position / 10.0; }
    static std::string tempoLabel(double bpm);           // "%g bpm"
    static int volumeSliderPosition(double volume);      // 0..100
    static double volumeFromSlider(int position) { return position / 100.0; }
    static std::string volumeLabel(double volume);       // "%d %%"

    // ---- observation (tests, the page)
    double period() const;
    double beatTime() const;
    int activeSound() const;
    int activeFrames() const;
    const ClickSound& drumKick() const { return drum_; }
    const ClickSound& waveSound() const { return wave_; }

private:
    static double periodFor(double bpm);
    void selectLocked(int sound);

    Settings& settings_;
    UserMessages& messages_;
    Clock clock_;
    ResourceLookup resources_;

    ClickSound drum_;
    ClickSound wave_;
    bool drumTried_ = false; // the drum kick is loaded once per program run
    int64_t previousTap_ = 0;

    // The metronome lock: the mixing and the sound selection take it, so the
    // active sound's samples, length and rate always belong together.
    mutable std::mutex lock_;
    int rate_ = 0;           // processing rate of the run
    double t_ = 0.0;         // seconds since the last beat
    double period_ = 0.4;    // seconds per beat
    bool beepFinished_ = false;
    int sound_ = kDrumKick;
    const int16_t* samples_ = nullptr;
    int frames_ = 0;
    int soundRate_ = 0;
};

} // namespace stravik::tools
