#include "dsp/CpuFeatures.h"

#include <atomic>
#include <thread>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#include <pmmintrin.h>
#endif
#include <sched.h>

namespace stravik::dsp::cpu {
namespace {

int probe()
{
    int f = 0;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("mmx")) f |= kMmx;
    if (__builtin_cpu_supports("sse")) f |= kSse;
    if (__builtin_cpu_supports("sse2")) f |= kSse2;
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) f |= kAvx2Fma;
    if (__builtin_cpu_supports("avx512f")) f |= kAvx512;
#elif defined(__aarch64__)
    f |= kNeon;
#endif
    return f;
}

std::atomic<bool> g_simdEnabled{true};

} // namespace

int features()
{
    static const int f = probe();
    return f;
}

bool simdEnabled() { return g_simdEnabled.load(std::memory_order_relaxed); }

void setSimdEnabled(bool on) { g_simdEnabled.store(on, std::memory_order_relaxed); }

bool simdAllowed() { return simdEnabled() && (features() & (kSse | kNeon)) != 0; }

bool avx2Allowed()
{
    static const bool avx2 = (features() & kAvx2Fma) != 0;
    return avx2 && simdAllowed();
}

bool enableFlushToZero()
{
    if (!simdAllowed()) return false;
#if defined(__x86_64__) || defined(__i386__)
    _mm_setcsr(_mm_getcsr() | 0x8000 /* FTZ */ | 0x0040 /* DAZ */);
    return true;
#elif defined(__aarch64__)
    unsigned long fpcr;
    __asm__ __volatile__("mrs %0, fpcr" : "=r"(fpcr));
    fpcr |= (1UL << 24); // FZ
    __asm__ __volatile__("msr fpcr, %0" : : "r"(fpcr));
    return true;
#else
    return false;
#endif
}

ScopedFlushToZero::ScopedFlushToZero()
{
    if (!simdAllowed()) return;
#if defined(__x86_64__) || defined(__i386__)
    saved_ = _mm_getcsr();
    active_ = true;
#elif defined(__aarch64__)
    __asm__ __volatile__("mrs %0, fpcr" : "=r"(saved_));
    active_ = true;
#endif
    if (active_) enableFlushToZero();
}

ScopedFlushToZero::~ScopedFlushToZero()
{
    if (!active_) return;
#if defined(__x86_64__) || defined(__i386__)
    _mm_setcsr(static_cast<unsigned int>(saved_));
#elif defined(__aarch64__)
    __asm__ __volatile__("msr fpcr, %0" : : "r"(saved_));
#endif
}

int processorCount()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        int n = CPU_COUNT(&set);
        if (n > 0) return n;
    }
    unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? static_cast<int>(n) : 1;
}

} // namespace stravik::dsp::cpu
