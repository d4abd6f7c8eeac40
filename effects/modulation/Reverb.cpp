#include "effects/modulation/Reverb.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>

namespace stravik::effects {

namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;

// A delay in samples, truncated toward zero and held inside its line: a
// preset may carry any value (or none at all), and a line must never be read
// outside its length.
int heldDelay(double samples, int longest)
{
    if (!(samples > 0.0)) return 0; // also NaN
    if (samples >= longest) return longest;
    return static_cast<int>(samples);
}

// The read position that trails the write position by delay samples.
inline int trailing(int write, int delay, int length)
{
    const int r = write - delay;
    return r < 0 ? r + length : r;
}

} // namespace

Reverb::Reverb(ReverbParams& params, EffectContext& context) : params_(params), context_(context)
{
    for (int ch = 0; ch < kChannels; ++ch) {
        for (auto& line : combLines_[ch]) line.write = 0;
        for (auto& line : allPassLines_[ch]) line.write = 0;
        preDelayLines_[ch].write = 0;
    }
    designFilters(rate_.load(kRelaxed));
    prepare();
    clearNow();
    clearPending_.store(false);
    reflectionClearPending_.store(false);
}

void Reverb::designFilters(int fs)
{
    for (auto& channel : combFilters_)
        for (auto& f : channel) f.designLowPass(8000, 0.7, 1.0, fs);
    absorbLowPass_.designLowPass(6000, 0.5, 1.0, fs);
    absorbHighPass_.designHighPass(180, 0.5, 1.0, fs);
}

void Reverb::start(int sampleRate)
{
    assert(sampleRate > 0);
    rate_.store(sampleRate, kRelaxed);
    // The filter designs depend on the rate alone, so they are made here, on
    // the audio thread, and never change while blocks run.
    designFilters(sampleRate);
    prepare();
    // No block runs yet: clear at once. A request made after this point is
    // still honoured by the next block.
    clearPending_.store(false);
    reflectionClearPending_.store(false);
    clearNow();
}

void Reverb::prepare()
{
    const int fs = rate_.load(kRelaxed);
    const int longest = kLineLength - 1;

    double room = params_.rev_room;
    // A negative room would make the combs' feedback exceed one and the tail
    // grow without end; no room at all is the smallest one.
    if (!(room >= 0.0)) room = 0.0;

    for (int v = 0; v < kCombs; ++v) {
        const double decay = room * kRoomScale * 0.5 + v * 0.025;
        decayTime_[v].store(decay, kRelaxed);
        for (int ch = 0; ch < kChannels; ++ch) {
            const double ms = kCombMs[v] + (ch == 1 ? kRightOffsetMs : 0.0);
            const int d = heldDelay(ms / 1000.0 * fs, longest);
            // A decay time of 0 means no feedback at all (the limit of the
            // exponential), without dividing by zero.
            const double g = decay > 0.0 ? std::exp(kDecayExponent * d / (decay * fs)) : 0.0;
            combDelay_[ch][v].store(d, kRelaxed);
            combGain_[ch][v].store(g, kRelaxed);
        }
    }
    for (int v = 0; v < kAllPasses; ++v)
        for (int ch = 0; ch < kChannels; ++ch) {
            const double ms = kAllPassMs[v] + (ch == 1 ? kRightOffsetMs : 0.0);
            allPassDelay_[ch][v].store(heldDelay(ms / 1000.0 * fs, longest), kRelaxed);
        }

    preDelay_.store(heldDelay(static_cast<double>(params_.rev_predelay) / 1000.0 * fs, longest), kRelaxed);

    const float frDelay = params_.rev_frdelay;
    const int longestTap = kReflectionLength - 1;
    tap1_.store(heldDelay(static_cast<float>(fs) * frDelay, longestTap), kRelaxed);
    tap2_.store(heldDelay((frDelay + kSecondReflection) * fs, longestTap), kRelaxed);
    reflectionClearPending_.store(true, std::memory_order_release);
}

void Reverb::clear() { clearPending_.store(true, std::memory_order_release); }

void Reverb::clearReflections()
{
    std::memset(reflections_, 0, sizeof(reflections_));
}

void Reverb::clearNow()
{
    for (int ch = 0; ch < kChannels; ++ch) {
        for (auto& line : combLines_[ch]) std::memset(line.data, 0, sizeof(line.data));
        for (auto& line : allPassLines_[ch]) std::memset(line.data, 0, sizeof(line.data));
        std::memset(preDelayLines_[ch].data, 0, sizeof(preDelayLines_[ch].data));
        for (auto& f : combFilters_[ch]) f.reset();
    }
    absorbLowPass_.reset();
    absorbHighPass_.reset();
    clearReflections();
}

