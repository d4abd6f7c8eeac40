#include "effects/modulation/PitchShifter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace stravik::effects {

PitchShifter::Segments PitchShifter::segmentsFor(int type)
{
    static constexpr Segments kTable[5] = {{200, 100}, {256, 128}, {512, 256}, {768, 384}, {1024, 512}};
    return kTable[std::clamp(type, 0, 4)];
}

PitchShifter::PitchShifter(PitchParams& params, EffectContext& context)
    : params_(params), context_(context), search_(splice::fastest())
{
    start(48000);
}

void PitchShifter::start(int sampleRate)
{
    // Before the run's first block: the settings go straight in.
    search_ = splice::fastest();
    std::lock_guard hold(handoff_);
    staged_ = derive(sampleRate > 0 ? sampleRate : 48000, staged_);
    stagedPending_ = false;
    pending_.store(false, std::memory_order_relaxed);
    adopt(staged_);
}

void PitchShifter::prepare()
{
    std::lock_guard hold(handoff_);
    staged_ = derive(staged_.sampleRate, staged_);
    stagedPending_ = true;
    pending_.store(true, std::memory_order_release);
}

PitchShifter::Settings PitchShifter::derive(int sampleRate, const Settings& before) const
{
    Settings s = before;
    s.sampleRate = sampleRate;
    s.seg = segmentsFor(params_.pitch_type.get());
    // The work runs at about 22 kHz: every sample at 22050 Hz, pairs of
    // samples at 44100 and 48000 Hz.
    s.divisor = std::clamp(static_cast<int>(sampleRate / 22050.0 + 0.5), 1, 2);
    const float oct = params_.pitch_oct.get();
    if (!(oct > 0.0f) || !std::isfinite(oct)) {
        // A preset without the key stores 0: no ratio at all, so nothing
        // is shifted (rather than dividing by it or dropping an octave).
        s.ratio = 1.0f;
    } else {
        s.ratio = std::clamp(oct, kMinRatio, kMaxRatio);
    }
    s.bypass = s.ratio >= 0.995 && s.ratio <= 1.005;
    if (!s.bypass) s.passFactor = s.ratio >= 1.0f ? 1.0f / (s.ratio - 1.0f) : s.ratio / (1.0f - s.ratio);
    return s;
}

void PitchShifter::adopt(const Settings& s)
{
    sampleRate_ = s.sampleRate;
    seg_ = s.seg;
    divisor_ = s.divisor;
    ratio_ = s.ratio;
    bypass_ = s.bypass;
    passFactor_ = s.passFactor;
    stats_ = Stats{};
    clearLocked();
}

void PitchShifter::clearLocked()
{
    // The search starts on two segments of silence, so the shifted voice
    // fades in from nothing.
    std::memset(analysis_, 0, sizeof(analysis_));
    analysisCount_ = 2 * seg_.longest;
    stretchedCount_ = 0;
    readPosition_ = 0.0;
    roundingError_ = 0.0f;
    pendingPassThrough_ = 0;
    haveOddSample_ = false;
    oddSample_ = 0.0;
}

void PitchShifter::process(double* buf, int n)
{
    if (n <= 0) return;
    // A prepare since the last block restarts the shifted voice here, unless
    // its builder holds the hand-over at this very moment (then at the next
    // block).
    if (pending_.load(std::memory_order_acquire)) {
        std::unique_lock hold(handoff_, std::try_to_lock);
        if (hold.owns_lock() && stagedPending_) {
            const Settings s = staged_;
            stagedPending_ = false;
            pending_.store(false, std::memory_order_relaxed);
            hold.unlock();
            adopt(s);
        }
    }
    // Within half a percent of the original pitch the block is left alone:
    // not even the dry/wet mix is applied.
    if (bypass_) return;
    for (int done = 0; done < n; done += kMaxBlock) processPiece(buf + done, std::min(kMaxBlock, n - done));
}

