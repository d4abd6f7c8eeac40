// The reverb's vector routine for x86-64 (AVX2), picked at run time by
// Reverb.cpp; the function carries its own target attribute.
#if defined(__x86_64__)

#include "effects/modulation/Reverb.h"

#include <immintrin.h>

namespace stravik::effects::kernels {

// Eight second-order filters, each over its own input, side by side in the
// lanes of two vectors: per lane exactly the filter's own recursion,
//   x = in g;  y = b0 x + b1 x1 + b2 x2 - a1 y1 - a2 y2;  out = in dry + y,
// summed left to right with no fused multiply-adds, so every output is the
// one the filter would give alone. Four samples of each filter are turned
// around at a time (a 4 x 4 transpose) between the per-filter rows and the
// lanes.
__attribute__((target("avx2,fma"), optimize("fp-contract=off"))) void eightFiltersAvx2(
    const double (*coef)[7], double (*state)[4], const double (*in)[Reverb::kMaxBlock],
    double (*out)[Reverb::kMaxBlock], int n)
{
    __m256d c[2][7], x1[2], x2[2], y1[2], y2[2];
    for (int h = 0; h < 2; ++h) {
        for (int k = 0; k < 7; ++k)
            c[h][k] = _mm256_setr_pd(coef[4 * h][k], coef[4 * h + 1][k], coef[4 * h + 2][k], coef[4 * h + 3][k]);
        x1[h] = _mm256_setr_pd(state[4 * h][0], state[4 * h + 1][0], state[4 * h + 2][0], state[4 * h + 3][0]);
        x2[h] = _mm256_setr_pd(state[4 * h][1], state[4 * h + 1][1], state[4 * h + 2][1], state[4 * h + 3][1]);
        y1[h] = _mm256_setr_pd(state[4 * h][2], state[4 * h + 1][2], state[4 * h + 2][2], state[4 * h + 3][2]);
        y2[h] = _mm256_setr_pd(state[4 * h][3], state[4 * h + 1][3], state[4 * h + 2][3], state[4 * h + 3][3]);
    }
    const auto step = [&](int h, __m256d inV) {
        const __m256d x = _mm256_mul_pd(inV, c[h][5]);
        __m256d y = _mm256_add_pd(_mm256_mul_pd(c[h][0], x), _mm256_mul_pd(c[h][1], x1[h]));
        y = _mm256_add_pd(y, _mm256_mul_pd(c[h][2], x2[h]));
        y = _mm256_sub_pd(y, _mm256_mul_pd(c[h][3], y1[h]));
        y = _mm256_sub_pd(y, _mm256_mul_pd(c[h][4], y2[h]));
        x2[h] = x1[h];
        x1[h] = x;
        y2[h] = y1[h];
        y1[h] = y;
        return _mm256_add_pd(_mm256_mul_pd(inV, c[h][6]), y);
    };
    int i = 0;
    for (; i + 4 <= n; i += 4) {
        for (int h = 0; h < 2; ++h) {
            // Rows: filters 4h .. 4h+3, samples i .. i+3.
            const __m256d r0 = _mm256_loadu_pd(in[4 * h] + i), r1 = _mm256_loadu_pd(in[4 * h + 1] + i);
            const __m256d r2 = _mm256_loadu_pd(in[4 * h + 2] + i), r3 = _mm256_loadu_pd(in[4 * h + 3] + i);
            const __m256d t0 = _mm256_unpacklo_pd(r0, r1), t1 = _mm256_unpackhi_pd(r0, r1);
            const __m256d t2 = _mm256_unpacklo_pd(r2, r3), t3 = _mm256_unpackhi_pd(r2, r3);
            __m256d s0 = _mm256_permute2f128_pd(t0, t2, 0x20), s1 = _mm256_permute2f128_pd(t1, t3, 0x20);
            __m256d s2 = _mm256_permute2f128_pd(t0, t2, 0x31), s3 = _mm256_permute2f128_pd(t1, t3, 0x31);
            // s_j: sample i + j of the four filters.
            s0 = step(h, s0);
            s1 = step(h, s1);
            s2 = step(h, s2);
            s3 = step(h, s3);
            const __m256d u0 = _mm256_unpacklo_pd(s0, s1), u1 = _mm256_unpackhi_pd(s0, s1);
            const __m256d u2 = _mm256_unpacklo_pd(s2, s3), u3 = _mm256_unpackhi_pd(s2, s3);
            _mm256_storeu_pd(out[4 * h] + i, _mm256_permute2f128_pd(u0, u2, 0x20));
            _mm256_storeu_pd(out[4 * h + 1] + i, _mm256_permute2f128_pd(u1, u3, 0x20));
            _mm256_storeu_pd(out[4 * h + 2] + i, _mm256_permute2f128_pd(u0, u2, 0x31));
            _mm256_storeu_pd(out[4 * h + 3] + i, _mm256_permute2f128_pd(u1, u3, 0x31));
        }
    }
    for (; i < n; ++i) {
        for (int h = 0; h < 2; ++h) {
            const __m256d v = _mm256_setr_pd(in[4 * h][i], in[4 * h + 1][i], in[4 * h + 2][i], in[4 * h + 3][i]);
            alignas(32) double r[4];
            _mm256_store_pd(r, step(h, v));
            for (int k = 0; k < 4; ++k) out[4 * h + k][i] = r[k];
        }
    }
    for (int h = 0; h < 2; ++h) {
        alignas(32) double a[4], b[4], c1[4], d[4];
        _mm256_store_pd(a, x1[h]);
        _mm256_store_pd(b, x2[h]);
        _mm256_store_pd(c1, y1[h]);
        _mm256_store_pd(d, y2[h]);
        for (int k = 0; k < 4; ++k) {
            state[4 * h + k][0] = a[k];
            state[4 * h + k][1] = b[k];
            state[4 * h + k][2] = c1[k];
            state[4 * h + k][3] = d[k];
        }
    }
}

} // namespace stravik::effects::kernels

#endif // __x86_64__
