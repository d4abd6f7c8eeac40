#include "effects/modulation/Reverb.h"

#include "dsp/CpuFeatures.h"

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
    // Silence everywhere to begin with (later clears empty the lines as
    // they are read).
    for (int ch = 0; ch < kChannels; ++ch) {
        for (auto& line : combLines_[ch]) line = ElementLine{};
        for (auto& line : allPassLines_[ch]) line = ElementLine{};
        preDelayLines_[ch] = Line{};
    }
    std::memset(reflections_, 0, sizeof(reflections_));
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
    const int longestElement = kElementLineLength - 1;

    double room = params_.rev_room;
    // A negative room would make the combs' feedback exceed one and the tail
    // grow without end; no room at all is the smallest one.
    if (!(room >= 0.0)) room = 0.0;

    for (int v = 0; v < kCombs; ++v) {
        const double decay = room * kRoomScale * 0.5 + v * 0.025;
        decayTime_[v].store(decay, kRelaxed);
        for (int ch = 0; ch < kChannels; ++ch) {
            const double ms = kCombMs[v] + (ch == 1 ? kRightOffsetMs : 0.0);
            const int d = heldDelay(ms / 1000.0 * fs, longestElement);
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
            allPassDelay_[ch][v].store(heldDelay(ms / 1000.0 * fs, longestElement), kRelaxed);
        }

    preDelay_.store(heldDelay(static_cast<double>(params_.rev_predelay) / 1000.0 * fs, longest), kRelaxed);

    const float frDelay = params_.rev_frdelay;
    const int longestTap = kReflectionLength - 1;
    tap1_.store(heldDelay(static_cast<float>(fs) * frDelay, longestTap), kRelaxed);
    tap2_.store(heldDelay((frDelay + kSecondReflection) * fs, longestTap), kRelaxed);
    reflectionClearPending_.store(true, std::memory_order_release);
}

void Reverb::clear() { clearPending_.store(true, std::memory_order_release); }

// Clearing 26 lines of 20480 samples at once would cost one block several
// times its usual time. The lines are emptied as they are read instead: a
// sample written before the clear is never heard, because before each block
// the samples its reads will reach that are older than the clear are set to
// zero (zeroStale); every other old sample is overwritten before it is read.
// The result is that of zeroing everything at once.
void Reverb::clearReflections() { freshReflections_ = 0; }

void Reverb::clearNow()
{
    for (int ch = 0; ch < kChannels; ++ch) {
        freshNetwork_[ch] = 0;
        for (auto& f : combFilters_[ch]) f.reset();
    }
    absorbLowPass_.reset();
    absorbHighPass_.reset();
    clearReflections();
}

