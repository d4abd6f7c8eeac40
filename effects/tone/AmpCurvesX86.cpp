// The curves' block evaluations for x86-64 (AVX2), picked at run time by
// AmpCurves.cpp; the function carries its own target attribute.
//
// The signals these curves shape mostly move smoothly at the oversampled
// rates, so four samples in a row often lie in one interval: the one the
// last four ended in. Those four take that interval's cubic side by side,
// with its coefficients broadcast. Four that do not fit (a knot among them,
// a change of sign in the odd form, an argument outside the table or not a
// number) are done lane by lane as operator() does them, without a branch
// on the data, and the last of them sets the interval to try next. Either
// way the arithmetic is PiecewiseCubic::cubic()'s, operation by operation
// (separate multiplications and additions, no fused multiply-adds), on the
// interval operator() finds (the one that holds the argument), and the
// ends' values and signs are chosen as operator() and evaluateOdd() choose
// them, so every value is the scalar one to the bit.
// (Gathering each lane's interval and coefficients costs more than the
// scalar loop on the processors at hand.)
#if defined(__x86_64__)

#include "effects/tone/AmpCurves.h"

#include <immintrin.h>

#include <cstdint>

namespace stravik::effects::kernels {

__attribute__((target("avx2"), optimize("fp-contract=off"))) void piecewiseCubicAvx2(const PiecewiseCubic& up,
                                                                                    const PiecewiseCubic& down,
                                                                                    bool odd, const double* in,
                                                                                    double* out, int n)
{
    const __m256d sign = _mm256_castsi256_pd(_mm256_set1_epi64x(static_cast<int64_t>(0x8000000000000000ull)));
    const __m256d zero = _mm256_setzero_pd();
    // The interval to try next, of each curve. Outside the table the end
    // intervals serve (the ends' values replace theirs).
    int cursor[2] = {0, 0}; // up, down
    if (n > 0) {
        const double v = in[0];
        if (odd && !(v >= 0.0))
            cursor[1] = down.intervalNear(-v);
        else
            cursor[0] = up.intervalNear(v);
    }
    for (int i = 0; i < n; i += 4) {
        const int count = n - i < 4 ? n - i : 4;
        const double* from = in + i;
        double tail[4];
        if (count < 4) {
            for (int k = 0; k < 4; ++k) tail[k] = in[i + (k < count ? k : count - 1)];
            from = tail;
        }
        const __m256d x = _mm256_loadu_pd(from);
        // Which curve: in the odd form, the polarity of all four, when they
        // share one (a NaN counts as neither).
        int which = 0;
        __m256d v = x;
        bool fits = true;
        if (odd) {
            const int positive = _mm256_movemask_pd(_mm256_cmp_pd(x, zero, _CMP_GE_OQ));
            const int negative = _mm256_movemask_pd(_mm256_cmp_pd(x, zero, _CMP_LT_OQ));
            if (negative == 0xF) {
                which = 1;
                v = _mm256_xor_pd(x, sign);
            } else if (positive != 0xF) {
                fits = false;
            }
        }
        const PiecewiseCubic& c = which == 0 ? up : down;
        const int k = cursor[which];
        __m256d r = zero;
        if (fits) {
            const __m256d start = _mm256_broadcast_sd(&c.x_[k]);
            const __m256d inside = _mm256_and_pd(_mm256_cmp_pd(v, start, _CMP_GE_OQ),
                                                 _mm256_cmp_pd(v, _mm256_broadcast_sd(&c.starts_[k + 1]), _CMP_LT_OQ));
            fits = _mm256_movemask_pd(inside) == 0xF;
            if (fits) {
                // cubic(k, v); at the table's ends (only the end intervals
                // reach them) the end values, as operator() gives them.
                const __m256d b = _mm256_mul_pd(_mm256_sub_pd(v, start), _mm256_broadcast_sd(&c.invH_[k]));
                const double* q = c.c_[k];
                r = _mm256_mul_pd(b, _mm256_broadcast_sd(&q[3]));
                r = _mm256_mul_pd(b, _mm256_add_pd(_mm256_broadcast_sd(&q[2]), r));
                r = _mm256_mul_pd(b, _mm256_add_pd(_mm256_broadcast_sd(&q[1]), r));
                r = _mm256_add_pd(_mm256_broadcast_sd(&q[0]), r);
                r = _mm256_blendv_pd(r, _mm256_broadcast_sd(&c.y_[c.n_ - 1]),
                                     _mm256_cmp_pd(v, _mm256_broadcast_sd(&c.x_[c.n_ - 1]), _CMP_GE_OQ));
                r = _mm256_blendv_pd(r, _mm256_broadcast_sd(&c.y_[0]),
                                     _mm256_cmp_pd(v, _mm256_broadcast_sd(&c.x_[0]), _CMP_NGT_UQ));
                if (which == 1) r = _mm256_xor_pd(r, sign);
            }
        }
        if (!fits) {
            // Lane by lane without a branch on the data: each lane's curve
            // and argument by its sign, its interval (intervalNear()), its cubic;
            // then the ends' values and the signs four at a time.
            // (The four values go into the vector by register: a vector
            // load of four separate stores would wait for them to retire.)
            const auto value = [odd, &up, &down](double a) {
                const bool negative = odd && !(a >= 0.0);
                const PiecewiseCubic& q = negative ? down : up;
                const double w = negative ? -a : a;
                return q.cubic(q.intervalNear(w), w);
            };
            r = _mm256_setr_pd(value(from[0]), value(from[1]), value(from[2]), value(from[3]));
            __m256d w = x, x0 = _mm256_broadcast_sd(&up.x_[0]), xLast = _mm256_broadcast_sd(&up.x_[up.n_ - 1]);
            __m256d y0 = _mm256_broadcast_sd(&up.y_[0]), yLast = _mm256_broadcast_sd(&up.y_[up.n_ - 1]);
            __m256d positive = zero;
            if (odd) {
                positive = _mm256_cmp_pd(x, zero, _CMP_GE_OQ);
                w = _mm256_blendv_pd(_mm256_xor_pd(x, sign), x, positive);
                x0 = _mm256_blendv_pd(_mm256_broadcast_sd(&down.x_[0]), x0, positive);
                xLast = _mm256_blendv_pd(_mm256_broadcast_sd(&down.x_[down.n_ - 1]), xLast, positive);
                y0 = _mm256_blendv_pd(_mm256_broadcast_sd(&down.y_[0]), y0, positive);
                yLast = _mm256_blendv_pd(_mm256_broadcast_sd(&down.y_[down.n_ - 1]), yLast, positive);
            }
            r = _mm256_blendv_pd(r, yLast, _mm256_cmp_pd(w, xLast, _CMP_GE_OQ));
            r = _mm256_blendv_pd(r, y0, _mm256_cmp_pd(w, x0, _CMP_NGT_UQ));
            if (odd) r = _mm256_blendv_pd(_mm256_xor_pd(r, sign), r, positive);
            const double last = from[3];
            if (odd && !(last >= 0.0))
                cursor[1] = down.intervalNear(-last);
            else
                cursor[0] = up.intervalNear(last);
        }
        if (count == 4) {
            _mm256_storeu_pd(out + i, r);
        } else {
            alignas(32) double done[4];
            _mm256_store_pd(done, r);
            for (int l = 0; l < count; ++l) out[i + l] = done[l];
        }
    }
}

} // namespace stravik::effects::kernels

#endif // __x86_64__
