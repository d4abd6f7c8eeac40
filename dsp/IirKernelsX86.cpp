// The vector routine of IirFilter::processFast for x86-64 (AVX2 with FMA),
// picked at run time; the function carries its own target attribute, so the
// file needs no special compiler flags. On other processors this file is
// empty and processFast is the plain recursion.
//
// A group of eight outputs y[0..7] of the recursion
//   y[j] = v[j] - a1 y[j-1] - ... - aN y[j-N]
// is, by linearity,
//   y[j] = sum_{m<=j} g[m] v[j-m]  +  sum_k p[k][j] y[-1-k]
// with g the impulse response of 1 / A(z) and p[k] the group's response to a
// single earlier output. The first sum needs nothing from the group before;
// only the second waits for it, one multiply-add per order.
#if defined(__x86_64__)

#include "dsp/IirFilter.h"

#include <immintrin.h>

namespace stravik::dsp::iirkernels {

namespace {

// IirFilter's layout of its 25 values.
constexpr int kB[5] = {0, 1, 2, 5, 7};
constexpr int kA[5] = {-1, 3, 4, 6, 8};
constexpr int kInputHistory = 11, kOutputHistory = 17, kInputGain = 23, kDryGain = 24;

template <int N>
__attribute__((target("avx2,fma"))) void run(const IirFilter::LookAhead& t, double* w, double* buf, int n)
{
    constexpr int kPad = 8, kChunk = 512;
    alignas(32) double xs[kPad + kChunk];
    alignas(32) double v[kPad + kChunk];
    // Toeplitz coefficients, masked so that a lane never takes an input from
    // before its group: lane j of mask m holds g[m] when j >= m, else 0.
    __m256d lo[4], hi[8];
    for (int m = 0; m < 4; ++m) {
        alignas(32) double c[4];
        for (int j = 0; j < 4; ++j) c[j] = j >= m ? t.g[m] : 0.0;
        lo[m] = _mm256_load_pd(c);
    }
    for (int m = 0; m < 8; ++m) {
        alignas(32) double c[4];
        for (int j = 0; j < 4; ++j) c[j] = 4 + j >= m ? t.g[m] : 0.0;
        hi[m] = _mm256_load_pd(c);
    }
    __m256d plo[N], phi[N], b[N + 1];
    for (int k = 0; k < N; ++k) {
        plo[k] = _mm256_loadu_pd(t.p[k]);
        phi[k] = _mm256_loadu_pd(t.p[k] + 4);
    }
    for (int k = 0; k <= N; ++k) b[k] = _mm256_set1_pd(w[kB[k]]);
    const __m256d gain = _mm256_set1_pd(w[kInputGain]), dry = _mm256_set1_pd(w[kDryGain]);
    double a[N + 1];
    for (int k = 1; k <= N; ++k) a[k] = w[kA[k]];

    // Newest last in the filter: x[-1] is at kInputHistory + 5.
    for (int k = 1; k <= 4; ++k) xs[kPad - k] = w[kInputHistory + 6 - k];
    for (int k = 0; k < kPad; ++k) v[k] = 0.0;
    __m256d prev[N]; // y[-1-k] in every lane
    double yh[4];
    for (int k = 0; k < 4; ++k) yh[k] = w[kOutputHistory + 5 - k];
    for (int k = 0; k < N; ++k) prev[k] = _mm256_set1_pd(yh[k]);

    for (int at = 0; at < n; at += kChunk) {
        const int m = n - at < kChunk ? n - at : kChunk;
        double* in = buf + at;
        const int whole = m & ~3;
        for (int i = 0; i < whole; i += 4) _mm256_store_pd(xs + kPad + i, _mm256_mul_pd(_mm256_loadu_pd(in + i), gain));
        for (int i = whole; i < m; ++i) xs[kPad + i] = in[i] * w[kInputGain];
        // The non-recursive part, term by term in the order the recursion
        // adds them.
        for (int i = 0; i < whole; i += 4) {
            const double* x = xs + kPad + i;
            __m256d acc = _mm256_add_pd(_mm256_mul_pd(b[0], _mm256_load_pd(x)), _mm256_mul_pd(b[1], _mm256_loadu_pd(x - 1)));
            for (int k = 2; k <= N; ++k) acc = _mm256_add_pd(acc, _mm256_mul_pd(b[k], _mm256_loadu_pd(x - k)));
            _mm256_store_pd(v + kPad + i, acc);
        }
        for (int i = whole; i < m; ++i) {
            const double* x = xs + kPad + i;
            double acc = w[kB[0]] * x[0] + w[kB[1]] * x[-1];
            for (int k = 2; k <= N; ++k) acc = acc + w[kB[k]] * x[-k];
            v[kPad + i] = acc;
        }
        // The recursive part, eight at a time; the result goes straight back
        // into the block with the dry part.
        const int groups = m / 8;
        for (int i = 0; i < groups; ++i) {
            const double* x = v + kPad + 8 * i;
            __m256d tlo = _mm256_mul_pd(lo[0], _mm256_load_pd(x));
            for (int j = 1; j < 4; ++j) tlo = _mm256_fmadd_pd(lo[j], _mm256_loadu_pd(x - j), tlo);
            __m256d thi = _mm256_mul_pd(hi[0], _mm256_load_pd(x + 4));
            for (int j = 1; j < 8; ++j) thi = _mm256_fmadd_pd(hi[j], _mm256_loadu_pd(x + 4 - j), thi);
            for (int k = N - 1; k >= 0; --k) {
                tlo = _mm256_fmadd_pd(plo[k], prev[k], tlo);
                thi = _mm256_fmadd_pd(phi[k], prev[k], thi);
            }
            // Lanes 3, 2, 1, 0 of the upper half are y[7], y[6], y[5], y[4].
            prev[0] = _mm256_permute4x64_pd(thi, 0xFF);
            if constexpr (N > 1) prev[1] = _mm256_permute4x64_pd(thi, 0xAA);
            if constexpr (N > 2) prev[2] = _mm256_permute4x64_pd(thi, 0x55);
            if constexpr (N > 3) prev[3] = _mm256_permute4x64_pd(thi, 0x00);
            double* out = in + 8 * i;
            _mm256_storeu_pd(out, _mm256_fmadd_pd(_mm256_loadu_pd(out), dry, tlo));
            _mm256_storeu_pd(out + 4, _mm256_fmadd_pd(_mm256_loadu_pd(out + 4), dry, thi));
            if (i + 1 == groups) {
                alignas(32) double last[4];
                _mm256_store_pd(last, thi);
                for (int k = 0; k < 4; ++k) yh[k] = last[3 - k];
            }
        }
        // What is left over, one sample at a time.
        for (int i = groups * 8; i < m; ++i) {
            double acc = v[kPad + i];
            for (int k = 1; k <= N; ++k) acc = acc - a[k] * yh[k - 1];
            for (int k = 3; k > 0; --k) yh[k] = yh[k - 1];
            yh[0] = acc;
            in[i] = in[i] * w[kDryGain] + acc;
        }
        for (int k = 0; k < N; ++k) prev[k] = _mm256_set1_pd(yh[k]);
        for (int k = 1; k <= 4; ++k) xs[kPad - k] = xs[kPad + m - k];
        for (int k = 1; k < kPad; ++k) v[kPad - k] = v[kPad + m - k];
    }
    for (int k = 0; k < 4; ++k) {
        w[kInputHistory + 5 - k] = xs[kPad - 1 - k];
        w[kOutputHistory + 5 - k] = yh[k];
    }
}

} // namespace

void lookAheadAvx2(const IirFilter::LookAhead& t, int order, double* values, double* buf, int n)
{
    switch (order) {
    case 1: run<1>(t, values, buf, n); break;
    case 2: run<2>(t, values, buf, n); break;
    case 3: run<3>(t, values, buf, n); break;
    default: run<4>(t, values, buf, n); break;
    }
}

} // namespace stravik::dsp::iirkernels

#endif // __x86_64__
