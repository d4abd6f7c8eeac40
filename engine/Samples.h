#pragma once
// Conversions at the edges of the chain: 16-bit PCM outside, doubles with full
// scale +-1.0 inside, with the input and output volumes; clip tests, block
// peaks and decibels for the meters; widening to stereo and folding back.
#include <cstdint>

namespace stravik::samples {

// x = s * inputVolume / 32768 (double arithmetic; the volume is single precision).
void inputConvert(const int16_t* in, double* out, int n, float inputVolume);
// The same on the left sample of n interleaved stereo frames.
void inputConvertLeft(const int16_t* frames, double* out, int n, float inputVolume);
// v = outputVolume * x * 32768, truncated toward zero, limited to -32767..32767
// (-32768 is never produced; a NaN becomes 0). Values within 1e-7 of a step
// away from zero count as that step, so the chain's denormal offset never
// costs a whole step.
void outputConvert(const double* in, int16_t* out, int n, float outputVolume);
// One output value, as outputConvert does it.
int16_t outputValue(double x, float outputVolume);

// n mono samples -> n interleaved frames (left = right = mono).
void widen(const double* mono, double* stereo, int n);
// n interleaved frames -> n mono samples (right / 2 + left / 2).
void fold(const double* stereo, double* mono, int n);

// True when any sample has an absolute value of 32767 or more.
bool clipTest(const int16_t* s, int n);

// 20 log10(v) for v >= 1e-5, else -100.
double dB(double v);
// dB of the largest absolute value of the block.
double blockPeakDb(const double* x, int n);
double blockPeakDb(const int16_t* s, int n);

} // namespace stravik::samples
