#pragma once
// Elementary functions over whole blocks, four at a time where the processor
// has AVX2 and FMA (dsp/SimdMathX86.h), one at a time with the C library
// elsewhere. The vector forms agree with the C library to a unit or two in
// the last place.
namespace stravik::dsp {

// y[i] = sin(x[i]) for |x| up to about 1e5; x and y may be the same.
void sinBlock(const double* x, double* y, int n);

} // namespace stravik::dsp
