// Vector routines of FirConvolver for x86-64: SSE (baseline), AVX2 with FMA
// and AVX-512 F. Each function carries its own target attribute, so the file
// needs no special compiler flags; FirConvolver picks one at run time from
// cpu::features(). On other processors this file is empty and the convolver
// keeps to its scalar routine.
//
// Shared layout (set up by FirConvolver):
//  - bank: four copies of the coefficients, copyStride floats apart, 64-byte
//    aligned; copy s holds coefficient k at position k + s and is zero
//    everywhere else (before s and from taps + s to the end of the copy);
//  - lin: the linear history, newest input first (lin[j] = the input j
//    samples before the newest), 64-byte aligned, followed by zeros;
//  - out: results by distance from the newest input (out[m]).
//
// The output at distance m is  sum_k h[k] * lin[m + k].  Against copy s the
// same sum reads  sum_p copy_s[p] * lin[(m - s) + p],  so four neighbouring
// outputs m0 + s (m0 a multiple of 4) all read lin from the same aligned
// place m0; the vector lanes of each product hold partial sums of one output
// and are added together at the end.
#if defined(__x86_64__)

#include <immintrin.h>

namespace stravik::dsp::firkernels {
namespace {

// Adds the lanes of each of the four vectors: result lane s = sum of v_s.
// Works in a fixed order, so the same inputs give the same bits everywhere.
inline __m128 sumLanes4(__m128 v0, __m128 v1, __m128 v2, __m128 v3)
{
    _MM_TRANSPOSE4_PS(v0, v1, v2, v3);
    return _mm_add_ps(_mm_add_ps(v0, v1), _mm_add_ps(v2, v3));
}

inline float sumLanes(__m128 v)
{
    const __m128 hi = _mm_movehl_ps(v, v);
    const __m128 pair = _mm_add_ps(v, hi);
    const __m128 odd = _mm_shuffle_ps(pair, pair, 0x55);
    return _mm_cvtss_f32(_mm_add_ss(pair, odd));
}

__attribute__((target("avx2,fma"))) inline __m128 fold256(__m256 v)
{
    return _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
}

constexpr __mmask16 kAll16 = 0xFFFF;

__attribute__((target("avx512f,avx2,fma"))) inline __m128 fold512(__m512 v)
{
    // Upper 256 bits moved down by a lane shuffle. The all-lanes masked forms
    // here and below are the plain instructions; the unmasked intrinsics (and
    // the 512-to-256 cast) trip a false uninitialised-value warning in GCC 12.
    const __m512 swapped = _mm512_mask_shuffle_f32x4(v, kAll16, v, v, 0x4E);
    const __m512 sum = _mm512_add_ps(v, swapped);
    const __m256 low = __builtin_shufflevector(sum, sum, 0, 1, 2, 3, 4, 5, 6, 7);
    return fold256(low);
}

} // namespace

// dst[k] = src[-k] for k in 0..count-1: the ring, read backwards into the
// linear history.
void reverseCopySse(const float* src, float* dst, int count)
{
    int k = 0;
    for (; k + 4 <= count; k += 4) {
        const __m128 v = _mm_loadu_ps(src - k - 3);
        _mm_storeu_ps(dst + k, _mm_shuffle_ps(v, v, _MM_SHUFFLE(0, 1, 2, 3)));
    }
    for (; k < count; ++k) dst[k] = src[-k];
}

// ---------------------------------------------------------------- SSE
// Four outputs per pass (distances 4g .. 4g+3). Two sets of accumulators take
// alternate groups of four taps so that additions do not wait on each other.
void groupsSse(const float* bank, int copyStride, const float* lin, int taps, float* out,
               int first, int stride, int count)
{
    const int groups = (taps + 3 + 3) / 4;
    const float* c0 = bank;
    const float* c1 = bank + copyStride;
    const float* c2 = bank + 2 * copyStride;
    const float* c3 = bank + 3 * copyStride;
    for (int g = first; g < count; g += stride) {
        const int m = 4 * g;
        const float* x = lin + m;
        __m128 a0 = _mm_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
        __m128 b0 = a0, b1 = a0, b2 = a0, b3 = a0;
        int p = 0;
        const int pairEnd = (groups & ~1) * 4;
        for (; p < pairEnd; p += 8) {
            const __m128 xa = _mm_load_ps(x + p);
            const __m128 xb = _mm_load_ps(x + p + 4);
            a0 = _mm_add_ps(a0, _mm_mul_ps(_mm_load_ps(c0 + p), xa));
            a1 = _mm_add_ps(a1, _mm_mul_ps(_mm_load_ps(c1 + p), xa));
            a2 = _mm_add_ps(a2, _mm_mul_ps(_mm_load_ps(c2 + p), xa));
            a3 = _mm_add_ps(a3, _mm_mul_ps(_mm_load_ps(c3 + p), xa));
            b0 = _mm_add_ps(b0, _mm_mul_ps(_mm_load_ps(c0 + p + 4), xb));
            b1 = _mm_add_ps(b1, _mm_mul_ps(_mm_load_ps(c1 + p + 4), xb));
            b2 = _mm_add_ps(b2, _mm_mul_ps(_mm_load_ps(c2 + p + 4), xb));
            b3 = _mm_add_ps(b3, _mm_mul_ps(_mm_load_ps(c3 + p + 4), xb));
        }
        if (groups & 1) {
            const __m128 xa = _mm_load_ps(x + p);
            a0 = _mm_add_ps(a0, _mm_mul_ps(_mm_load_ps(c0 + p), xa));
            a1 = _mm_add_ps(a1, _mm_mul_ps(_mm_load_ps(c1 + p), xa));
            a2 = _mm_add_ps(a2, _mm_mul_ps(_mm_load_ps(c2 + p), xa));
            a3 = _mm_add_ps(a3, _mm_mul_ps(_mm_load_ps(c3 + p), xa));
        }
        _mm_store_ps(out + m, sumLanes4(_mm_add_ps(a0, b0), _mm_add_ps(a1, b1),
                                        _mm_add_ps(a2, b2), _mm_add_ps(a3, b3)));
    }
}

// One output per pass, for the decimating form: units j = first, first +
// stride, ... below count are the outputs at distance top - j * step.
void spacedSse(const float* bank, int copyStride, const float* lin, int taps, float* out,
               int top, int step, int first, int stride, int count)
{
    const int groups = (taps + 3 + 3) / 4;
    for (int j = first; j < count; j += stride) {
        const int m = top - j * step;
        const int s = m & 3;
        const float* c = bank + s * copyStride;
        const float* x = lin + (m - s);
        __m128 a = _mm_setzero_ps(), b = a;
        int p = 0;
        const int pairEnd = (groups & ~1) * 4;
        for (; p < pairEnd; p += 8) {
            a = _mm_add_ps(a, _mm_mul_ps(_mm_load_ps(c + p), _mm_load_ps(x + p)));
            b = _mm_add_ps(b, _mm_mul_ps(_mm_load_ps(c + p + 4), _mm_load_ps(x + p + 4)));
        }
        if (groups & 1)
            a = _mm_add_ps(a, _mm_mul_ps(_mm_load_ps(c + p), _mm_load_ps(x + p)));
        out[m] = sumLanes(_mm_add_ps(a, b));
    }
}

// ---------------------------------------------------------------- AVX2 + FMA
// Eight outputs per pass (distances 8g .. 8g+7). Every coefficient load serves
// two outputs: against lin[8g + p] (outputs 8g + s) and against lin[8g + 4 + p]
// (outputs 8g + 4 + s). The second vector is put together from two aligned
// loads with one cross-lane shuffle instead of a misaligned load.
__attribute__((target("avx2,fma"))) void groupsAvx2(const float* bank, int copyStride,
                                                    const float* lin, int taps, float* out,
                                                    int first, int stride, int count)
{
    const int steps = (taps + 3 + 7) / 8;
    const float* c0 = bank;
    const float* c1 = bank + copyStride;
    const float* c2 = bank + 2 * copyStride;
    const float* c3 = bank + 3 * copyStride;
    for (int g = first; g < count; g += stride) {
        const int m = 8 * g;
        const float* x = lin + m;
        __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
        __m256 b0 = a0, b1 = a0, b2 = a0, b3 = a0;
        __m256 cur = _mm256_load_ps(x);
        for (int p = 0; p < steps * 8; p += 8) {
            const __m256 next = _mm256_load_ps(x + p + 8);
            const __m256 shifted = _mm256_permute2f128_ps(cur, next, 0x21);
            __m256 c = _mm256_load_ps(c0 + p);
            a0 = _mm256_fmadd_ps(c, cur, a0);
            b0 = _mm256_fmadd_ps(c, shifted, b0);
            c = _mm256_load_ps(c1 + p);
            a1 = _mm256_fmadd_ps(c, cur, a1);
            b1 = _mm256_fmadd_ps(c, shifted, b1);
            c = _mm256_load_ps(c2 + p);
            a2 = _mm256_fmadd_ps(c, cur, a2);
            b2 = _mm256_fmadd_ps(c, shifted, b2);
            c = _mm256_load_ps(c3 + p);
            a3 = _mm256_fmadd_ps(c, cur, a3);
            b3 = _mm256_fmadd_ps(c, shifted, b3);
            cur = next;
        }
        _mm_store_ps(out + m, sumLanes4(fold256(a0), fold256(a1), fold256(a2), fold256(a3)));
        _mm_store_ps(out + m + 4, sumLanes4(fold256(b0), fold256(b1), fold256(b2), fold256(b3)));
    }
}

__attribute__((target("avx2,fma"))) void spacedAvx2(const float* bank, int copyStride,
                                                    const float* lin, int taps, float* out,
                                                    int top, int step, int first, int stride,
                                                    int count)
{
    const int steps = (taps + 3 + 7) / 8;
    for (int j = first; j < count; j += stride) {
        const int m = top - j * step;
        const int s = m & 3;
        const float* c = bank + s * copyStride;
        const float* x = lin + (m - s); // 16-byte aligned only
        __m256 a = _mm256_setzero_ps(), b = a;
        int p = 0;
        const int pairEnd = (steps & ~1) * 8;
        for (; p < pairEnd; p += 16) {
            a = _mm256_fmadd_ps(_mm256_load_ps(c + p), _mm256_loadu_ps(x + p), a);
            b = _mm256_fmadd_ps(_mm256_load_ps(c + p + 8), _mm256_loadu_ps(x + p + 8), b);
        }
        if (steps & 1) a = _mm256_fmadd_ps(_mm256_load_ps(c + p), _mm256_loadu_ps(x + p), a);
        out[m] = sumLanes(fold256(_mm256_add_ps(a, b)));
    }
}

// ---------------------------------------------------------------- AVX-512
// Sixteen outputs per pass (distances 16g .. 16g+15). Each coefficient load
// serves four outputs, against lin[16g + 4q + p] for q = 0..3; the three
// shifted vectors come from two aligned loads by lane rotation.
__attribute__((target("avx512f,avx2,fma"))) void groupsAvx512(const float* bank, int copyStride,
                                                              const float* lin, int taps,
                                                              float* out, int first, int stride,
                                                              int count)
{
    const int steps = (taps + 3 + 15) / 16;
    const float* c0 = bank;
    const float* c1 = bank + copyStride;
    const float* c2 = bank + 2 * copyStride;
    const float* c3 = bank + 3 * copyStride;
    for (int g = first; g < count; g += stride) {
        const int m = 16 * g;
        const float* x = lin + m;
        // a<q><s>: outputs m + 4q + s against copy s.
        __m512 a00 = _mm512_setzero_ps(), a01 = a00, a02 = a00, a03 = a00;
        __m512 a10 = a00, a11 = a00, a12 = a00, a13 = a00;
        __m512 a20 = a00, a21 = a00, a22 = a00, a23 = a00;
        __m512 a30 = a00, a31 = a00, a32 = a00, a33 = a00;
        __m512i cur = _mm512_castps_si512(_mm512_load_ps(x));
        for (int p = 0; p < steps * 16; p += 16) {
            const __m512i next = _mm512_castps_si512(_mm512_load_ps(x + p + 16));
            const __m512 v0 = _mm512_castsi512_ps(cur);
            const __m512 v1 = _mm512_castsi512_ps(_mm512_mask_alignr_epi32(cur, kAll16, next, cur, 4));
            const __m512 v2 = _mm512_castsi512_ps(_mm512_mask_alignr_epi32(cur, kAll16, next, cur, 8));
            const __m512 v3 = _mm512_castsi512_ps(_mm512_mask_alignr_epi32(cur, kAll16, next, cur, 12));
            __m512 c = _mm512_load_ps(c0 + p);
            a00 = _mm512_fmadd_ps(c, v0, a00);
            a10 = _mm512_fmadd_ps(c, v1, a10);
            a20 = _mm512_fmadd_ps(c, v2, a20);
            a30 = _mm512_fmadd_ps(c, v3, a30);
            c = _mm512_load_ps(c1 + p);
            a01 = _mm512_fmadd_ps(c, v0, a01);
            a11 = _mm512_fmadd_ps(c, v1, a11);
            a21 = _mm512_fmadd_ps(c, v2, a21);
            a31 = _mm512_fmadd_ps(c, v3, a31);
            c = _mm512_load_ps(c2 + p);
            a02 = _mm512_fmadd_ps(c, v0, a02);
            a12 = _mm512_fmadd_ps(c, v1, a12);
            a22 = _mm512_fmadd_ps(c, v2, a22);
            a32 = _mm512_fmadd_ps(c, v3, a32);
            c = _mm512_load_ps(c3 + p);
            a03 = _mm512_fmadd_ps(c, v0, a03);
            a13 = _mm512_fmadd_ps(c, v1, a13);
            a23 = _mm512_fmadd_ps(c, v2, a23);
            a33 = _mm512_fmadd_ps(c, v3, a33);
            cur = next;
        }
        _mm_store_ps(out + m, sumLanes4(fold512(a00), fold512(a01), fold512(a02), fold512(a03)));
        _mm_store_ps(out + m + 4, sumLanes4(fold512(a10), fold512(a11), fold512(a12), fold512(a13)));
        _mm_store_ps(out + m + 8, sumLanes4(fold512(a20), fold512(a21), fold512(a22), fold512(a23)));
        _mm_store_ps(out + m + 12, sumLanes4(fold512(a30), fold512(a31), fold512(a32), fold512(a33)));
    }
}

__attribute__((target("avx512f,avx2,fma"))) void spacedAvx512(const float* bank, int copyStride,
                                                              const float* lin, int taps,
                                                              float* out, int top, int step,
                                                              int first, int stride, int count)
{
    const int steps = (taps + 3 + 15) / 16;
    for (int j = first; j < count; j += stride) {
        const int m = top - j * step;
        const int s = m & 3;
        const float* c = bank + s * copyStride;
        const float* x = lin + (m - s); // 16-byte aligned only
        __m512 a = _mm512_setzero_ps(), b = a;
        int p = 0;
        const int pairEnd = (steps & ~1) * 16;
        for (; p < pairEnd; p += 32) {
            a = _mm512_fmadd_ps(_mm512_load_ps(c + p), _mm512_loadu_ps(x + p), a);
            b = _mm512_fmadd_ps(_mm512_load_ps(c + p + 16), _mm512_loadu_ps(x + p + 16), b);
        }
        if (steps & 1) a = _mm512_fmadd_ps(_mm512_load_ps(c + p), _mm512_loadu_ps(x + p), a);
        out[m] = sumLanes(fold512(_mm512_add_ps(a, b)));
    }
}

} // namespace stravik::dsp::firkernels

#endif // __x86_64__