void Reverb::process(double* out, const double* monoIn, int frames, bool stereoOut)
{
    if (clearPending_.exchange(false, std::memory_order_acquire)) {
        reflectionClearPending_.store(false, kRelaxed);
        clearNow();
    } else if (reflectionClearPending_.exchange(false, std::memory_order_acquire)) {
        clearReflections();
    }
    const int channels = stereoOut ? 2 : 1;
    for (int done = 0; done < frames; done += kMaxBlock) {
        const int n = std::min(kMaxBlock, frames - done);
        processChunk(out + done * channels, monoIn + done, n, stereoOut);
    }
}

void Reverb::processChunk(double* out, const double* monoIn, int n, bool stereoOut)
{
    std::memcpy(work_, monoIn, sizeof(double) * n);
    // Room absorption thins the highs, then the lows, of what enters the room
    // (and of the first reflections).
    if (params_.rev_hfabs == 1) absorbLowPass_.process(work_, n);
    if (params_.rev_lfabs == 1) absorbHighPass_.process(work_, n);

    const double wet = params_.rev_amp * 0.5;
    const double dry = params_.rev_dry;

    runNetwork(0, n, wetLeft_);
    if (stereoOut) {
        runNetwork(1, n, wetRight_);
        // The dry part is the output block's own signal, so a stereo image
        // made by earlier stages keeps its left/right difference.
        for (int i = 0; i < n; ++i) {
            out[2 * i] = dry * out[2 * i] + wet * wetLeft_[i];
            out[2 * i + 1] = dry * out[2 * i + 1] + wet * wetRight_[i];
        }
    } else {
        for (int i = 0; i < n; ++i) out[i] = dry * out[i] + wet * wetLeft_[i];
    }

    if (params_.rev_fron == 1) {
        const double volume = params_.rev_frvolume;
        int w = reflectionWrite_;
        int r1 = trailing(w, tap1_.load(kRelaxed), kReflectionLength);
        int r2 = trailing(w, tap2_.load(kRelaxed), kReflectionLength);
        for (int i = 0; i < n; ++i) {
            reflections_[w] = work_[i];
            if (stereoOut) {
                out[2 * i] += volume * reflections_[r1];
                out[2 * i + 1] += volume * reflections_[r2];
            } else {
                out[i] += volume * (reflections_[r2] + reflections_[r1]);
            }
            if (++w == kReflectionLength) w = 0;
            if (++r1 == kReflectionLength) r1 = 0;
            if (++r2 == kReflectionLength) r2 = 0;
        }
        reflectionWrite_ = w;
    }
}

void Reverb::runNetwork(int ch, int n, double* s)
{
    // The combs are independent of one another and the all-passes are in
    // series, so each element runs over the whole block in turn: the same
    // arithmetic, in the same order per sample, as stepping the network one
    // frame at a time.
    for (int i = 0; i < n; ++i) s[i] = 0.0;

    for (int v = 0; v < kCombs; ++v) {
        Line& line = combLines_[ch][v];
        dsp::IirFilter& damping = combFilters_[ch][v];
        const double g = combGain_[ch][v].load(kRelaxed);
        const int d = combDelay_[ch][v].load(kRelaxed);
        int w = line.write;
        int r = trailing(w, d, kLineLength);
        if (d >= n && d <= kLineLength - n) {
            // None of the block's reads falls on a place it writes, so the
            // echoes can be gathered first and damped with the block routine
            // (the same recursion as sample by sample, kept in registers).
            for (int i = 0; i < n; ++i) {
                echo_[i] = line.data[r];
                if (++r == kLineLength) r = 0;
            }
            std::memcpy(damped_, echo_, sizeof(double) * n);
            damping.process(damped_, n);
            for (int i = 0; i < n; ++i) {
                line.data[w] = damped_[i] * g + work_[i];
                if (++w == kLineLength) w = 0;
                s[i] = s[i] + echo_[i] * kCombWeight;
            }
        } else {
            for (int i = 0; i < n; ++i) {
                const double o = line.data[r];
                line.data[w] = damping.processSample(o) * g + work_[i];
                if (++w == kLineLength) w = 0;
                if (++r == kLineLength) r = 0;
                s[i] = s[i] + o * kCombWeight;
            }
        }
        line.write = w;
    }

    for (int v = 0; v < kAllPasses; ++v) {
        Line& line = allPassLines_[ch][v];
        int w = line.write;
        int r = trailing(w, allPassDelay_[ch][v].load(kRelaxed), kLineLength);
        for (int i = 0; i < n; ++i) {
            const double b = line.data[r];
            const double o = b - s[i];
            line.data[w] = kAllPassGain * b + s[i];
            if (++w == kLineLength) w = 0;
            if (++r == kLineLength) r = 0;
            s[i] = o;
        }
        line.write = w;
    }

    Line& pre = preDelayLines_[ch];
    int w = pre.write;
    int r = trailing(w, preDelay_.load(kRelaxed), kLineLength);
    for (int i = 0; i < n; ++i) {
        pre.data[w] = s[i];
        s[i] = pre.data[r];
        if (++w == kLineLength) w = 0;
        if (++r == kLineLength) r = 0;
    }
    pre.write = w;
}

} // namespace stravik::effects