void Reverb::zeroStale(double* data, int length, int write, int delay, int fresh, int n)
{
    // Read i of the block takes the sample written delay - i samples ago.
    const int stale = std::min(n, delay - fresh);
    int r = trailing(write, delay, length);
    for (int i = 0; i < stale; ++i) {
        data[r] = 0.0;
        if (++r == length) r = 0;
    }
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
        const int tap1 = tap1_.load(kRelaxed), tap2 = tap2_.load(kRelaxed);
        zeroStale(reflections_, kReflectionLength, w, tap1, freshReflections_, n);
        zeroStale(reflections_, kReflectionLength, w, tap2, freshReflections_, n);
        freshReflections_ = std::min(freshReflections_ + n, kReflectionLength);
        int r1 = trailing(w, tap1, kReflectionLength);
        int r2 = trailing(w, tap2, kReflectionLength);
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

namespace {

// Calls f(i, r, w, len) for the runs of the block in which neither position
// wraps: indices i .. i + len - 1 of the block are positions r .. and w ..
// of a line of the given length.
template <typename F>
inline void inRuns(int r, int w, int length, int n, F&& f)
{
    for (int i = 0; i < n;) {
        const int len = std::min({n - i, length - r, length - w});
        f(i, r, w, len);
        i += len;
        r += len;
        if (r == length) r = 0;
        w += len;
        if (w == length) w = 0;
    }
}

} // namespace

#if defined(__x86_64__)
namespace kernels {
// ReverbX86.cpp: eight second-order filters over their own inputs, one per
// lane. coef[k]: b0, b1, b2, a1, a2, input gain, dry gain of filter k;
// state[k]: x1, x2, y1, y2 (updated).
void eightFiltersAvx2(const double (*coef)[7], double (*state)[4], const double (*in)[Reverb::kMaxBlock],
                      double (*out)[Reverb::kMaxBlock], int n);
} // namespace kernels
#endif

void Reverb::dampCombs(dsp::IirFilter* filters, int n)
{
#if defined(__x86_64__)
    bool secondOrder = true;
    for (int v = 0; v < kCombs; ++v) secondOrder = secondOrder && filters[v].order() == 2;
    if (dsp::cpu::avx2Allowed() && secondOrder) {
        using F = dsp::IirFilter;
        double coef[kCombs][7], state[kCombs][4];
        for (int v = 0; v < kCombs; ++v) {
            const F& f = filters[v];
            const double c[7] = {f.coefficient(F::kB0), f.coefficient(F::kB1), f.coefficient(F::kB2),
                                 f.coefficient(F::kA1), f.coefficient(F::kA2), f.inputGain(), f.dryGain()};
            std::copy(c, c + 7, coef[v]);
            const F::State2 st = f.state2();
            state[v][0] = st.x1;
            state[v][1] = st.x2;
            state[v][2] = st.y1;
            state[v][3] = st.y2;
        }
        kernels::eightFiltersAvx2(coef, state, combEcho_, combDamped_, n);
        for (int v = 0; v < kCombs; ++v) filters[v].setState2({state[v][0], state[v][1], state[v][2], state[v][3]});
        return;
    }
#endif
    for (int v = 0; v < kCombs; ++v) {
        std::memcpy(combDamped_[v], combEcho_[v], sizeof(double) * n);
        filters[v].process(combDamped_[v], n);
    }
}

void Reverb::runNetwork(int ch, int n, double* s)
{
    // The combs are independent of one another and the all-passes are in
    // series, so each element runs over the whole block in turn: the same
    // arithmetic, in the same order per sample, as stepping the network one
    // frame at a time. Where an element's reads reach nothing this block
    // writes (delays of at least a block), it goes in three passes over
    // contiguous runs (read, compute, write) that the compiler vectorises.
    const int fresh = freshNetwork_[ch];
    for (int i = 0; i < n; ++i) s[i] = 0.0;
    // The combs' echoes for the block, each comb's damping over them (all
    // eight side by side where the processor allows: one recursion per lane,
    // the same arithmetic as the filter's own), then the feedback written back.
    bool gathered[kCombs] = {};
    for (int v = 0; v < kCombs; ++v) {
        ElementLine& line = combLines_[ch][v];
        const int d = combDelay_[ch][v].load(kRelaxed);
        zeroStale(line.data, kElementLineLength, line.write, d, fresh, n);
        if (d < n || d > kElementLineLength - n) continue; // the block would read what it writes
        gathered[v] = true;
        inRuns(trailing(line.write, d, kElementLineLength), line.write, kElementLineLength, n, [&](int i, int rr, int, int len) {
            std::memcpy(combEcho_[v] + i, line.data + rr, sizeof(double) * len);
        });
    }
    bool all = true;
    for (bool g : gathered) all = all && g;
    if (all) {
        dampCombs(combFilters_[ch], n);
    } else {
        for (int v = 0; v < kCombs; ++v) {
            if (!gathered[v]) continue;
            std::memcpy(combDamped_[v], combEcho_[v], sizeof(double) * n);
            combFilters_[ch][v].process(combDamped_[v], n);
        }
    }
    for (int v = 0; v < kCombs; ++v) {
        ElementLine& line = combLines_[ch][v];
        dsp::IirFilter& damping = combFilters_[ch][v];
        const double g = combGain_[ch][v].load(kRelaxed);
        const int d = combDelay_[ch][v].load(kRelaxed);
        int w = line.write;
        if (gathered[v]) {
            inRuns(0, w, kElementLineLength, n, [&](int i, int, int ww, int len) {
                double* out = line.data + ww;
                for (int k = 0; k < len; ++k) out[k] = combDamped_[v][i + k] * g + work_[i + k];
            });
            for (int i = 0; i < n; ++i) s[i] = s[i] + combEcho_[v][i] * kCombWeight;
            w = (w + n) % kElementLineLength;
        } else {
            int r = trailing(w, d, kElementLineLength);
            for (int i = 0; i < n; ++i) {
                const double o = line.data[r];
                line.data[w] = damping.processSample(o) * g + work_[i];
                if (++w == kElementLineLength) w = 0;
                if (++r == kElementLineLength) r = 0;
                s[i] = s[i] + o * kCombWeight;
            }
        }
        line.write = w;
    }
    for (int v = 0; v < kAllPasses; ++v) {
        ElementLine& line = allPassLines_[ch][v];
        int w = line.write;
        const int d = allPassDelay_[ch][v].load(kRelaxed);
        zeroStale(line.data, kElementLineLength, w, d, fresh, n);
        int r = trailing(w, d, kElementLineLength);
        if (d >= n && d <= kElementLineLength - n) {
            inRuns(r, w, kElementLineLength, n,
                   [&](int i, int rr, int, int len) { std::memcpy(echo_ + i, line.data + rr, sizeof(double) * len); });
            for (int i = 0; i < n; ++i) {
                const double b = echo_[i];
                damped_[i] = kAllPassGain * b + s[i]; // into the line
                s[i] = b - s[i];
            }
            inRuns(r, w, kElementLineLength, n,
                   [&](int i, int, int ww, int len) { std::memcpy(line.data + ww, damped_ + i, sizeof(double) * len); });
            w = (w + n) % kElementLineLength;
        } else {
            for (int i = 0; i < n; ++i) {
                const double b = line.data[r];
                const double o = b - s[i];
                line.data[w] = kAllPassGain * b + s[i];
                if (++w == kElementLineLength) w = 0;
                if (++r == kElementLineLength) r = 0;
                s[i] = o;
            }
        }
        line.write = w;
    }
    Line& pre = preDelayLines_[ch];
    int w = pre.write;
    const int d = preDelay_.load(kRelaxed);
    zeroStale(pre.data, kLineLength, w, d, fresh, n);
    int r = trailing(w, d, kLineLength);
    if (d >= n && d <= kLineLength - n) {
        inRuns(r, w, kLineLength, n, [&](int i, int rr, int ww, int len) {
            std::memcpy(pre.data + ww, s + i, sizeof(double) * len);
            std::memcpy(echo_ + i, pre.data + rr, sizeof(double) * len);
        });
        std::memcpy(s, echo_, sizeof(double) * n);
        w = (w + n) % kLineLength;
    } else {
        for (int i = 0; i < n; ++i) {
            pre.data[w] = s[i];
            s[i] = pre.data[r];
            if (++w == kLineLength) w = 0;
            if (++r == kLineLength) r = 0;
        }
    }
    pre.write = w;
    freshNetwork_[ch] = std::min(fresh + n, kLineLength); // the longest line of the network
}

} // namespace stravik::effects
