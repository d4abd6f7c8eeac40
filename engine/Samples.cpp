#include "engine/Samples.h"

#include <cmath>
#include <cstdlib>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace stravik::samples {

namespace {
// In units of one 16-bit step: far above the offset's 3.3e-11, far below
// anything audible.
constexpr double kTruncationSlack = 1e-7;
} // namespace

void inputConvert(const int16_t* in, double* out, int n, float inputVolume)
{
    const double vol = inputVolume;
    for (int i = 0; i < n; ++i) out[i] = in[i] * vol / 32768.0;
}

void inputConvertLeft(const int16_t* frames, double* out, int n, float inputVolume)
{
    const double vol = inputVolume;
    for (int i = 0; i < n; ++i) out[i] = frames[2 * i] * vol / 32768.0;
}

int16_t outputValue(double x, float outputVolume)
{
    double v = static_cast<double>(outputVolume) * x * 32768.0;
    if (v >= 32767.0) return 32767;
    if (v <= -32767.0) return -32767;
    if (v != v) return 0; // NaN
    // The chain adds an offset of +-1e-15 against denormals. Truncation must
    // not turn that into a whole step (123 - 3e-11 -> 122), so a value within
    // a hair of the next integer away from zero counts as that integer.
    v += v > 0.0 ? kTruncationSlack : -kTruncationSlack;
    return static_cast<int16_t>(v); // truncates toward zero
}

void outputConvert(const double* in, int16_t* out, int n, float outputVolume)
{
    int i = 0;
#if defined(__SSE2__)
    // Two at a time, without a branch: the same products and the same slack,
    // then the limits (which also hold what the slack could carry past them)
    // and the truncation; a NaN gives 0.
    const __m128d vol = _mm_set1_pd(static_cast<double>(outputVolume)), scale = _mm_set1_pd(32768.0);
    const __m128d slack = _mm_set1_pd(kTruncationSlack), zero = _mm_setzero_pd();
    const __m128d top = _mm_set1_pd(32767.0), bottom = _mm_set1_pd(-32767.0);
    for (; i + 2 <= n; i += 2) {
        const __m128d v = _mm_mul_pd(_mm_mul_pd(vol, _mm_loadu_pd(in + i)), scale);
        const __m128d positive = _mm_cmpgt_pd(v, zero);
        const __m128d step = _mm_or_pd(_mm_and_pd(positive, slack), _mm_andnot_pd(positive, _mm_sub_pd(zero, slack)));
        __m128d w = _mm_min_pd(_mm_max_pd(_mm_add_pd(v, step), bottom), top);
        w = _mm_and_pd(w, _mm_cmpord_pd(v, v));
        const __m128i t = _mm_cvttpd_epi32(w);
        out[i] = static_cast<int16_t>(_mm_cvtsi128_si32(t));
        out[i + 1] = static_cast<int16_t>(_mm_cvtsi128_si32(_mm_srli_si128(t, 4)));
    }
#endif
    for (; i < n; ++i) out[i] = outputValue(in[i], outputVolume);
}

void widen(const double* mono, double* stereo, int n)
{
    // Backwards, so that widening a buffer into itself works too.
    for (int i = n - 1; i >= 0; --i) {
        stereo[2 * i] = mono[i];
        stereo[2 * i + 1] = mono[i];
    }
}

void fold(const double* stereo, double* mono, int n)
{
    for (int i = 0; i < n; ++i) mono[i] = stereo[2 * i + 1] / 2.0 + stereo[2 * i] / 2.0;
}

bool clipTest(const int16_t* s, int n)
{
    for (int i = 0; i < n; ++i)
        if (s[i] >= 32767 || s[i] <= -32767) return true;
    return false;
}

double dB(double v)
{
    return v >= 1e-5 ? 20.0 * std::log10(v) : -100.0;
}

double blockPeakDb(const double* x, int n)
{
    double peak = 0.0;
    for (int i = 0; i < n; ++i) {
        const double a = std::fabs(x[i]);
        if (a > peak) peak = a;
    }
    return dB(peak);
}

double blockPeakDb(const int16_t* s, int n)
{
    int peak = 0;
    for (int i = 0; i < n; ++i) {
        const int a = std::abs(static_cast<int>(s[i]));
        if (a > peak) peak = a;
    }
    return dB(peak / 32768.0);
}

} // namespace stravik::samples
