#pragma once
// New filter designs from the window's thread reach the audio thread without
// either side waiting for the other: the designer fills a staged set under a
// mutex and raises a flag; the audio thread, at the start of a block, takes
// the staged coefficients over only when it gets the mutex at once (otherwise
// it keeps the old ones for one more block). The audio side's filters keep
// their histories, so a redesign while playing does not click.
#include "dsp/IirFilter.h"

#include <atomic>
#include <mutex>

namespace stravik::effects {

// Copies coefficients, order and input gain; the histories and the dry gain
// of live stay as they are.
inline void adoptCoefficients(dsp::IirFilter& live, const dsp::IirFilter& design)
{
    using F = dsp::IirFilter;
    const double b[5] = {design.coefficient(F::kB0), design.coefficient(F::kB1), design.coefficient(F::kB2),
                         design.coefficient(F::kB3), design.coefficient(F::kB4)};
    const double a[4] = {design.coefficient(F::kA1), design.coefficient(F::kA2), design.coefficient(F::kA3),
                         design.coefficient(F::kA4)};
    live.setCoefficients(design.order(), b, a);
    live.setInputGain(design.inputGain());
}

template <int N>
class FilterHandoff {
public:
    // Designer side (any thread but the audio thread): design(filters) fills
    // the N staged filters.
    template <typename Design>
    void publish(Design&& design)
    {
        std::lock_guard lock(mutex_);
        design(staged_);
        pending_.store(true, std::memory_order_release);
    }

    // Audio side: takes a waiting design over if the designer is not busy.
    // Never blocks. Returns true when new coefficients were taken.
    bool adoptInto(dsp::IirFilter* live)
    {
        if (!pending_.load(std::memory_order_acquire)) return false;
        std::unique_lock lock(mutex_, std::try_to_lock);
        if (!lock.owns_lock()) return false;
        for (int i = 0; i < N; ++i) adoptCoefficients(live[i], staged_[i]);
        pending_.store(false, std::memory_order_relaxed);
        return true;
    }

    bool pending() const { return pending_.load(std::memory_order_acquire); }

private:
    std::mutex mutex_;
    dsp::IirFilter staged_[N];
    std::atomic<bool> pending_{false};
};

} // namespace stravik::effects
