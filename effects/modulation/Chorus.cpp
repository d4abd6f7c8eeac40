#include "effects/modulation/Chorus.h"

#include "dsp/BlockMath.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>

namespace stravik::effects {

namespace {

// The right voices turn one and a half times as fast as the left ones.
constexpr double kLeftRate = 6.283185308;
constexpr double kRightRate = 9.424777962;
// The smoothers' corner when the delay should follow at once.
constexpr double kOpenSmootherHz = 10000.0;
// A read i + 1 samples back must stay behind the slot written this frame.
constexpr float kLongestRead = static_cast<float>(Chorus::kLineLength - 2);

// Keeps a delay (in samples) where the line can serve it, whatever a preset
// holds; not-a-number reads the newest samples.
inline float holdInLine(float d)
{
    // Written without a branch, so that the loops over a block vectorise.
    const float held = d > kLongestRead ? kLongestRead : d;
    return d >= 0.0f ? held : 0.0f;
}

} // namespace

Chorus::Chorus(ChorusParams& params, EffectContext& context) : params_(params), context_(context)
{
    std::memset(line_, 0, sizeof(line_));
    prepare();
}

void Chorus::start(int sampleRate)
{
    // Before the run's first block: the sweep goes straight in.
    const Sweep sweep = derive(sampleRate);
    {
        std::lock_guard hold(handoff_);
        staged_ = sweep;
        stagedPending_ = false;
        pending_.store(false, std::memory_order_relaxed);
    }
    adopt(sweep);
}

void Chorus::prepare()
{
    std::lock_guard hold(handoff_);
    staged_ = derive(staged_.rate);
    stagedPending_ = true;
    pending_.store(true, std::memory_order_release);
}

Chorus::Sweep Chorus::derive(int rate) const
{
    Sweep s;
    s.rate = rate;
    const float delay = params_.chorus_delay.get();
    const float depth = params_.chorus_depth.get();

    // The sweep stays between 0 and 0.18 s whatever a preset holds: the
    // minimum is never above the maximum, so a long chorus_delay gives a
    // fixed delay at the limit instead of reading past the line.
    float maxDelay = delay + depth / 2.0f;
    if (!(maxDelay <= kMaxDelaySeconds)) maxDelay = kMaxDelaySeconds;
    if (!(maxDelay >= 0.0f)) maxDelay = 0.0f;
    float minDelay = delay - depth / 2.0f;
    if (!(minDelay >= 0.0f)) minDelay = 0.0f;
    if (minDelay > maxDelay) minDelay = maxDelay;
    s.maxDelay = maxDelay;
    s.minDelay = minDelay;
    // One sample more than the middle of the sweep, so that the shortest read
    // still lies behind the sample being written.
    const float middle = (minDelay + maxDelay) / 2.0f * static_cast<float>(rate);
    s.centre = static_cast<int>(static_cast<double>(middle) + 1.0);
    s.amplitude = (maxDelay - minDelay) * 0.5;

    float period = params_.chorus_period.get();
    if (!(period >= kMinPeriodSeconds)) period = kMinPeriodSeconds;
    for (int v = 0; v < kVoices; ++v) {
        s.period[v] = (v * 0.2 + 1.0) * period;
        s.omegaLeft[v] = kLeftRate / s.period[v];
        s.omegaRight[v] = kRightRate / s.period[v];
    }
    s.voiceGain = 1.0 / std::sqrt(static_cast<double>(activeVoices()));
    return s;
}

void Chorus::adopt(const Sweep& s)
{
    live_ = s;
    // Every voice of a channel restarts where the first one stands.
    for (int v = 1; v < kVoices; ++v) {
        timeLeft_[v] = timeLeft_[0];
        if (timeLeft_[v] > live_.period[v]) timeLeft_[v] -= live_.period[v];
        timeRight_[v] = timeRight_[0];
        if (timeRight_[v] > live_.period[v]) timeRight_[v] -= live_.period[v];
    }
}

int Chorus::activeVoices() const
{
    // The page offers 1 to 3; a preset with more would read voices that do
    // not exist, one with none would scale the feedback by infinity.
    const int v = params_.chorus_voices.get();
    return v < 1 ? 1 : v > kVoices ? kVoices : v;
}

void Chorus::reset()
{
    if (!used_) return;
    std::memset(line_, 0, sizeof(line_));
    used_ = false;
}

void Chorus::beginBlock()
{
    // A sweep prepared since the last block, unless its builder holds the
    // hand-over at this very moment (then at the next block).
    if (pending_.load(std::memory_order_acquire)) {
        std::unique_lock hold(handoff_, std::try_to_lock);
        if (hold.owns_lock() && stagedPending_) {
            const Sweep s = staged_;
            stagedPending_ = false;
            pending_.store(false, std::memory_order_relaxed);
            hold.unlock();
            adopt(s);
        }
    }
    // All three pairs, whatever the number of voices, so that a voice added
    // later starts from a smoother that has kept up with the glide setting.
    const bool glide = glide_.load(std::memory_order_relaxed);
    // (A design depends on nothing else: the same corner and rate give the
    // same filter, so it is only made again when one of them moved.)
    for (int v = 0; v < kVoices; ++v) {
        const double f = glide ? 4.0 / live_.period[v] : kOpenSmootherHz;
        if (f == smootherHz_[v] && live_.rate == smootherRate_) continue;
        smoothLeft_[v].designFirstOrderLowPass(f, 1.0, live_.rate);
        smoothRight_[v].designFirstOrderLowPass(f, 1.0, live_.rate);
        smootherHz_[v] = f;
    }
    smootherRate_ = live_.rate;
    used_ = true;
}

namespace {

// V first-order smoothers, each over its own row, in one loop: per row the
// filter's own step (x = in g; y = b0 x + b1 x1 - a1 y1; out = in dry + y),
// term by term, so every value is the one the filter would give alone.
template <int V>
void smoothVoices(dsp::IirFilter* filters, double (*rows)[Chorus::kPiece], int frames)
{
    using F = dsp::IirFilter;
    double b0[V], b1[V], a1[V], gain[V], dry[V];
    F::State2 s[V];
    for (int v = 0; v < V; ++v) {
        assert(filters[v].order() == 1);
        b0[v] = filters[v].coefficient(F::kB0);
        b1[v] = filters[v].coefficient(F::kB1);
        a1[v] = filters[v].coefficient(F::kA1);
        gain[v] = filters[v].inputGain();
        dry[v] = filters[v].dryGain();
        s[v] = filters[v].state2();
    }
    for (int f = 0; f < frames; ++f) {
        // Unrolled, so that each voice's state stays in registers.
#pragma GCC unroll 4
        for (int v = 0; v < V; ++v) {
            const double in = rows[v][f];
            const double x = in * gain[v];
            const double y = b0[v] * x + b1[v] * s[v].x1 - a1[v] * s[v].y1;
            s[v].x2 = s[v].x1;
            s[v].y2 = s[v].y1;
            s[v].x1 = x;
            s[v].y1 = y;
            rows[v][f] = in * dry[v] + y;
        }
    }
    if (frames > 0)
        for (int v = 0; v < V; ++v) filters[v].setState2(s[v]);
}

// The phases omega t of V voices over the frames, each voice's time t
// stepping on and wrapping at its period.
template <int V>
void advanceVoices(double* times, const double* omega, const double* period, double step,
                   double (*rows)[Chorus::kPiece], int frames)
{
    double t[V];
    for (int v = 0; v < V; ++v) t[v] = times[v];
    for (int f = 0; f < frames; ++f) {
#pragma GCC unroll 4
        for (int v = 0; v < V; ++v) {
            rows[v][f] = omega[v] * t[v];
            t[v] += step;
            t[v] = t[v] > period[v] ? t[v] - period[v] : t[v];
        }
    }
    for (int v = 0; v < V; ++v) times[v] = t[v];
}

} // namespace

// The sweep is worked out for the whole piece first, voice by voice: the
// times and the smoothers run from frame to frame within a voice, the sines
// are independent of one another (and go four at a time), and none of it
// depends on the line. Only the reads and the writes of the line are left
// for the frame-by-frame loop. Every value is computed as it would be
// frame by frame, in the same order.
void Chorus::sweep(int channel, int voices, int frames, double extra, float (*delays)[kPiece])
{
    double* const times = channel == 0 ? timeLeft_ : timeRight_;
    const double* const omega = channel == 0 ? live_.omegaLeft : live_.omegaRight;
    dsp::IirFilter* const smoothers = channel == 0 ? smoothLeft_ : smoothRight_;
    const double fs = live_.rate;
    const double step = 1.0 / fs;
    // The voices' clocks side by side, each its own running sum.
    switch (voices) {
    case 1: advanceVoices<1>(times, omega, live_.period, step, phase_, frames); break;
    case 2: advanceVoices<2>(times, omega, live_.period, step, phase_, frames); break;
    default: advanceVoices<kVoices>(times, omega, live_.period, step, phase_, frames); break;
    }
    for (int v = 0; v < voices; ++v) {
        double* phase = phase_[v];
        dsp::sinBlock(phase, phase, frames);
        for (int f = 0; f < frames; ++f)
            phase[f] = holdInLine(static_cast<float>(phase[f] * fs * live_.amplitude + extra + live_.centre));
    }
    // The voices' smoothers side by side, so that their recursions overlap.
    switch (voices) {
    case 1: smoothVoices<1>(smoothers, phase_, frames); break;
    case 2: smoothVoices<2>(smoothers, phase_, frames); break;
    default: smoothVoices<kVoices>(smoothers, phase_, frames); break;
    }
    for (int v = 0; v < voices; ++v)
        for (int f = 0; f < frames; ++f) delays[v][f] = holdInLine(static_cast<float>(phase_[v][f]));
}

double Chorus::tap(float d) const
{
    const int i = static_cast<int>(d);
    int p = write_ - i;
    if (p < 0) p += kLineLength;
    int q = p - 1;
    if (q < 0) q += kLineLength;
    // Linear interpolation between the samples i and i + 1 back.
    return line_[p] + (line_[q] - line_[p]) * (d - i);
}

void Chorus::processMono(double* buf, int n)
{
    beginBlock();
    const int voices = activeVoices();
    const double g = live_.voiceGain;
    const double wet = params_.chorus_wet.get();
    const double dry = params_.chorus_dry.get();
    const double fb = params_.chorus_fb.get();
    for (int at = 0; at < n; at += kPiece) {
        const int frames = std::min(kPiece, n - at);
        sweep(0, voices, frames, 0.0, leftDelay_);
        double* piece = buf + at;
        for (int f = 0; f < frames; ++f) {
            const double x = piece[f];
            double sum = 0.0;
            for (int v = 0; v < voices; ++v) sum += tap(leftDelay_[v][f]) * g;
            piece[f] = dry * x + wet * sum;
            line_[write_] = fb * g * sum + x;
            if (++write_ == kLineLength) write_ = 0;
        }
    }
}

void Chorus::processStereo(double* stereo, int frames)
{
    beginBlock();
    const int voices = activeVoices();
    const double g = live_.voiceGain;
    const double wet = params_.chorus_wet.get();
    const double dry = params_.chorus_dry.get();
    const double fb = params_.chorus_fb.get();
    // The right reads lag the left by chorus_sdepth on top of the common
    // centre delay.
    const double lag = static_cast<float>(live_.rate) * params_.chorus_sdepth.get();
    for (int at = 0; at < frames; at += kPiece) {
        const int count = std::min(kPiece, frames - at);
        sweep(0, voices, count, 0.0, leftDelay_);
        sweep(1, voices, count, lag, rightDelay_);
        double* piece = stereo + 2 * at;
        for (int f = 0; f < count; ++f) {
            double* frame = piece + 2 * f;
            const double left = frame[0], right = frame[1];
            double sumLeft = 0.0;
            for (int v = 0; v < voices; ++v) sumLeft += tap(leftDelay_[v][f]) * g;
            // The line holds the average of both channels; each dry part is
            // halved accordingly. The right reads come after the left half
            // is written (a read of no delay at all sees it).
            frame[0] = dry * left * 0.5 + wet * sumLeft;
            line_[write_] = (fb * g * sumLeft + left) * 0.5;
            double sumRight = 0.0;
            for (int v = 0; v < voices; ++v) sumRight += tap(rightDelay_[v][f]) * g;
            frame[1] = dry * right * 0.5 + wet * sumRight;
            line_[write_] += (fb * g * sumRight + right) * 0.5;
            if (++write_ == kLineLength) write_ = 0;
        }
    }
}

Chorus::Derived Chorus::derived() const
{
    std::lock_guard hold(handoff_);
    const Sweep& s = staged_;
    return Derived{s.maxDelay, s.minDelay, s.centre, s.amplitude, {s.period[0], s.period[1], s.period[2]}, s.voiceGain};
}

double Chorus::lfoTime(int channel, int voice) const
{
    if (voice < 0 || voice >= kVoices) return 0.0;
    return channel == 0 ? timeLeft_[voice] : timeRight_[voice];
}

} // namespace stravik::effects
