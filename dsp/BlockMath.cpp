#include "dsp/BlockMath.h"

#include "dsp/CpuFeatures.h"

#include <cmath>

namespace stravik::dsp {

#if defined(__x86_64__)
namespace blockmath {
void sinAvx2(const double* x, double* y, int n); // BlockMathX86.cpp
} // namespace blockmath
#endif

namespace {

bool vectorPath()
{
#if defined(__x86_64__)
    return cpu::avx2Allowed();
#else
    return false;
#endif
}

} // namespace

void sinBlock(const double* x, double* y, int n)
{
#if defined(__x86_64__)
    if (vectorPath()) {
        blockmath::sinAvx2(x, y, n);
        return;
    }
#endif
    for (int i = 0; i < n; ++i) y[i] = std::sin(x[i]);
}

} // namespace stravik::dsp
