// The distortion's vector routines for x86-64 (AVX2 with FMA), picked at run
// time by Distortion.cpp; each function carries its own target attribute.
#if defined(__x86_64__)

#include "dsp/SimdMathX86.h"
#include "effects/tone/Distortion.h"

#include <immintrin.h>

#include <cmath>
#include <cstdint>
#include <cstring>

namespace stravik::effects::kernels {

// buf[i] = outScale * saturate(inScale * buf[i]): above 1 gives 1, below -1
// gives -1, 0 < v <= 1 gives 1 - (1 - v)^e+, -1 <= v <= 0 gives (1 + v)^e- - 1.
__attribute__((target("avx2,fma"))) void saturateAvx2(double* buf, int n, double expPositive, double expNegative,
                                                      double inScale, double outScale)
{
    const __m256d one = _mm256_set1_pd(1.0), minusOne = _mm256_set1_pd(-1.0), zero = _mm256_setzero_pd();
    const __m256d ePos = _mm256_set1_pd(expPositive), eNeg = _mm256_set1_pd(expNegative);
    const __m256d in = _mm256_set1_pd(inScale), out = _mm256_set1_pd(outScale);
    int i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m256d v = _mm256_mul_pd(in, _mm256_loadu_pd(buf + i));
        const __m256d positive = _mm256_cmp_pd(v, zero, _CMP_GT_OQ);
        const __m256d base = _mm256_blendv_pd(_mm256_add_pd(one, v), _mm256_sub_pd(one, v), positive);
        const __m256d p = dsp::simd::powPositive4(base, _mm256_blendv_pd(eNeg, ePos, positive));
        __m256d r = _mm256_blendv_pd(_mm256_sub_pd(p, one), _mm256_sub_pd(one, p), positive);
        r = _mm256_blendv_pd(r, one, _mm256_cmp_pd(v, one, _CMP_GT_OQ));
        r = _mm256_blendv_pd(r, minusOne, _mm256_cmp_pd(v, minusOne, _CMP_LT_OQ));
        r = _mm256_blendv_pd(r, v, _mm256_cmp_pd(v, v, _CMP_UNORD_Q)); // NaN stays NaN
        _mm256_storeu_pd(buf + i, _mm256_mul_pd(out, r));
    }
    for (; i < n; ++i) {
        const double v = inScale * buf[i];
        double r;
        if (v > 1.0)
            r = 1.0;
        else if (v < -1.0)
            r = -1.0;
        else if (v > 0.0)
            r = 1.0 - std::pow(1.0 - v, expPositive);
        else
            r = std::pow(1.0 + v, expNegative) - 1.0;
        buf[i] = outScale * r;
    }
}

