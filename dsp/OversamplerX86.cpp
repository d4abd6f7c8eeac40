// The oversampler's polyphase routines for x86-64 (AVX2 with FMA), picked at
// run time by Oversampler.cpp whenever the general convolver would take its
// AVX2 routine for the same kernels. They give that routine's results to the
// bit while skipping what it spends on zeros:
//
//  - Interpolation. Three of every four inputs are zero-stuffed zeros, so the
//    output at t = 4i + phase only meets taps k = phase (mod 4). The AVX2
//    routine sums an output's taps in eight lanes by k (mod 8), one fused
//    multiply-add after another in rising k, then adds the lanes; all but
//    two of them hold exact zeros. So the output is chain(k = phase mod 8) +
//    chain(k = phase + 4 mod 8), and eight neighbouring outputs of one phase
//    read the input history at eight neighbouring places.
//  - Decimation. Only every fourth output is kept. The AVX2 routine sums a
//    kept output's taps in sixteen chains by k + 3 (mod 16) (the shift of the
//    coefficient copy its position selects, which is 3 for every kept output
//    of a block of 4n samples), then adds them in a fixed tree. Here eight
//    kept outputs are lanes of one vector; each chain term reads one of the
//    four phases of the input, laid out side by side.
#if defined(__x86_64__)

#include "dsp/OversamplerX86.h"

#include <immintrin.h>

namespace stravik::dsp::oversampling {

namespace {

template <int Taps>
__attribute__((target("avx2,fma"))) void interpolateFixed(const float* h, const float* x, int n, float* out)
{
    for (int phase = 0; phase < 4; ++phase) {
        float* o = out + phase * kMaxChunk;
        for (int i0 = 0; i0 < n; i0 += 8) {
            __m256 a = _mm256_setzero_ps();
            for (int k = phase, back = 0; k < Taps; k += 8, back += 2)
                a = _mm256_fmadd_ps(_mm256_set1_ps(h[k]), _mm256_loadu_ps(x + i0 - back), a);
            __m256 b = _mm256_setzero_ps();
            for (int k = phase + 4, back = 1; k < Taps; k += 8, back += 2)
                b = _mm256_fmadd_ps(_mm256_set1_ps(h[k]), _mm256_loadu_ps(x + i0 - back), b);
            _mm256_storeu_ps(o + i0, _mm256_add_ps(a, b));
        }
    }
}

} // namespace

bool interpolateAvx2(const float* h, int taps, const float* x, int n, float* out)
{
    if (taps != 85) return false;
    interpolateFixed<85>(h, x, n, out);
    return true;
}

namespace {

// Extent: the chains' length, the coefficient copy's whole eight-float steps
// past its shift of 3. Chain r sums the terms q = r, r + 16, ... below it;
// term q is coefficient k = q - 3 (a zero of the copy outside the kernel,
// which the routine multiplies too) against input z[4j - k], which is phase
// (-k) & 3 of the input, (k + phase) / 4 samples back.
template <int Extent>
__attribute__((target("avx2,fma"))) void decimateFixed(const float* h, int taps, const float* const phases[4],
                                                       int n, float* out)
{
    float coefficient[Extent];
    const float* source[Extent];
    for (int q = 0; q < Extent; ++q) {
        const int k = q - 3;
        coefficient[q] = k >= 0 && k < taps ? h[k] : 0.0f;
        const int phase = (-k) & 3;
        source[q] = phases[phase] - (k + phase) / 4;
    }
    for (int j0 = 0; j0 < n; j0 += 8) {
        // Lane l of the routine's two accumulators ends as chain l plus
        // chain l + 8; its halves are then added (l and l + 4), and the four
        // results as (0 + 2) + (1 + 3).
        __m256 lane[8];
        for (int l = 0; l < 8; ++l) {
            __m256 a = _mm256_setzero_ps(), b = _mm256_setzero_ps();
            for (int q = l; q < Extent; q += 16)
                a = _mm256_fmadd_ps(_mm256_set1_ps(coefficient[q]), _mm256_loadu_ps(source[q] + j0), a);
            for (int q = l + 8; q < Extent; q += 16)
                b = _mm256_fmadd_ps(_mm256_set1_ps(coefficient[q]), _mm256_loadu_ps(source[q] + j0), b);
            lane[l] = _mm256_add_ps(a, b);
        }
        __m256 half[4];
        for (int l = 0; l < 4; ++l) half[l] = _mm256_add_ps(lane[l], lane[l + 4]);
        _mm256_storeu_ps(out + j0,
                         _mm256_add_ps(_mm256_add_ps(half[0], half[2]), _mm256_add_ps(half[1], half[3])));
    }
}

} // namespace

bool decimateAvx2(const float* h, int taps, const float* const phases[4], int n, float* out)
{
    switch ((taps + 3 + 7) / 8 * 8) {
    case 72: decimateFixed<72>(h, taps, phases, n, out); return true;
    case 80: decimateFixed<80>(h, taps, phases, n, out); return true;
    default: return false;
    }
}

} // namespace stravik::dsp::oversampling

#endif