int PitchShifter::decimate(const double* buf, int n)
{
    if (divisor_ == 1) {
        std::memcpy(scratch_, buf, sizeof(double) * static_cast<size_t>(n));
        return n;
    }
    // Pairs are averaged. A block of odd length keeps its last sample for
    // the next block: dropping it would lose half an internal sample per
    // block while the read-back still advances the full block, and the
    // stretched signal would slowly run dry.
    int m = 0;
    int i = 0;
    if (haveOddSample_) {
        scratch_[m++] = (oddSample_ + buf[0]) / 2.0;
        haveOddSample_ = false;
        i = 1;
    }
    for (; i + 1 < n; i += 2) scratch_[m++] = (buf[i] + buf[i + 1]) / 2.0;
    if (i < n) {
        haveOddSample_ = true;
        oddSample_ = buf[i];
    }
    return m;
}

void PitchShifter::appendStretched(const double* src, int count)
{
    // Normal operation stays far below the capacity; the limit only keeps a
    // fault from writing past the buffer.
    count = std::min(count, kStretchedSize - stretchedCount_);
    if (count <= 0) return;
    std::memcpy(stretched_ + stretchedCount_, src, sizeof(double) * static_cast<size_t>(count));
    stretchedCount_ += count;
}

void PitchShifter::appendAnalysis(const double* src, int count)
{
    if (count <= 0) return;
    const int excess = analysisCount_ + count - kAnalysisSize;
    if (excess > 0) {
        // Never in normal operation (the buffer holds about two segments);
        // the oldest samples make room.
        std::memmove(analysis_, analysis_ + excess, sizeof(double) * static_cast<size_t>(analysisCount_ - excess));
        analysisCount_ -= excess;
    }
    std::memcpy(analysis_ + analysisCount_, src, sizeof(double) * static_cast<size_t>(count));
    analysisCount_ += count;
}

void PitchShifter::splice(int target)
{
    const int width = seg_.longest;
    while (stretchedCount_ < target) {
        if (pendingPassThrough_ > 0) {
            // The pass-through still owes its samples and the analysis
            // buffer holds none of them yet: a splice now would be cut from
            // stale data and would drop the rest of the pass-through. The
            // shortfall is a rounding-sized one, and the pass-through
            // delivers the missing samples with the next blocks.
            ++stats_.passThroughWaits;
            break;
        }
        if (analysisCount_ < 2 * width) ++stats_.shortSearches;
        const int before = stretchedCount_;
        const int len = search_(analysis_, seg_.shortest, width, width).length;
        int offset;
        const float span = static_cast<float>(len - 1);
        if (ratio_ >= 1.0f) {
            // Stretch: the segment is played, then played again fading from
            // the next segment into it, so the join matches on both sides.
            appendStretched(analysis_, len);
            for (int i = 0; i < len; ++i) {
                const float w = static_cast<float>(i) / span;
                const float next = static_cast<float>(analysis_[len + i]);
                const float now = static_cast<float>(analysis_[i]);
                analysis_[i] = (1.0f - w) * next + w * now;
            }
            offset = 0;
        } else {
            // Shorten: two segments merge into one.
            for (int i = 0; i < len; ++i) {
                const float w = static_cast<float>(i) / span;
                const float now = static_cast<float>(analysis_[i]);
                const float next = static_cast<float>(analysis_[len + i]);
                analysis_[len + i] = (1.0f - w) * now + w * next;
            }
            offset = len;
        }
        ++stats_.splices;

        // Plain signal between splices, so that the whole comes out r times
        // as long. The fraction lost to truncation is carried to the next
        // splice.
        const float exact = static_cast<float>(len) * passFactor_;
        int pass = static_cast<int>(exact);
        roundingError_ += static_cast<float>(pass) - exact;
        if (roundingError_ >= 0.5f) {
            --pass;
            roundingError_ -= 1.0f;
        } else if (roundingError_ <= -0.5f) {
            ++pass;
            roundingError_ += 1.0f;
        }
        pass = std::max(pass, 0);

        if (offset + pass <= analysisCount_) {
            appendStretched(analysis_ + offset, pass);
            const int used = offset + pass;
            std::memmove(analysis_, analysis_ + used, sizeof(double) * static_cast<size_t>(analysisCount_ - used));
            analysisCount_ -= used;
            if (stretchedCount_ == before) break; // stretched buffer full: a fault, but no endless loop
        } else {
            // The pass-through reaches beyond the input so far: copy what is
            // there and let the rest go straight through as it arrives.
            const int copied = std::max(analysisCount_ - offset, 0);
            appendStretched(analysis_ + offset, copied);
            pendingPassThrough_ = pass - copied;
            analysisCount_ = 0;
            break;
        }
    }
}

