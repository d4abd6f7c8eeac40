#include "effects/tone/AmpCurves.h"

#include "dsp/CpuFeatures.h"

namespace stravik::effects {
void PiecewiseCubic::evaluate(const double* in, double* out, int n) const
{
#if defined(__x86_64__)
    if (dsp::cpu::avx2Allowed()) {
        kernels::piecewiseCubicAvx2(*this, *this, false, in, out, n);
        return;
    }
#endif
    for (int i = 0; i < n; ++i) out[i] = (*this)(in[i]);
}

void PiecewiseCubic::evaluateOdd(const PiecewiseCubic& up, const PiecewiseCubic& down, const double* in, double* out,
                                 int n)
{
#if defined(__x86_64__)
    if (dsp::cpu::avx2Allowed()) {
        kernels::piecewiseCubicAvx2(up, down, true, in, out, n);
        return;
    }
#endif
    for (int i = 0; i < n; ++i) {
        const double v = in[i];
        out[i] = v >= 0.0 ? up(v) : -down(-v);
    }
}

} // namespace stravik::effects
