#include "dsp/FirConvolver.h"

#include "dsp/ConvolverPool.h"
#include "dsp/CpuFeatures.h"

#include <algorithm>
#include <cstring>

namespace stravik::dsp {

#if defined(__x86_64__)
// The vector routines (FirKernelsX86.cpp). "groups" computes the vector passes
// first, first + stride, ... below count, each giving `width` neighbouring
// outputs; "spaced" computes single outputs at distances top - j * step for
// j = first, first + stride, ... below count (the decimating form).
namespace firkernels {
void reverseCopySse(const float* src, float* dst, int count);
void groupsSse(const float* bank, int copyStride, const float* lin, int taps, float* out,
               int first, int stride, int count);
void groupsAvx2(const float* bank, int copyStride, const float* lin, int taps, float* out,
                int first, int stride, int count);
void groupsAvx512(const float* bank, int copyStride, const float* lin, int taps, float* out,
                  int first, int stride, int count);
void spacedSse(const float* bank, int copyStride, const float* lin, int taps, float* out,
               int top, int step, int first, int stride, int count);
void spacedAvx2(const float* bank, int copyStride, const float* lin, int taps, float* out,
                int top, int step, int first, int stride, int count);
void spacedAvx512(const float* bank, int copyStride, const float* lin, int taps, float* out,
                  int top, int step, int first, int stride, int count);
} // namespace firkernels
#endif

namespace {

using Path = FirConvolver::Path;

// Floats per coefficient copy. The vector routines read a copy up to
// taps + 17 (AVX-512: whole 16-float steps covering taps + 3 positions), so
// kMaxTaps + 3 + 8 zeros would do for SSE; the extra room keeps the widest
// reads inside the copy. A multiple of 16 keeps every copy 64-byte aligned.
constexpr int kCopyStride = 16448;
static_assert(kCopyStride >= FirConvolver::kMaxTaps + 3 + 8 + 16 && kCopyStride % 16 == 0);

// Zeros written behind the linear history for every block: the widest routine
// reads up to taps + n + 32 (the last pass over the last group of outputs,
// whose unused lanes are thrown away).
constexpr int kLinPad = 64;
constexpr int kLinSize = FirConvolver::kMaxLinearHistory + kLinPad;

constexpr std::uint32_t kRingMask = FirConvolver::kRingSize - 1;
static_assert((FirConvolver::kRingSize & kRingMask) == 0);

// Multiply-adds per microsecond on one core, to estimate how long a block
// takes on the caller alone (measured with bench_fir on an AMD EPYC: scalar
// 1.2 per ns, SSE 15-20, AVX2 35-40, AVX-512 45-50). The pool's threshold is
// in microseconds (150 by default), so the scalar routine splits blocks from
// about 180k multiply-adds (1400 taps x 128 samples), the vector routines
// only long responses over long blocks (AVX-512: 6.75M, e.g. 16384 taps x
// 412 samples).
double macsPerMicro(Path p)
{
    switch (p) {
    case Path::Sse: return 15000.0;
    case Path::Avx2: return 35000.0;
    case Path::Avx512: return 45000.0;
    default: return 1200.0;
    }
}

using GroupFn = void (*)(const float*, int, const float*, int, float*, int, int, int);
using SpacedFn = void (*)(const float*, int, const float*, int, float*, int, int, int, int, int);

struct Routine {
    int width = 1; // outputs per vector pass
    GroupFn groups = nullptr;
    SpacedFn spaced = nullptr;
};

Routine routineFor(Path p)
{
#if defined(__x86_64__)
    switch (p) {
    case Path::Sse: return {4, &firkernels::groupsSse, &firkernels::spacedSse};
    case Path::Avx2: return {8, &firkernels::groupsAvx2, &firkernels::spacedAvx2};
    case Path::Avx512: return {16, &firkernels::groupsAvx512, &firkernels::spacedAvx512};
    default: break;
    }
#else
    (void)p;
#endif
    return {};
}

// Whether the processor has SSE at all: the vector routines exist only for
// x86-64; elsewhere the convolver keeps to the scalar routine.
bool processorHasSse()
{
#if defined(__x86_64__)
    return (cpu::features() & cpu::kSse) != 0;
#else
    return false;
#endif
}

// The widest routine at or below `want` that the processor supports.
Path resolvePath(Path want)
{
    const int f = cpu::features();
    const bool sse = processorHasSse();
    const bool avx2 = sse && (f & cpu::kAvx2Fma) != 0;
    const bool avx512 = avx2 && (f & cpu::kAvx512) != 0;
    switch (want) {
    case Path::Auto:
    case Path::Avx512:
        if (avx512) return Path::Avx512;
        [[fallthrough]];
    case Path::Avx2:
        if (avx2) return Path::Avx2;
        [[fallthrough]];
    case Path::Sse:
        if (sse) return Path::Sse;
        [[fallthrough]];
    case Path::Scalar:
        break;
    }
    return Path::Scalar;
}

// One output straight from the ring: newest is the ring position of the
// output's own input; the sum runs over k in order in single precision.
inline float scalarOutput(const float* h, const float* ring, int taps, std::uint32_t newest)
{
    float acc = 0.0f;
    for (int k = 0; k < taps; ++k) acc += h[k] * ring[(newest - static_cast<std::uint32_t>(k)) & kRingMask];
    return acc;
}

} // namespace

struct FirConvolver::Impl {
    explicit Impl(Threading m);

