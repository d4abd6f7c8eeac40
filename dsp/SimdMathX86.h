#pragma once
// exp, log, pow and sin on four doubles at once (AVX2 with FMA), for the
// per-sample loops of the effects' vector routines. Include only from files
// whose functions carry the same target attribute (the *X86.cpp routines).
//
// Each agrees with the C library to one or two units in the last place over
// the ranges the effects use (checked by tests against std::exp, std::log,
// std::pow and std::sin): the effects' results then match the plain loops to
// rounding, far below anything audible or any tolerance of theirs.
//  - exp4: x up to 709; below -708 the result is 0 (the chain flushes such
//    values to zero anyway), above 709 infinity.
//  - log4: x > 0; 0 and values below the smallest normal give -infinity.
//  - powPositive4: b >= 0, e > 0; b = 0 gives 0.
//  - sin4: |x| up to about 1e5 (arguments are reduced by pi/2 in three
//    parts); the effects pass a few periods at most.
#if defined(__x86_64__)

#include <immintrin.h>

#include <cstdint>

namespace stravik::dsp::simd {

#define STRAVIK_AVX2 __attribute__((target("avx2,fma"), always_inline)) inline

STRAVIK_AVX2 __m256d exp4(__m256d x)
{
    const __m256d lo = _mm256_set1_pd(-708.0), hi = _mm256_set1_pd(709.0);
    const __m256d tooSmall = _mm256_cmp_pd(x, lo, _CMP_LT_OQ);
    const __m256d tooLarge = _mm256_cmp_pd(x, hi, _CMP_GT_OQ);
    x = _mm256_min_pd(_mm256_max_pd(x, lo), hi);
    // x = k ln2 + r, |r| <= ln2 / 2; k rounded with the 1.5 * 2^52 trick,
    // which also leaves k in the low bits.
    const __m256d magic = _mm256_set1_pd(6755399441055744.0);
    const __m256d t = _mm256_fmadd_pd(x, _mm256_set1_pd(1.4426950408889634), magic);
    const __m256d k = _mm256_sub_pd(t, magic);
    __m256d r = _mm256_fnmadd_pd(k, _mm256_set1_pd(6.93147180369123816490e-01), x);
    r = _mm256_fnmadd_pd(k, _mm256_set1_pd(1.90821492927058770002e-10), r);
    // e^r by its series to r^13 (the next term is below 1e-17 here).
    __m256d p = _mm256_set1_pd(1.0 / 6227020800.0);
    p = _mm256_fmadd_pd(p, r, _mm256_set1_pd(1.0 / 479001600.0));
    p = _mm256_fmadd_pd(p, r, _mm256_set1_pd(1.0 / 39916800.0));
    p = _mm256_fmadd_pd(p, r, _mm256_set1_pd(1.0 / 3628800.0));
    p = _mm256_fmadd_pd(p, r, _mm256_set1_pd(1.0 / 362880.0));
    p = _mm256_fmadd_pd(p, r, _mm256_set1_pd(1.0 / 40320.0));
    p = _mm256_fmadd_pd(p, r, _mm256_set1_pd(1.0 / 5040.0));
    p = _mm256_fmadd_pd(p, r, _mm256_set1_pd(1.0 / 720.0));
    p = _mm256_fmadd_pd(p, r, _mm256_set1_pd(1.0 / 120.0));
    p = _mm256_fmadd_pd(p, r, _mm256_set1_pd(1.0 / 24.0));
    p = _mm256_fmadd_pd(p, r, _mm256_set1_pd(1.0 / 6.0));
    p = _mm256_fmadd_pd(p, r, _mm256_set1_pd(0.5));
    p = _mm256_fmadd_pd(p, r, _mm256_set1_pd(1.0));
    p = _mm256_fmadd_pd(p, r, _mm256_set1_pd(1.0));
    // Times 2^k, by adding k to the exponent field.
    const __m256i kBits = _mm256_sub_epi64(_mm256_castpd_si256(t), _mm256_castpd_si256(magic));
    __m256d result = _mm256_castsi256_pd(_mm256_add_epi64(_mm256_castpd_si256(p), _mm256_slli_epi64(kBits, 52)));
    result = _mm256_andnot_pd(tooSmall, result);
    return _mm256_blendv_pd(result, _mm256_set1_pd(__builtin_inf()), tooLarge);
}

STRAVIK_AVX2 __m256d log4(__m256d x)
{
    const __m256d tiny = _mm256_cmp_pd(x, _mm256_set1_pd(2.2250738585072014e-308), _CMP_LT_OQ);
    const __m256i bits = _mm256_castpd_si256(x);
    // x = m 2^e with m in [sqrt(1/2), sqrt(2)).
    const __m256i mantissaMask = _mm256_set1_epi64x(0x000FFFFFFFFFFFFFll);
    const __m256i one = _mm256_set1_epi64x(0x3FF0000000000000ll);
    __m256d m = _mm256_castsi256_pd(_mm256_or_si256(_mm256_and_si256(bits, mantissaMask), one));
    __m256i e = _mm256_sub_epi64(_mm256_srli_epi64(bits, 52), _mm256_set1_epi64x(1023));
    const __m256d big = _mm256_cmp_pd(m, _mm256_set1_pd(1.4142135623730951), _CMP_GT_OQ);
    m = _mm256_blendv_pd(m, _mm256_mul_pd(m, _mm256_set1_pd(0.5)), big);
    e = _mm256_add_epi64(e, _mm256_and_si256(_mm256_castpd_si256(big), _mm256_set1_epi64x(1)));
    // The exponent as a double: add it into the mantissa of 2^52 and take 2^52 away.
    const __m256d two52 = _mm256_set1_pd(4503599627370496.0);
    const __m256d ed = _mm256_sub_pd(
        _mm256_castsi256_pd(_mm256_add_epi64(_mm256_castpd_si256(_mm256_set1_pd(4503599627370496.0 + 2048.0)), e)),
        _mm256_add_pd(two52, _mm256_set1_pd(2048.0)));
    // log m = 2 atanh(s), s = (m - 1) / (m + 1), |s| < 0.1716.
    const __m256d s = _mm256_div_pd(_mm256_sub_pd(m, _mm256_set1_pd(1.0)), _mm256_add_pd(m, _mm256_set1_pd(1.0)));
    const __m256d s2 = _mm256_mul_pd(s, s);
    __m256d q = _mm256_set1_pd(2.0 / 23.0);
    q = _mm256_fmadd_pd(q, s2, _mm256_set1_pd(2.0 / 21.0));
    q = _mm256_fmadd_pd(q, s2, _mm256_set1_pd(2.0 / 19.0));
    q = _mm256_fmadd_pd(q, s2, _mm256_set1_pd(2.0 / 17.0));
    q = _mm256_fmadd_pd(q, s2, _mm256_set1_pd(2.0 / 15.0));
    q = _mm256_fmadd_pd(q, s2, _mm256_set1_pd(2.0 / 13.0));
    q = _mm256_fmadd_pd(q, s2, _mm256_set1_pd(2.0 / 11.0));
    q = _mm256_fmadd_pd(q, s2, _mm256_set1_pd(2.0 / 9.0));
    q = _mm256_fmadd_pd(q, s2, _mm256_set1_pd(2.0 / 7.0));
    q = _mm256_fmadd_pd(q, s2, _mm256_set1_pd(2.0 / 5.0));
    q = _mm256_fmadd_pd(q, s2, _mm256_set1_pd(2.0 / 3.0));
    // 2s + s^3 q.
    const __m256d logM = _mm256_fmadd_pd(_mm256_mul_pd(s, s2), q, _mm256_add_pd(s, s));
    // e ln2 in two parts, so that the sum keeps the small logarithm's bits.
    __m256d result = _mm256_fmadd_pd(ed, _mm256_set1_pd(1.90821492927058770002e-10), logM);
    result = _mm256_fmadd_pd(ed, _mm256_set1_pd(6.93147180369123816490e-01), result);
    return _mm256_blendv_pd(result, _mm256_set1_pd(-__builtin_inf()), tiny);
}

// b^e for b >= 0 and e > 0 (lane by lane); b = 0 gives 0.
STRAVIK_AVX2 __m256d powPositive4(__m256d b, __m256d e)
{
    const __m256d zero = _mm256_cmp_pd(b, _mm256_setzero_pd(), _CMP_LE_OQ);
    const __m256d r = exp4(_mm256_mul_pd(e, log4(b)));
    return _mm256_andnot_pd(zero, r);
}

STRAVIK_AVX2 __m256d sin4(__m256d x)
{
    // x = q pi/2 + r, |r| <= pi/4, pi/2 in three parts (each a few bits
    // short of a double, so that q times a part is exact).
    const __m256d magic = _mm256_set1_pd(6755399441055744.0);
    const __m256d t = _mm256_fmadd_pd(x, _mm256_set1_pd(0.63661977236758134308), magic);
    const __m256d q = _mm256_sub_pd(t, magic);
    __m256d r = _mm256_fnmadd_pd(q, _mm256_set1_pd(1.57079632673412561417e+00), x);
    r = _mm256_fnmadd_pd(q, _mm256_set1_pd(6.07710050630396597660e-11), r);
    r = _mm256_fnmadd_pd(q, _mm256_set1_pd(2.02226624871116645580e-21), r);
    const __m256d r2 = _mm256_mul_pd(r, r);
    // sin r = r + r^3 S(r^2), cos r = 1 - r^2/2 + r^4 C(r^2), by their series.
    __m256d sp = _mm256_set1_pd(-1.0 / 1307674368000.0);
    sp = _mm256_fmadd_pd(sp, r2, _mm256_set1_pd(1.0 / 6227020800.0));
    sp = _mm256_fmadd_pd(sp, r2, _mm256_set1_pd(-1.0 / 39916800.0));
    sp = _mm256_fmadd_pd(sp, r2, _mm256_set1_pd(1.0 / 362880.0));
    sp = _mm256_fmadd_pd(sp, r2, _mm256_set1_pd(-1.0 / 5040.0));
    sp = _mm256_fmadd_pd(sp, r2, _mm256_set1_pd(1.0 / 120.0));
    sp = _mm256_fmadd_pd(sp, r2, _mm256_set1_pd(-1.0 / 6.0));
    const __m256d sinR = _mm256_fmadd_pd(_mm256_mul_pd(r, r2), sp, r);
    __m256d cp = _mm256_set1_pd(1.0 / 20922789888000.0);
    cp = _mm256_fmadd_pd(cp, r2, _mm256_set1_pd(-1.0 / 87178291200.0));
    cp = _mm256_fmadd_pd(cp, r2, _mm256_set1_pd(1.0 / 479001600.0));
    cp = _mm256_fmadd_pd(cp, r2, _mm256_set1_pd(-1.0 / 3628800.0));
    cp = _mm256_fmadd_pd(cp, r2, _mm256_set1_pd(1.0 / 40320.0));
    cp = _mm256_fmadd_pd(cp, r2, _mm256_set1_pd(-1.0 / 720.0));
    cp = _mm256_fmadd_pd(cp, r2, _mm256_set1_pd(1.0 / 24.0));
    const __m256d halfR2 = _mm256_mul_pd(r2, _mm256_set1_pd(0.5));
    const __m256d oneMinus = _mm256_sub_pd(_mm256_set1_pd(1.0), halfR2);
    // 1 - r^2/2 loses the low bits of r^2/2; they come back with the tail.
    const __m256d lost = _mm256_sub_pd(_mm256_sub_pd(_mm256_set1_pd(1.0), oneMinus), halfR2);
    const __m256d cosR = _mm256_add_pd(oneMinus, _mm256_fmadd_pd(_mm256_mul_pd(r2, r2), cp, lost));
    // Quadrant: q mod 4 picks sin r, cos r, -sin r or -cos r.
    const __m256i qi = _mm256_sub_epi64(_mm256_castpd_si256(t), _mm256_castpd_si256(magic));
    const __m256i odd = _mm256_slli_epi64(_mm256_and_si256(qi, _mm256_set1_epi64x(1)), 63);
    const __m256i negative = _mm256_slli_epi64(_mm256_and_si256(qi, _mm256_set1_epi64x(2)), 62);
    const __m256d value = _mm256_blendv_pd(sinR, cosR, _mm256_castsi256_pd(odd));
    return _mm256_xor_pd(value, _mm256_castsi256_pd(negative));
}

#undef STRAVIK_AVX2

} // namespace stravik::dsp::simd

#endif // __x86_64__
