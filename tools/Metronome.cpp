#include "tools/Metronome.h"

#include "assets/Resources.h"
#include "dsp/MathConstants.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

namespace stravik::tools {
namespace {

int64_t steadyMilliseconds()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

Metronome::Metronome(Settings& settings, UserMessages& messages, Clock clock, ResourceLookup resources)
    : settings_(settings), messages_(messages), clock_(clock ? std::move(clock) : Clock(steadyMilliseconds)),
      resources_(resources ? std::move(resources) : ResourceLookup(assets::findResource))
{
    period_ = periodFor(settings_.MetroTempo.get());
}

double Metronome::periodFor(double bpm)
{
    // A stored tempo outside what the page can set (zero, negative, not a
    // number) would stop the beats or divide by zero: keep it in range.
    if (!(bpm >= kMinTempo)) bpm = kMinTempo;
    if (bpm > kMaxTempo) bpm = kMaxTempo;
    return 60.0 / bpm;
}

void Metronome::startRun(int sampleRate)
{
    prepareSounds(sampleRate);
    resetRun();
}

void Metronome::prepareSounds(int sampleRate)
{
    // Reading happens outside the lock: it touches only the recordings,
    // while the page's sound selection and the mixing use only the working
    // copies, which are made under the lock.
    if (!drumTried_) {
        drumTried_ = true;
        if (!drum_.loadImage(resources_("wave", assets::kDrumKickResource)))
            messages_.show("Error loading resource...", {}, MessageIcon::Error);
    }
    if (!wave_.hasRecording() || wave_.reloadMarked()) {
        const std::string path = settings_.MetroWave.get();
        if (path.empty())
            wave_.clear();
        else
            wave_.loadFile(path); // an unreadable file leaves the sound empty
    }
    std::lock_guard lock(lock_);
    rate_ = sampleRate;
    drum_.prepare(sampleRate);
    wave_.prepare(sampleRate);
    // The working copies may have moved: point the active sound at them again.
    selectLocked(sound_);
}

void Metronome::resetRun()
{
    const int sound = settings_.MetroSound.get();
    const bool beepOnStart = settings_.BeepOnStart.get() != 0;
    const double period = periodFor(settings_.MetroTempo.get());
    std::lock_guard lock(lock_);
    t_ = 0.0;
    period_ = period;
    selectLocked(sound);
    // The start tone has just played: leave the first beep of the run out.
    beepFinished_ = beepOnStart;
}

void Metronome::selectLocked(int sound)
{
    sound_ = sound;
    const ClickSound* s = sound == kDrumKick ? &drum_ : sound == kWaveFile ? &wave_ : nullptr;
    samples_ = s ? s->workingSamples() : nullptr;
    frames_ = s ? s->workingFrames() : 0;
    soundRate_ = s ? s->workingRate() : 0;
}

void Metronome::mix(double* buf, int frames, bool stereo)
{
    const double volume = settings_.MetroVolume.get();
    std::lock_guard lock(lock_);
    if (rate_ <= 0) return; // no run has started
    const double step = 1.0 / rate_;
    const bool beep = sound_ == kBeep;
    const bool hasSamples = samples_ != nullptr && frames_ > 0 && soundRate_ > 0;
    for (int i = 0; i < frames; ++i) {
        if (t_ >= period_) {
            t_ -= period_; // a new beat
            if (beep) beepFinished_ = false;
        }
        double value = 0.0;
        if (beep) {
            if (!beepFinished_) {
                if (t_ < kBeepSeconds) {
                    // A 1500 Hz tone, clipped into a buzzier, louder click.
                    double b = std::trunc(20000.0 * std::sin(dsp::kPi * 3000.0 * t_));
                    b = std::clamp(b, -7000.0, 7000.0);
                    value = b * volume / 32768.0;
                } else {
                    beepFinished_ = true;
                }
            }
        } else if (hasSamples) {
            // Played at its own rate; one beat cut off by the next, which
            // starts it again.
            const double p = t_ * soundRate_;
            if (p >= 0.0 && p < frames_ - 1) {
                const int k = static_cast<int>(p);
                const double s = samples_[k] + (p - k) * (samples_[k + 1] - samples_[k]);
                value = s * volume / 32768.0;
            }
        }
        if (stereo) {
            buf[2 * i] += value;
            buf[2 * i + 1] += value;
        } else {
            buf[i] += value;
        }
        t_ += step;
    }
}

void Metronome::setTempo(double bpm)
{
    settings_.MetroTempo = static_cast<float>(bpm);
    const double period = periodFor(settings_.MetroTempo.get());
    std::lock_guard lock(lock_);
    period_ = period;
}

void Metronome::setVolume(double volume) { settings_.MetroVolume = static_cast<float>(volume); }

void Metronome::selectSound(int sound)
{
    settings_.MetroSound = sound;
    std::lock_guard lock(lock_);
    selectLocked(sound);
}

bool Metronome::tapTempo()
{
    const int64_t now = clock_();
    const double d = static_cast<double>(now - previousTap_); // ms
    previousTap_ = now;
    // Tenths of a bpm. Two taps within the same millisecond make an infinite
    // tempo, which the limit below brings back to the fastest.
    double tempo = std::trunc(600.0 / (d / 1000.0)) / 10.0;
    if (!(tempo >= kMinTempo)) return false; // too slow to be meant (or the first tap)
    tempo = std::min(tempo, kMaxTempo);
    settings_.MetroTempo = static_cast<float>(tempo);
    const double period = periodFor(settings_.MetroTempo.get());
    std::lock_guard lock(lock_);
    t_ = 0.0;
    period_ = period;
    return true;
}

int Metronome::tempoSliderPosition(double bpm)
{
    return static_cast<int>(std::lround(std::clamp(bpm, kMinTempo, kMaxTempo) * 10.0));
}

std::string Metronome::tempoLabel(double bpm)
{
    char text[64];
    std::snprintf(text, sizeof(text), "%g bpm", bpm);
    return text;
}

int Metronome::volumeSliderPosition(double volume)
{
    return static_cast<int>(std::lround(std::clamp(volume, 0.0, 1.0) * 100.0));
}

std::string Metronome::volumeLabel(double volume)
{
    // Rounded: a stored 0.29f is 0.2899999..., which must still read 29 %.
    char text[32];
    std::snprintf(text, sizeof(text), "%d %%", static_cast<int>(std::lround(volume * 100.0)));
    return text;
}

double Metronome::period() const
{
    std::lock_guard lock(lock_);
    return period_;
}

double Metronome::beatTime() const
{
    std::lock_guard lock(lock_);
    return t_;
}

int Metronome::activeSound() const
{
    std::lock_guard lock(lock_);
    return sound_;
}

int Metronome::activeFrames() const
{
    std::lock_guard lock(lock_);
    return frames_;
}

} // namespace stravik::tools
