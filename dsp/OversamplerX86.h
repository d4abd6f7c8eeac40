#pragma once
// The oversampler's polyphase routines (OversamplerX86.cpp), for
// Oversampler.cpp only. Inputs and outputs are single precision, as in the
// convolver whose results they reproduce.

namespace stravik::dsp::oversampling {

// Inputs per call; longer blocks go through in pieces.
constexpr int kMaxChunk = 256;
// History kept in front of the inputs (enough for kernels of up to 92 taps).
constexpr int kHistory = 24;
constexpr int kMaxTaps = 4 * (kHistory - 1);

#if defined(__x86_64__)
// out[phase * kMaxChunk + i] = output 4i + phase of the interpolation kernel h
// over the zero-stuffed inputs x[i] (already multiplied by 4); x[-kHistory..0)
// holds the inputs before, and x[n..n+8) may be read. n <= kMaxChunk. False
// (and nothing written) for a kernel length it has no routine for.
bool interpolateAvx2(const float* h, int taps, const float* x, int n, float* out);

// out[j] = output 4j of the decimation kernel h over an input whose phase p
// (samples 4i + p) is phases[p][i]; phases[p][-kHistory..0) holds the input
// before, and phases[p][n..n+8) may be read. n <= kMaxChunk. False (and
// nothing written) for a kernel length it has no routine for.
bool decimateAvx2(const float* h, int taps, const float* const phases[4], int n, float* out);
#endif

} // namespace stravik::dsp::oversampling