    Path currentPath() const;
    void run(double* buf, int n, int step);
    void takeOver();
    void runChunk(double* buf, int c0, int len, int step, Path path);
    void fillLinear(int count);
    void share(double* target, int count, int first, int stride);
    static void shareEntry(void* self, double* target, int count, int first, int stride)
    {
        static_cast<Impl*>(self)->share(target, count, first, stride);
    }

    // One set of coefficients: the four shifted copies and what goes with them.
    struct Bank {
        alignas(64) float copies[4 * kCopyStride] = {};
        // Stored last by a builder (release): a block that reads a count
        // above 0 sees the copies whole.
        std::atomic<int> taps{0};
        bool simd = false;
        int zeroFrom[4] = {}; // copy s holds only zeros from zeroFrom[s] on
    };

    Threading mode;
    ConvolverPool* pool = nullptr;
    std::atomic<int> workerLimit{0};
    std::atomic<Path> override{Path::Auto};

    // Coefficients reach the audio side without it waiting: a builder fills
    // the bank not in use under `handoff` and raises `pending`; the next
    // block takes it over only if it gets `handoff` at once (otherwise it
    // plays one more block with the bank it has, whole). While the bank in
    // use has never held any taps (the first design), the builder fills that
    // one: blocks do not read its copies until its count is above 0, and a
    // first design then never waits for a free `handoff`.
    std::mutex builder; // one builder at a time
    std::mutex handoff;
    Bank banks[2];
    int live = 0;              // the bank blocks use; changed under handoff by the audio side
    bool stagedPending = false; // under handoff
    std::atomic<bool> pending{false};
    std::atomic<int> latestTaps{0};
    std::atomic<bool> latestSimd{false};
    std::atomic<bool> clearRequested{false};
    std::atomic<bool> resetIndexRequested{false};

    // Audio side (the bank in use is copied into these by takeOver).
    const float* bank = nullptr;
    bool simd = false;
    int taps = 0;
    std::uint32_t writeIndex = 0;

    // The chunk being filtered. Set by the processing thread before it asks
    // the pool for help; the helpers only read it.
    struct Chunk {
        Path path = Path::Scalar;
        int step = 1;             // 1: every output; F: outputs 0, F, 2F, ...
        int firstOutput = 0;      // index within the chunk of its first output
        int top = 0;              // distance from the newest input of that output
        std::uint32_t ringStart = 0; // ring position of the chunk's first input
        Routine routine;
    } chunk;

