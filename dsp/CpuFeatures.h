#pragma once
// What the processor can do, and the one switch (setting EnableSSE) that
// allows the program to use vector instructions and flush-to-zero at all.

namespace stravik::dsp::cpu {

// Feature bits, probed once. The first three keep their historic values.
enum : int {
    kMmx = 1,
    kSse = 2,
    kSse2 = 4,
    kAvx2Fma = 8,   // AVX2 together with FMA3
    kAvx512 = 16,   // AVX-512 F
    kNeon = 32,     // aarch64 Advanced SIMD
};

// The probed feature bits (the probe runs on first call).
int features();

// The setting EnableSSE. On by default; off keeps every SIMD path and
// flush-to-zero unused.
bool simdEnabled();
void setSimdEnabled(bool on);

// True when vector code may run: the processor has SSE (or NEON) and the
// setting allows it.
bool simdAllowed();

// True when the AVX2 + FMA routines may run: the processor has both and the
// setting allows vector code.
bool avx2Allowed();

// Sets flush-to-zero and denormals-are-zero on the calling thread when
// simdAllowed(); returns whether it did. MXCSR on x86-64, FPCR.FZ on aarch64.
bool enableFlushToZero();

// Flush-to-zero for the lifetime of the object (when allowed), then the
// thread's previous mode again.
class ScopedFlushToZero {
public:
    ScopedFlushToZero();
    ~ScopedFlushToZero();
    ScopedFlushToZero(const ScopedFlushToZero&) = delete;
    ScopedFlushToZero& operator=(const ScopedFlushToZero&) = delete;

private:
    unsigned long saved_ = 0;
    bool active_ = false;
};

// Number of processors available to this process (at least 1).
int processorCount();

} // namespace stravik::dsp::cpu
