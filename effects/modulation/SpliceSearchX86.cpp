// Vector routines of the splice search for x86-64: AVX2 and SSE2. The AVX2
// function carries its own target attribute, so the file needs no special
// compiler flags; the pitch shifter picks a routine at run time
// (SpliceSearch.cpp). On other processors this file is empty.
//
// Lanes run across lengths, not across j: lane l of accumulator v holds the
// sum for length first + 4v + l and adds |a[len + j] - a[j]| for j = 0, 1,
// 2, ... one at a time, exactly as the plain loop does. The loads of
// a[first + j ...] are contiguous and a[j] is one broadcast shared by all
// accumulators. A group of lengths whose partial sums have all reached the
// best sum so far stops early: it cannot win any more.
#if defined(__x86_64__)

#include "effects/modulation/SpliceSearch.h"

#include <cmath>
#include <immintrin.h>

namespace stravik::effects::splice {
namespace {

// Sums for 4 * kVectors consecutive lengths starting at first, into out.
// Every kCheck terms the partial sums are compared with bound, the best sum
// of the shorter lengths: once none of them is below it, none of these
// lengths can win (adding terms of 0 or more never lowers a sum, and an equal
// sum loses to the shorter length), and the rest of the work is skipped. The
// partial sums then stand in for the sums, all of them at least the bound.
template <int kVectors>
__attribute__((target("avx2"))) inline void laneSumsAvx2(const double* a, int first, int width, double bound,
                                                         double* out)
{
    constexpr int kCheck = 64;
    // The loops over v are unrolled so the accumulators live in registers.
    __m256d acc[kVectors];
#pragma GCC unroll 16
    for (int v = 0; v < kVectors; ++v) acc[v] = _mm256_setzero_pd();
    // fabs: the sign bit cleared.
    const __m256d magnitude = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffffLL));
    const __m256d limit = _mm256_set1_pd(bound);
    const double* shifted = a + first;
    for (int start = 0; start < width; start += kCheck) {
        const int stop = start + kCheck < width ? start + kCheck : width;
        for (int j = start; j < stop; ++j) {
            const __m256d now = _mm256_broadcast_sd(a + j);
#pragma GCC unroll 16
            for (int v = 0; v < kVectors; ++v) {
                const __m256d d = _mm256_sub_pd(_mm256_loadu_pd(shifted + j + 4 * v), now);
                acc[v] = _mm256_add_pd(acc[v], _mm256_and_pd(d, magnitude));
            }
        }
        __m256d below = _mm256_cmp_pd(acc[0], limit, _CMP_LT_OQ);
#pragma GCC unroll 16
        for (int v = 1; v < kVectors; ++v) below = _mm256_or_pd(below, _mm256_cmp_pd(acc[v], limit, _CMP_LT_OQ));
        if (_mm256_movemask_pd(below) == 0) break;
    }
#pragma GCC unroll 16
    for (int v = 0; v < kVectors; ++v) _mm256_storeu_pd(out + 4 * v, acc[v]);
}

// The same with two lanes per register: SSE2, which every x86-64 processor
// has, for when AVX2 is missing.
template <int kVectors>
inline void laneSumsSse2(const double* a, int first, int width, double bound, double* out)
{
    constexpr int kCheck = 64;
    __m128d acc[kVectors];
#pragma GCC unroll 16
    for (int v = 0; v < kVectors; ++v) acc[v] = _mm_setzero_pd();
    const __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffffLL));
    const __m128d limit = _mm_set1_pd(bound);
    const double* shifted = a + first;
    for (int start = 0; start < width; start += kCheck) {
        const int stop = start + kCheck < width ? start + kCheck : width;
        for (int j = start; j < stop; ++j) {
            const __m128d now = _mm_set1_pd(a[j]);
#pragma GCC unroll 16
            for (int v = 0; v < kVectors; ++v) {
                const __m128d d = _mm_sub_pd(_mm_loadu_pd(shifted + j + 2 * v), now);
                acc[v] = _mm_add_pd(acc[v], _mm_and_pd(d, magnitude));
            }
        }
        __m128d below = _mm_cmplt_pd(acc[0], limit);
#pragma GCC unroll 16
        for (int v = 1; v < kVectors; ++v) below = _mm_or_pd(below, _mm_cmplt_pd(acc[v], limit));
        if (_mm_movemask_pd(below) == 0) break;
    }
#pragma GCC unroll 16
    for (int v = 0; v < kVectors; ++v) _mm_storeu_pd(out + 2 * v, acc[v]);
}

} // namespace

__attribute__((target("avx2"))) Result bestSpliceAvx2(const double* a, int shortest, int longest, int width)
{
    // Eight accumulators keep both adders busy while each waits on its own
    // previous addition; with the broadcast and the mask that is 10 of the
    // 16 registers.
    constexpr int kWide = 8;
    detail::Best best(shortest);
    double sums[4 * kWide];
    int len = shortest;
    for (; len + 4 * kWide - 1 <= longest; len += 4 * kWide) {
        laneSumsAvx2<kWide>(a, len, width, best.result.sum, sums);
        for (int l = 0; l < 4 * kWide; ++l) best.take(len + l, sums[l]);
    }
    for (; len + 3 <= longest; len += 4) {
        laneSumsAvx2<1>(a, len, width, best.result.sum, sums);
        for (int l = 0; l < 4; ++l) best.take(len + l, sums[l]);
    }
    for (; len <= longest; ++len) {
        double sum = 0.0;
        for (int j = 0; j < width; ++j) sum += std::fabs(a[len + j] - a[j]);
        best.take(len, sum);
    }
    return best.result;
}

Result bestSpliceSse2(const double* a, int shortest, int longest, int width)
{
    constexpr int kWide = 8;
    detail::Best best(shortest);
    double sums[2 * kWide];
    int len = shortest;
    for (; len + 2 * kWide - 1 <= longest; len += 2 * kWide) {
        laneSumsSse2<kWide>(a, len, width, best.result.sum, sums);
        for (int l = 0; l < 2 * kWide; ++l) best.take(len + l, sums[l]);
    }
    for (; len + 1 <= longest; len += 2) {
        laneSumsSse2<1>(a, len, width, best.result.sum, sums);
        for (int l = 0; l < 2; ++l) best.take(len + l, sums[l]);
    }
    for (; len <= longest; ++len) {
        double sum = 0.0;
        for (int j = 0; j < width; ++j) sum += std::fabs(a[len + j] - a[j]);
        best.take(len, sum);
    }
    return best.result;
}

} // namespace stravik::effects::splice

#endif