    alignas(64) float lin[kLinSize] = {};
    alignas(64) float out[kMaxSimdBlock + 16] = {};
    alignas(64) float ring[kRingSize] = {};
};

FirConvolver::Impl::Impl(Threading m) : mode(m)
{
    if (mode == Threading::WorkerPool && cpu::processorCount() >= 2) {
        pool = &ConvolverPool::instance();
        workerLimit = pool->workerCount();
    }
    if (!pool || workerLimit == 0) {
        mode = Threading::CallerOnly;
        pool = nullptr;
        workerLimit = 0;
    }
    simd = processorHasSse() && cpu::simdEnabled();
    banks[0].simd = banks[1].simd = simd;
    latestSimd = simd;
    bank = banks[0].copies;
}

void FirConvolver::Impl::takeOver()
{
    if (pending.load(std::memory_order_acquire)) {
        std::unique_lock hold(handoff, std::try_to_lock);
        if (hold.owns_lock() && stagedPending) {
            live = 1 - live;
            stagedPending = false;
            pending.store(false, std::memory_order_relaxed);
        }
    }
    const Bank& b = banks[live];
    bank = b.copies;
    taps = b.taps.load(std::memory_order_acquire);
    if (taps > 0) simd = b.simd;
    if (resetIndexRequested.exchange(false, std::memory_order_acq_rel)) writeIndex = 0;
    if (clearRequested.exchange(false, std::memory_order_acq_rel)) std::fill(std::begin(ring), std::end(ring), 0.0f);
}

namespace {

Path pathFor(bool simd, int taps, Path override)
{
    // The shifted copies are only filled while SIMD was on when the
    // coefficients were loaded; the setting can also be switched off since.
    if (!simd || !cpu::simdAllowed()) return Path::Scalar;
    const Path path = resolvePath(override);
    // Summing sixteen lanes at the end of each pass costs AVX-512 its lead on
    // short responses (the oversampling kernels): AVX2 is faster there.
    if (override == Path::Auto && path == Path::Avx512 && taps < 512) return resolvePath(Path::Avx2);
    return path;
}

} // namespace

Path FirConvolver::Impl::currentPath() const { return pathFor(simd, taps, override.load(std::memory_order_relaxed)); }

void FirConvolver::Impl::run(double* buf, int n, int step)
{
    if (buf == nullptr || n <= 0) return;
    if (step < 1) step = 1;
    takeOver();
    if (taps == 0) {
        // Nothing to filter with yet: the block passes, and its samples
        // still go into the history the first design will need.
        for (int i = 0; i < n; ++i) {
            ring[writeIndex] = static_cast<float>(buf[i]);
            writeIndex = (writeIndex + 1) & kRingMask;
        }
        return;
    }

    const Path path = currentPath();
    // The linear history holds taps + n floats and the output scratch n, so
    // longer blocks go through in pieces. The outputs depend only on the
    // ring's contents, so the cut changes nothing; the scalar routine takes
    // the same pieces to keep the ring from overwriting samples still needed.
    const int limit =
        path == Path::Scalar ? kMaxSimdBlock : std::min(kMaxSimdBlock, kMaxLinearHistory - taps);
    for (int c0 = 0; c0 < n; c0 += limit) runChunk(buf, c0, std::min(limit, n - c0), step, path);
}

void FirConvolver::Impl::runChunk(double* buf, int c0, int len, int step, Path path)
{
    double* in = buf + c0;
    const std::uint32_t start = writeIndex;
    for (int i = 0; i < len; ++i)
        ring[(start + static_cast<std::uint32_t>(i)) & kRingMask] = static_cast<float>(in[i]);
    writeIndex = (start + static_cast<std::uint32_t>(len)) & kRingMask;

    chunk.path = path;
    chunk.step = step;
    chunk.ringStart = start;
    chunk.routine = routineFor(path);

    // Where this chunk's outputs go. Decimating: the first global index at or
    // after c0 that is a multiple of step keeps the phase across chunks; its
    // result is packed to buf[index / step]. All of the chunk's inputs are in
    // the ring by now, so writing over them is safe.
    double* target = in;
    int outputs = len;
    if (step > 1) {
        const long long firstGlobal = (static_cast<long long>(c0) + step - 1) / step * step;
        const int firstOutput = static_cast<int>(firstGlobal - c0);
        if (firstOutput >= len) return;
        outputs = (len - 1 - firstOutput) / step + 1;
        target = buf + firstGlobal / step;
        chunk.firstOutput = firstOutput;
        chunk.top = len - 1 - firstOutput;
    } else {
        chunk.firstOutput = 0;
        chunk.top = len - 1;
    }

    // Units of the interleave: one output on the scalar path and for the
    // decimating form, one vector pass (4, 8 or 16 outputs) otherwise.
    int units = outputs;
    if (path != Path::Scalar) {
        fillLinear(taps + len);
        if (step == 1) units = (len + chunk.routine.width - 1) / chunk.routine.width;
    }

    const double work = static_cast<double>(taps) * outputs;
    const int helpers = workerLimit.load(std::memory_order_relaxed);
    if (pool != nullptr && helpers > 0 && work >= pool->splitThresholdMicros() * macsPerMicro(path))
        pool->run(this, &Impl::shareEntry, target, units, helpers);
    else
        share(target, units, 0, 1);

    if (path != Path::Scalar) {
        // The scratch is newest first; the block is oldest first.
        if (step == 1) {
            for (int i = 0; i < len; ++i) in[i] = static_cast<double>(out[len - 1 - i]);
        } else {
            for (int j = 0; j < outputs; ++j) target[j] = static_cast<double>(out[chunk.top - j * step]);
        }
    }
}

void FirConvolver::Impl::fillLinear(int count)
{
    // lin[j] = the input j samples before the newest, in runs that do not wrap.
    std::uint32_t pos = (writeIndex - 1u) & kRingMask;
    int j = 0;
    while (j < count) {
        const int run = std::min(count - j, static_cast<int>(pos) + 1);
#if defined(__x86_64__)
        // Only reached on a vector path, so SSE is allowed here.
        firkernels::reverseCopySse(ring + pos, lin + j, run);
#else
        const float* src = ring + pos;
        float* dst = lin + j;
        for (int k = 0; k < run; ++k) dst[k] = src[-k];
#endif
        j += run;
        pos = (pos - static_cast<std::uint32_t>(run)) & kRingMask;
    }
    std::memset(lin + count, 0, sizeof(float) * kLinPad);
}

void FirConvolver::Impl::share(double* target, int count, int first, int stride)
{
    const Chunk& c = chunk;
    if (c.path == Path::Scalar) {
        for (int j = first; j < count; j += stride) {
            const int i = c.firstOutput + j * c.step;
            target[j] = static_cast<double>(
                scalarOutput(bank, ring, taps, c.ringStart + static_cast<std::uint32_t>(i)));
        }
    } else if (c.step == 1) {
        c.routine.groups(bank, kCopyStride, lin, taps, out, first, stride, count);
    } else {
        c.routine.spaced(bank, kCopyStride, lin, taps, out, c.top, c.step, first, stride, count);
    }
}

FirConvolver::FirConvolver(Threading mode) : impl_(new Impl(mode)) {}

FirConvolver::~FirConvolver() { delete impl_; }

void FirConvolver::setCoefficients(const double* h, int count)
{
    Impl& d = *impl_;
    std::lock_guard building(d.builder);
    std::lock_guard hold(d.handoff);
    // The bank blocks are not using, or the one they use while it is empty.
    const bool first = d.banks[d.live].taps.load(std::memory_order_relaxed) == 0;
    Impl::Bank& b = d.banks[first ? d.live : 1 - d.live];
    b.simd = processorHasSse() && cpu::simdEnabled();
    count = h == nullptr ? 0 : std::clamp(count, 0, kMaxTaps);
    const int copies = b.simd ? 4 : 1;
    for (int s = 0; s < copies; ++s) {
        float* c = b.copies + s * kCopyStride;
        for (int k = 0; k < count; ++k) c[s + k] = static_cast<float>(h[k]);
        // Zeros behind the last tap, and over whatever a longer earlier
        // response left there: the vector routines read past the end.
        const int end = std::min(kCopyStride, std::max(b.zeroFrom[s], count + s + 8));
        std::fill(c + count + s, c + end, 0.0f);
        b.zeroFrom[s] = count + s;
    }
    if (first) {
        b.taps.store(count, std::memory_order_release);
    } else {
        b.taps.store(count, std::memory_order_relaxed);
        d.stagedPending = true;
        d.pending.store(true, std::memory_order_release);
    }
    d.latestTaps.store(count, std::memory_order_relaxed);
    d.latestSimd.store(b.simd, std::memory_order_relaxed);
}

void FirConvolver::clearHistory() { impl_->clearRequested.store(true, std::memory_order_release); }

void FirConvolver::resetWriteIndex() { impl_->resetIndexRequested.store(true, std::memory_order_release); }

void FirConvolver::process(double* buf, int n) { impl_->run(buf, n, 1); }

void FirConvolver::processDecimating(double* buf, int n, int step) { impl_->run(buf, n, step); }

int FirConvolver::taps() const { return impl_->latestTaps.load(std::memory_order_relaxed); }

void FirConvolver::setPathOverride(Path p) { impl_->override.store(p, std::memory_order_relaxed); }

void FirConvolver::setWorkerLimit(int workers)
{
    Impl& d = *impl_;
    d.workerLimit.store(d.pool != nullptr ? std::clamp(workers, 0, d.pool->workerCount()) : 0,
                        std::memory_order_relaxed);
}

FirConvolver::Path FirConvolver::activePath() const
{
    const Impl& d = *impl_;
    return pathFor(d.latestSimd.load(std::memory_order_relaxed), d.latestTaps.load(std::memory_order_relaxed),
                   d.override.load(std::memory_order_relaxed));
}

} // namespace stravik::dsp
