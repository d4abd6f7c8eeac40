// The vector forms of BlockMath.h (AVX2 with FMA), picked at run time.
#if defined(__x86_64__)

#include "dsp/SimdMathX86.h"

#include <cmath>

namespace stravik::dsp::blockmath {

__attribute__((target("avx2,fma"))) void sinAvx2(const double* x, double* y, int n)
{
    int i = 0;
    for (; i + 4 <= n; i += 4) _mm256_storeu_pd(y + i, simd::sin4(_mm256_loadu_pd(x + i)));
    if (i < n) {
        // The last few through the same routine, so that every value comes
        // from one formula.
        alignas(32) double in[4] = {}, out[4];
        for (int k = 0; i + k < n; ++k) in[k] = x[i + k];
        _mm256_store_pd(out, simd::sin4(_mm256_load_pd(in)));
        for (int k = 0; i + k < n; ++k) y[i + k] = out[k];
    }
}

} // namespace stravik::dsp::blockmath

#endif // __x86_64__