double PitchShifter::readBack(double position)
{
    const int last = stretchedCount_ - 1;
    if (last < 0) {
        ++stats_.readsPastEnd;
        return 0.0;
    }
    int j = static_cast<int>(position);
    if (j < 0) j = 0;
    if (j > last) {
        // Past the end. Just past it (the single-precision target can fall a
        // sample short) the slope of the last two samples continues; further
        // out (the stretched signal fell behind) the last sample is held.
        // Never what is left of older blocks beyond the end.
        ++stats_.readsPastEnd;
        if (last == 0) return stretched_[0];
        const double beyond = position - last;
        if (beyond >= 2.0) return stretched_[last];
        return stretched_[last] + (stretched_[last] - stretched_[last - 1]) * beyond;
    }
    const double a = stretched_[j];
    double b;
    if (j < last)
        b = stretched_[j + 1];
    else
        b = j > 0 ? 2.0 * a - stretched_[j - 1] : a; // the next sample is not there yet: continue the slope
    return a + (b - a) * (position - j);
}

void PitchShifter::processPiece(double* buf, int n)
{
    const int m = decimate(buf, n);

    // The stretched samples the read-back needs by the end of this block:
    // m internal samples times the ratio. Counted from the block's own length,
    // which is the same for even lengths and stays right when an odd length
    // keeps a sample back for the next block.
    const float needed = static_cast<float>(n) * ratio_ / static_cast<float>(divisor_)
                         + static_cast<float>(readPosition_);
    const int target = std::clamp(static_cast<int>(std::floor(needed)), 0, kStretchedSize - 2);

    if (pendingPassThrough_ > 0) {
        if (pendingPassThrough_ > m) {
            appendStretched(scratch_, m);
            pendingPassThrough_ -= m;
        } else {
            appendStretched(scratch_, pendingPassThrough_);
            appendAnalysis(scratch_ + pendingPassThrough_, m - pendingPassThrough_);
            pendingPassThrough_ = 0;
        }
    } else {
        appendAnalysis(scratch_, m);
    }

    splice(target);

    const double step = static_cast<double>(ratio_) / divisor_;
    const double dry = params_.pitch_dry.get();
    const double wet = 1.0 - dry;
    for (int i = 0; i < n; ++i) {
        const double y = readBack(readPosition_);
        buf[i] = wet * y + dry * buf[i];
        readPosition_ += step;
    }

    if (stretchedCount_ > target) {
        std::memmove(stretched_, stretched_ + target, sizeof(double) * static_cast<size_t>(stretchedCount_ - target));
        stretchedCount_ -= target;
        readPosition_ -= target;
    } else if (readPosition_ - stretchedCount_ > seg_.longest) {
        // A whole segment behind: no longer a rounding matter. Start the
        // shifted voice again as after a prepare instead of letting the read
        // position run away.
        ++stats_.restarts;
        clearLocked();
    }
}

float PitchShifter::ratio()
{
    std::lock_guard hold(handoff_);
    return staged_.ratio;
}

int PitchShifter::divisor()
{
    std::lock_guard hold(handoff_);
    return staged_.divisor;
}

float PitchShifter::passThroughFactor()
{
    std::lock_guard hold(handoff_);
    return staged_.passFactor;
}

PitchShifter::Segments PitchShifter::segments()
{
    std::lock_guard hold(handoff_);
    return staged_.seg;
}

PitchShifter::Stats PitchShifter::stats() { return stats_; }

void PitchShifter::setSearch(splice::SearchFn search) { search_ = search ? search : splice::fastest(); }

} // namespace stravik::effects