// The Distortion mode's high-pass whose corner follows its own last output
// (see Distortion::processDistortion and the corner table there). The cell
// of the last output comes from its bits; the next output is worked out for
// each of the cell's up to three corners while the thresholds are compared,
// and the right one is blended in, so that from one output to the next the
// chain holds one load and no branch on the data. The arithmetic is the
// plain loop's, term by term (no fused multiply-adds), so the outputs are
// the same to the bit. outside[] holds b0, a1 for |h| below the table (the
// two signs) and above it. Stops after an output that is not a number or
// whose cell asks for the formula (the caller goes on from there).
__attribute__((target("avx2,fma"))) int followingHighPassAvx2(double* buf, int n, const Distortion::DynamicCell* cells,
                                                             const bool* exact, const double outside[4][2],
                                                             double state[4])
{
    __m128d b0 = _mm_set_sd(state[0]), a1 = _mm_set_sd(state[1]);
    __m128d x1 = _mm_set_sd(state[2]), y1 = _mm_set_sd(state[3]);
    const __m128d absMask = _mm_castsi128_pd(_mm_set1_epi64x(0x7FFFFFFFFFFFFFFFll));
    constexpr uint64_t kBase = static_cast<uint64_t>(1023 - 7) << 8;
    // The first output with the coefficients at hand.
    const auto step = [&](int i) {
        const __m128d x = _mm_set_sd(buf[i]);
        const __m128d h = _mm_sub_sd(_mm_sub_sd(_mm_mul_sd(b0, x), _mm_mul_sd(b0, x1)), _mm_mul_sd(a1, y1));
        x1 = x;
        y1 = h;
        _mm_store_sd(buf + i, h);
    };
    int i = 0;
    if (n > 0) step(i++);
    for (; i <= n; ++i) {
        // y1 is the last output; find the coefficients it calls for.
        const double h = _mm_cvtsd_f64(y1);
        uint64_t bits;
        std::memcpy(&bits, &h, sizeof bits);
        const uint64_t k = ((((bits << 1) >> 46) << 1) | (bits >> 63)) - kBase;
        if (k >= static_cast<uint64_t>(Distortion::kCornerCellCount) || exact[k]) {
            const double a = std::fabs(h);
            const int sign = static_cast<int>(bits >> 63);
            const int which = a >= 32.0 ? 2 + sign : (a < 1.0 / 128.0 ? sign : -1);
            if (which < 0 || (k < static_cast<uint64_t>(Distortion::kCornerCellCount) && exact[k])) break;
            b0 = _mm_set_sd(outside[which][0]);
            a1 = _mm_set_sd(outside[which][1]);
            if (i < n) step(i);
            continue;
        }
        if (i == n) {
            // The block is done; the coefficients for its last output are
            // the caller's to keep.
            const Distortion::DynamicCell& cell = cells[k];
            const double a = std::fabs(h);
            const int segment = static_cast<int>(a >= cell.threshold[0]) + static_cast<int>(a >= cell.threshold[1]);
            b0 = _mm_set_sd(cell.b0[segment]);
            a1 = _mm_set_sd(cell.a1[segment]);
            break;
        }
        const Distortion::DynamicCell& cell = cells[k];
        const __m128d x = _mm_set_sd(buf[i]);
        const __m128d a = _mm_and_pd(y1, absMask);
        // Written out in full, so that the three candidates stay in
        // registers on their way to the blend (only the low lanes count).
        const __m128d past0 = _mm_cmp_sd(a, _mm_load_sd(&cell.threshold[0]), _CMP_GE_OQ);
        const __m128d past1 = _mm_cmp_sd(a, _mm_load_sd(&cell.threshold[1]), _CMP_GE_OQ);
        const __m128d c0 = _mm_load_sd(&cell.b0[0]), c1 = _mm_load_sd(&cell.b0[1]), c2 = _mm_load_sd(&cell.b0[2]);
        const __m128d d0 = _mm_load_sd(&cell.a1[0]), d1 = _mm_load_sd(&cell.a1[1]), d2 = _mm_load_sd(&cell.a1[2]);
        const __m128d out0 = _mm_sub_sd(_mm_sub_sd(_mm_mul_sd(c0, x), _mm_mul_sd(c0, x1)), _mm_mul_sd(d0, y1));
        const __m128d out1 = _mm_sub_sd(_mm_sub_sd(_mm_mul_sd(c1, x), _mm_mul_sd(c1, x1)), _mm_mul_sd(d1, y1));
        const __m128d out2 = _mm_sub_sd(_mm_sub_sd(_mm_mul_sd(c2, x), _mm_mul_sd(c2, x1)), _mm_mul_sd(d2, y1));
        const __m128d hNext = _mm_blendv_pd(_mm_blendv_pd(out0, out1, past0), out2, past1);
        // The coefficients used, for where the loop stops.
        b0 = _mm_blendv_pd(_mm_blendv_pd(c0, c1, past0), c2, past1);
        a1 = _mm_blendv_pd(_mm_blendv_pd(d0, d1, past0), d2, past1);
        x1 = x;
        y1 = hNext;
        _mm_store_sd(buf + i, hNext);
    }
    state[0] = _mm_cvtsd_f64(b0);
    state[1] = _mm_cvtsd_f64(a1);
    state[2] = _mm_cvtsd_f64(x1);
    state[3] = _mm_cvtsd_f64(y1);
    return i < n ? i : n;
}

} // namespace stravik::effects::kernels

#endif // __x86_64__
