#pragma once
// The pitch shifter's search for the best splice: for every segment length L
// from shortest to longest, the sum over j < width of |a[L + j] - a[j]| (how
// well the signal one segment later matches the signal now); the smallest
// sum wins, the shorter length on ties. The array must hold longest + width
// values.
//
// Every routine here returns exactly the winner of bestSplicePlain: each
// length's sum is accumulated in double precision in the same order (j = 0,
// 1, 2, ...), only several lengths run side by side, so every sum has the
// same bits as the one-length-at-a-time loop. Sums are compared in order of
// length with a strict "less than". The faster routines also give up on a
// group of lengths as soon as all of its partial sums have reached the best
// sum so far, which cannot change the winner: the worst case (no group gives
// up) costs the same, typical signals much less.
#include <limits>

namespace stravik::effects::splice {

struct Result {
    int length = 0;
    double sum = 0.0;
};

namespace detail {
// Keeps the first of equal sums (lengths arrive in increasing order). A NaN
// sum never wins; when nothing wins, the shortest length stands.
struct Best {
    Result result;
    explicit Best(int shortest) : result{shortest, std::numeric_limits<double>::infinity()} {}
    void take(int length, double sum)
    {
        if (sum < result.sum) result = {length, sum};
    }
};
} // namespace detail

// The definition: one length at a time.
Result bestSplicePlain(const double* a, int shortest, int longest, int width);

// Portable routine: sixteen lengths side by side in plain C++.
Result bestSpliceScalar(const double* a, int shortest, int longest, int width);

// AVX2 routine (x86-64 only): 32 lengths side by side in vector registers.
// Only call it when the processor has AVX2.
Result bestSpliceAvx2(const double* a, int shortest, int longest, int width);

// SSE2 routine (x86-64 only): 16 lengths side by side, two per register.
// Only call it when vector code is allowed.
Result bestSpliceSse2(const double* a, int shortest, int longest, int width);

// True when the AVX2 (SSE2) routine exists in this build and may run here
// (the processor has it and vector code is allowed).
bool avx2Usable();
bool sse2Usable();

using SearchFn = Result (*)(const double*, int, int, int);
// The fastest routine this machine may use: AVX2, else SSE2, else the
// portable one.
SearchFn fastest();

} // namespace stravik::effects::splice
