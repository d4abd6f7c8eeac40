#include "effects/modulation/Echo.h"

#include <algorithm>
#include <cstring>

namespace stravik::effects {

namespace {
inline void advance(int& position)
{
    if (++position == Echo::kLineLength) position = 0;
}
} // namespace

Echo::Echo(EchoParams& params, EffectContext& context) : params_(params), context_(context)
{
    std::memset(line_, 0, sizeof(line_));
    designLowPass();
}

void Echo::start(int sampleRate)
{
    rate_ = sampleRate;
    prepareRequested_.store(false, std::memory_order_relaxed);
    lowPassRequested_.store(false, std::memory_order_relaxed);
    // Before the run's first block: the whole line at once.
    std::memset(line_, 0, sizeof(line_));
    fresh_ = kLineLength;
    write_ = 0;
    designLowPass();
    lowPass_.reset();
}

void Echo::prepare() { prepareRequested_.store(true, std::memory_order_release); }

void Echo::redesignLowPass() { lowPassRequested_.store(true, std::memory_order_release); }

void Echo::reset()
{
    if (!used_) return;
    clearLine();
    write_ = 0;
    used_ = false;
    lowPass_.reset();
}

// Clearing the 144000 samples of the line at once would cost the block that
// does it many times its usual time. The line is emptied as it is read
// instead: before each block the samples the taps will read that are older
// than the clear are set to zero (every other old sample is overwritten
// before it is read), which comes to the same as zeroing it all.
void Echo::clearLine() { fresh_ = 0; }

void Echo::zeroStale(int w, int r, int n)
{
    // Read i of the block takes the sample written `age` samples before it;
    // a tap on the write position itself reads the sample a whole line old.
    int age = w - r;
    if (age <= 0) age += kLineLength;
    const int stale = std::min(n, age - fresh_);
    for (int i = 0; i < stale; ++i) {
        line_[r] = 0.0;
        advance(r);
    }
}

void Echo::endBlock(int n) { fresh_ = std::min(fresh_ + n, kLineLength); }

void Echo::designLowPass()
{
    // Whole hertz. A preset may hold anything: below 1 Hz (or not a number)
    // the biquad would turn unstable and fill the line with ever larger
    // values, so the cutoff stays at 1 Hz or more; the design itself holds it
    // below fs/2 - 50.
    const float wanted = params_.echo_lpfreq.get();
    int f;
    if (!(wanted >= 1.0f))
        f = 1;
    else if (wanted >= static_cast<float>(rate_))
        f = rate_;
    else
        f = static_cast<int>(wanted);
    lowPass_.designLowPass(f, 1.0, 1.0, rate_);
}

void Echo::beginBlock()
{
    // Requests from the page or the preset loader are carried out here, on
    // the thread that owns the line.
    if (prepareRequested_.load(std::memory_order_relaxed)
        && prepareRequested_.exchange(false, std::memory_order_acq_rel)) {
        clearLine();
        write_ = 0;
        lowPassRequested_.store(false, std::memory_order_relaxed);
        designLowPass();
    }
    if (lowPassRequested_.load(std::memory_order_relaxed)
        && lowPassRequested_.exchange(false, std::memory_order_acq_rel))
        designLowPass();
    used_ = true;
}

float Echo::tapOffset(int rate, float seconds)
{
    // Single precision, as the read positions have always been computed. A
    // preset may carry any delay: a negative one (or not a number) reads the
    // newest sample, a longer one than the line holds the oldest.
    float offset = static_cast<float>(rate) * seconds;
    if (!(offset >= 0.0f)) offset = 0.0f;
    if (offset > static_cast<float>(kMaxDelaySamples)) offset = static_cast<float>(kMaxDelaySamples);
    return offset;
}

void Echo::readPositions(int& first, int& second) const
{
    // Truncated toward zero, then wrapped: the second tap lies echo_2tapdel
    // behind the first, not behind the input.
    const float offset1 = tapOffset(rate_, params_.echo_delay.get());
    first = static_cast<int>(static_cast<float>(write_) - offset1);
    if (first < 0) first += kLineLength;
    const float offset2 = tapOffset(rate_, params_.echo_2tapdel.get());
    second = static_cast<int>(static_cast<float>(first) - offset2);
    if (second < 0) second += kLineLength;
}

void Echo::process(double* buf, int n, bool stereoOutput)
{
    if (stereoOutput && params_.echo_2tap.get() != 0 && params_.echo_2tapspread.get() != 0.0f)
        processSpread(buf, n);
    else
        processMono(buf, n);
}

void Echo::processMono(double* buf, int n)
{
    beginBlock();
    int w = write_, r1, r2;
    readPositions(r1, r2);
    zeroStale(w, r1, n);
    zeroStale(w, r2, n);
    for (int i = 0; i < n; ++i) {
        const double x = buf[i];
        const double u = params_.echo_lpass.get() ? lowPass_.processSample(x) : x;
        line_[w] = u + static_cast<double>(params_.echo_fb.get()) * line_[r1];
        const double wet = params_.echo_wet.get();
        double y = static_cast<double>(params_.echo_dry.get()) * x + wet * line_[r1];
        if (params_.echo_2tap.get()) y += wet * line_[r2];
        buf[i] = y;
        advance(w);
        advance(r1);
        advance(r2);
    }
    write_ = w;
    endBlock(n);
}

void Echo::processSpread(double* stereo, int frames)
{
    beginBlock();
    int w = write_, r1, r2;
    readPositions(r1, r2);
    zeroStale(w, r1, frames);
    zeroStale(w, r2, frames);
    // At spread 1.0 the first tap sounds only on the left and the second only
    // on the right; at 0 each side gets half of each.
    const float wet = params_.echo_wet.get();
    const float s = params_.echo_2tapspread.get() / 2.0f;
    const double gA = static_cast<float>((0.5f + s) * wet);
    const double gB = static_cast<float>((0.5f - s) * wet);
    for (int i = 0; i < frames; ++i) {
        double* frame = stereo + 2 * i;
        const double left = frame[0], right = frame[1];
        const double u = params_.echo_lpass.get() ? lowPass_.processSample(left) : left;
        line_[w] = u + static_cast<double>(params_.echo_fb.get()) * line_[r1];
        const double dry = params_.echo_dry.get();
        frame[0] = dry * left + gB * line_[r2] + gA * line_[r1];
        frame[1] = dry * right + gA * line_[r2] + gB * line_[r1];
        advance(w);
        advance(r1);
        advance(r2);
    }
    write_ = w;
    endBlock(frames);
}

void Echo::processMonoOnStereo(double* stereo, int frames)
{
    beginBlock();
    int w = write_, r1, r2;
    readPositions(r1, r2);
    zeroStale(w, r1, frames);
    zeroStale(w, r2, frames);
    for (int i = 0; i < frames; ++i) {
        double* frame = stereo + 2 * i;
        // The right channel is not heard: an image made by an earlier stage
        // collapses to mono here.
        const double x = frame[0];
        const double u = params_.echo_lpass.get() ? lowPass_.processSample(x) : x;
        line_[w] = u + static_cast<double>(params_.echo_fb.get()) * line_[r1];
        const double wet = params_.echo_wet.get();
        double y = static_cast<double>(params_.echo_dry.get()) * x + wet * line_[r1];
        if (params_.echo_2tap.get()) y += wet * line_[r2];
        frame[0] = y;
        frame[1] = y;
        advance(w);
        advance(r1);
        advance(r2);
    }
    write_ = w;
    endBlock(frames);
}

} // namespace stravik::effects
