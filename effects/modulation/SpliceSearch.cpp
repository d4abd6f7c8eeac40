#include "effects/modulation/SpliceSearch.h"

#include "dsp/CpuFeatures.h"

#include <algorithm>
#include <cmath>

namespace stravik::effects::splice {

Result bestSplicePlain(const double* a, int shortest, int longest, int width)
{
    detail::Best best(shortest);
    for (int len = shortest; len <= longest; ++len) {
        double sum = 0.0;
        for (int j = 0; j < width; ++j) sum += std::fabs(a[len + j] - a[j]);
        best.take(len, sum);
    }
    return best.result;
}

namespace {

// Sums for kLanes consecutive lengths starting at first, into out. Stops
// early once no partial sum is below bound (the best sum of the shorter
// lengths): adding terms of 0 or more never lowers a sum, and an equal sum
// loses to the shorter length, so none of these lengths can win any more.
template <int kLanes>
inline void laneSums(const double* a, int first, int width, double bound, double* out)
{
    constexpr int kCheck = 64;
    double acc[kLanes] = {};
    const double* shifted = a + first;
    for (int start = 0; start < width; start += kCheck) {
        const int stop = std::min(start + kCheck, width);
        for (int j = start; j < stop; ++j) {
            const double now = a[j];
#pragma GCC unroll 16
            for (int l = 0; l < kLanes; ++l) acc[l] += std::fabs(shifted[j + l] - now);
        }
        bool anyBelow = false;
        for (int l = 0; l < kLanes; ++l) anyBelow |= acc[l] < bound;
        if (!anyBelow) break;
    }
    for (int l = 0; l < kLanes; ++l) out[l] = acc[l];
}

} // namespace

Result bestSpliceScalar(const double* a, int shortest, int longest, int width)
{
    constexpr int kGroup = 16;
    detail::Best best(shortest);
    int len = shortest;
    double sums[kGroup];
    for (; len + kGroup - 1 <= longest; len += kGroup) {
        laneSums<kGroup>(a, len, width, best.result.sum, sums);
        for (int l = 0; l < kGroup; ++l) best.take(len + l, sums[l]);
    }
    for (; len <= longest; ++len) {
        laneSums<1>(a, len, width, best.result.sum, sums);
        best.take(len, sums[0]);
    }
    return best.result;
}

#if !defined(__x86_64__)
// Elsewhere the vector routines are the portable one, so a call on another
// processor still gives the right answer.
Result bestSpliceAvx2(const double* a, int shortest, int longest, int width)
{
    return bestSpliceScalar(a, shortest, longest, width);
}
Result bestSpliceSse2(const double* a, int shortest, int longest, int width)
{
    return bestSpliceScalar(a, shortest, longest, width);
}
#endif

bool avx2Usable()
{
#if defined(__x86_64__)
    return dsp::cpu::avx2Allowed();
#else
    return false;
#endif
}

bool sse2Usable()
{
#if defined(__x86_64__)
    return dsp::cpu::simdAllowed() && (dsp::cpu::features() & dsp::cpu::kSse2) != 0;
#else
    return false;
#endif
}

SearchFn fastest()
{
    if (avx2Usable()) return &bestSpliceAvx2;
    if (sse2Usable()) return &bestSpliceSse2;
    return &bestSpliceScalar;
}

} // namespace stravik::effects::splice
