#include "engine/devices/DriftCompensation.h"

#include "dsp/MathConstants.h"

#include <algorithm>
#include <cerrno>
#include <cmath>

namespace stravik {

// ---- RateAdapter

RateAdapter::RateAdapter()
{
    // Half a cosine spreads the extra (or missing) frame over the whole
    // block: the read position starts and ends in step with the block and
    // slips by at most half a frame in the middle, so neither end of the
    // block jumps.
    for (int i = 0; i < kStretchedFrames; ++i)
        stretch_[i] = i - (1.0 - std::cos(dsp::kTwoPi * i / 258.0)) / 2.0;
    for (int i = 0; i < kShrunkFrames; ++i)
        shrink_[i] = i + (1.0 - std::cos(dsp::kTwoPi * i / 250.0)) / 2.0;
}

void RateAdapter::reset(int nominalRate)
{
    nominal_ = nominalRate;
    target_ = static_cast<float>(nominalRate);
    period_ = 0;
    counter_ = 0;
}

void RateAdapter::setTarget(float t)
{
    const int limit = nominal_ / 128;
    t = std::clamp(t, static_cast<float>(nominal_ - limit), static_cast<float>(nominal_ + limit));
    // A counter that ran towards a stretch means nothing for a shrink (and
    // the other way round): the new direction starts its period afresh.
    if (side(t, nominal_) != side(target_, nominal_)) counter_ = 0;
    target_ = t;
    const double rate = nominal_;
    if (t > nominal_)
        period_ = static_cast<long>(std::floor(rate / (static_cast<double>(t) - rate)));
    else if (t < nominal_)
        period_ = static_cast<long>(std::floor(rate / (rate - static_cast<double>(t))));
    else
        period_ = 0;
}

void RateAdapter::warp(const int16_t* in, int channels, const double* positions, int count, int16_t* out)
{
    for (int i = 0; i < count; ++i) {
        const double p = positions[i];
        const int k = static_cast<int>(p); // positions are never negative: truncation is the floor
        const double fraction = p - k;
        for (int c = 0; c < channels; ++c) {
            const int a = in[k * channels + c];
            // The last stretched position lies a hair (0.00015 of a frame)
            // past the last frame; the frame after the block is not known
            // yet, so the last one stands in for it.
            const int b = k + 1 < kBlockFrames ? in[(k + 1) * channels + c] : a;
            // Between two 16-bit values, so the conversion cannot overflow;
            // it truncates toward zero.
            out[i * channels + c] = static_cast<int16_t>(static_cast<int>(a + fraction * (b - a)));
        }
    }
}

int RateAdapter::process(const int16_t* in, int frames, int channels, int16_t* out)
{
    if (period_ == 0) return 0;
    int produced = 0;
    if (frames == kBlockFrames && period_ - counter_ <= frames) {
        if (target_ < nominal_) {
            warp(in, channels, stretch_, kStretchedFrames, out);
            produced = kStretchedFrames;
        } else {
            warp(in, channels, shrink_, kShrunkFrames, out);
            produced = kShrunkFrames;
        }
    }
    counter_ = (counter_ + frames) % period_;
    return produced;
}

// ---- DriftMeasurement

int DriftMeasurement::toleranceFor(int rate)
{
    return static_cast<int>(std::floor(rate * 0.0001));
}

void DriftMeasurement::setup(int rate)
{
    tolerance_ = toleranceFor(rate);
    reference_ = 0;
    previous_ = 0;
    restart();
}

void DriftMeasurement::restart()
{
    first_ = true;
    sum_ = 0;
    count_ = 0;
}

bool DriftMeasurement::add(long distanceFrames, RateAdapter& adapter)
{
    // The block that finds 300 already counted closes the stretch; its own
    // distance is in the sum as well.
    const bool closes = count_ == kBlocksPerAverage;
    sum_ += distanceFrames;
    ++count_;
    if (!closes) return false;

    const long average = sum_ / kBlocksPerAverage; // integer division truncates toward zero
    if (first_) {
        // The queue as it settled after the start is what the run keeps to.
        reference_ = average;
        first_ = false;
    } else {
        const int nominal = adapter.nominal();
        const float low = static_cast<float>(nominal - nominal / 128);
        const float high = static_cast<float>(nominal + nominal / 128);
        // Only a trend counts: an average below the reference that is
        // recovering by itself is left alone.
        if (average < reference_ - tolerance_ && previous_ >= average) {
            float t = adapter.target();
            if (t > low) t -= 1.0f;
            adapter.setTarget(t);
        } else if (average > reference_ + tolerance_ && previous_ <= average) {
            float t = adapter.target();
            if (t < high) t += 1.0f;
            adapter.setTarget(t);
        }
    }
    previous_ = average;
    sum_ = 0;
    count_ = 0;
    return true;
}

// ---- LiveWriter

int LiveWriter::writeAheadFrames(double maxDelayMs, int rate)
{
    const double d = maxDelayMs >= 5.0 ? maxDelayMs - 5.0 : 0.0;
    return static_cast<int>(std::floor(d / 1000.0 * rate));
}

void LiveWriter::begin(const Setup& setup)
{
    setup_ = setup;
    adapter_.reset(setup.rate);
    drift_.setup(setup.rate);
    positioned_ = false;
}

int LiveWriter::write(const int16_t* samples, int frames, PlaybackQueue& queue)
{
    if (frames <= 0) return 0;
    int error = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        const Outcome outcome = tryWrite(samples, frames, queue, error);
        if (outcome == Outcome::Written) return 0;
        if (outcome == Outcome::Failed) return error;
        // The device ran dry (or was suspended) and dropped its queue. It
        // starts again empty, and this block becomes a first block behind a
        // fresh write-ahead, so the latency is what it was at the start.
        const int recovered = queue.recover(error);
        if (recovered < 0) return recovered;
        xruns_.fetch_add(1, std::memory_order_relaxed);
        positioned_ = false;
    }
    // Two underruns in a row: this block is lost; the next one tries again.
    dropped_.fetch_add(frames, std::memory_order_relaxed);
    return 0;
}

LiveWriter::Outcome LiveWriter::tryWrite(const int16_t* samples, int frames, PlaybackQueue& queue,
                                         int& error)
{
    const auto fail = [&error](long code) {
        error = static_cast<int>(code);
        return code == -EPIPE || code == -ESTRPIPE ? Outcome::Underrun : Outcome::Failed;
    };
    const long queued = queue.queuedFrames();
    if (queued < 0) return fail(queued);

    if (!positioned_) {
        const long wanted = static_cast<long>(setup_.writeAheadFrames) + setup_.cursorGapFrames;
        if (queued < wanted) {
            const long r = appendSilence(queue, wanted - queued);
            if (r < 0) return fail(r);
        }
        drift_.restart();
        positioned_ = true;
    } else {
        drift_.add(queued - setup_.cursorGapFrames, adapter_);
    }

    const int16_t* out = samples;
    long n = frames;
    if (static_cast<int>(adapter_.target()) != setup_.rate) {
        const int warped = adapter_.process(samples, frames, setup_.channels, warped_);
        if (warped > 0) {
            out = warped_;
            n = warped;
        }
    }
    const long taken = append(queue, out, n);
    if (taken < 0) return fail(taken);
    // A full ring keeps what it has: the processing thread never waits here.
    if (taken < n) dropped_.fetch_add(n - taken, std::memory_order_relaxed);
    return Outcome::Written;
}

long LiveWriter::append(PlaybackQueue& queue, const int16_t* data, long frames)
{
    long done = 0;
    while (done < frames) {
        const long r = queue.write(data + done * setup_.channels, frames - done);
        if (r < 0) return r;
        if (r == 0) break;
        done += r;
    }
    return done;
}

long LiveWriter::appendSilence(PlaybackQueue& queue, long frames)
{
    static constexpr long kChunk = 256;
    static const int16_t kZeros[2 * kChunk] = {};
    long done = 0;
    while (done < frames) {
        const long chunk = std::min(kChunk, frames - done);
        const long r = append(queue, kZeros, chunk);
        if (r < 0) return r;
        done += r;
        if (r < chunk) break; // full
    }
    return done;
}

} // namespace stravik
