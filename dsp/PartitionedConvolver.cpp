#include "dsp/PartitionedConvolver.h"

#include <algorithm>
#include <complex>
#include <cstring>
#include <memory>

namespace stravik::dsp {

namespace {

constexpr int kP = PartitionedConvolver::kPartition;
constexpr int kBins = kP + 1;
constexpr int kStride = (kBins + 3) / 4 * 4; // rows padded so the multiply-adds vectorise

// acc += x * h over one row of bins, complex, as split real and imaginary
// rows. On x86 the processor's widest vectors are picked at start-up (not in
// sanitizer builds, whose run-time starts after that choice).
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
__attribute__((target_clones("avx2", "default")))
#endif
void multiplyAccumulate(double* __restrict ar, double* __restrict ai, const double* __restrict xr,
                        const double* __restrict xi, const double* __restrict hr, const double* __restrict hi)
{
    for (int k = 0; k < kStride; ++k) {
        ar[k] += xr[k] * hr[k] - xi[k] * hi[k];
        ai[k] += xr[k] * hi[k] + xi[k] * hr[k];
    }
}

// Rows of spectra, kStride apart.
struct Rows {
    explicit Rows(int count) : data(new double[static_cast<size_t>(count) * kStride]()) {}
    double* operator[](int row) { return data.get() + static_cast<size_t>(row) * kStride; }
    const double* operator[](int row) const { return data.get() + static_cast<size_t>(row) * kStride; }
    std::unique_ptr<double[]> data;
};

} // namespace

struct PartitionedConvolver::Bank {
    explicit Bank(int partitions) : re(partitions), im(partitions) {}
    int taps = 0;
    int parts = 0;
    bool restart = false; // the history ends where this response begins
    double head[kP] = {}; // the first partition's taps, for samples taken one at a time
    // Partition p's spectrum (taps p*P .. p*P+P-1, zero-padded to 2P),
    // scaled by 1 / 2P so that a forward and an inverse transform come back
    // at unit gain.
    Rows re, im;
};

struct PartitionedConvolver::State {
    explicit State(int partitions) : fdlRe(partitions), fdlIm(partitions), partitions(partitions) {}
    double frame[kP] = {};     // the partition of input being gathered
    double previous[kP] = {};  // the one before it
    int position = 0;          // samples in frame
    // Spectra of the most recent complete input partitions (a ring; each is
    // the transform of a partition together with the one before it).
    Rows fdlRe, fdlIm;
    int partitions;
    int newest = 0;
    // What the complete partitions contribute to the frame being gathered:
    // sum over p >= 1 of X[-p] H[p], as a spectrum, and (made when a block
    // needs it sample by sample) as time values.
    alignas(64) double accRe[kStride] = {};
    alignas(64) double accIm[kStride] = {};
    double tail[kP] = {};
    bool tailReady = false;
};

PartitionedConvolver::PartitionedConvolver(int maxTaps)
    : builderFft_(std::make_unique<RealFft>(2 * kP)), partitions_(std::max(1, (maxTaps + kP - 1) / kP))
{
    staged_ = std::make_unique<Bank>(partitions_);
    live_ = std::make_unique<Bank>(partitions_);
    state_ = std::make_unique<State>(partitions_);
}

PartitionedConvolver::~PartitionedConvolver() = default;

void PartitionedConvolver::setCoefficients(const double* h, int count, bool restart)
{
    std::lock_guard builder(builderLock_);
    count = h == nullptr ? 0 : std::clamp(count, 0, maxTaps());
    const int parts = (count + kP - 1) / kP;
    std::lock_guard hold(handoff_);
    Bank& b = *staged_;
    // A response still waiting to be taken over that asked for a restart
    // keeps asking: the history it cut off must not come back.
    b.restart = restart || (stagedPending_ && b.restart);
    b.taps = count;
    b.parts = parts;
    // Single precision, as the direct form always took its taps.
    const auto tap = [&](int k) { return k < count ? static_cast<double>(static_cast<float>(h[k])) : 0.0; };
    for (int k = 0; k < kP; ++k) b.head[k] = tap(k);
    double* t = builderFft_->time();
    for (int p = 0; p < parts; ++p) {
        std::fill_n(t, 2 * kP, 0.0);
        for (int k = 0; k < kP; ++k) t[k] = tap(p * kP + k) / (2.0 * kP);
        builderFft_->forward();
        const std::complex<double>* f = builderFft_->spectrum();
        for (int k = 0; k < kBins; ++k) {
            b.re[p][k] = f[k].real();
            b.im[p][k] = f[k].imag();
        }
    }
    stagedPending_ = true;
    pending_.store(true, std::memory_order_release);
    taps_.store(count, std::memory_order_release);
}

void PartitionedConvolver::clearHistory() { clearPending_.store(true, std::memory_order_release); }

void PartitionedConvolver::adopt()
{
    if (!pending_.load(std::memory_order_acquire)) return;
    std::unique_lock hold(handoff_, std::try_to_lock);
    if (!hold.owns_lock() || !stagedPending_) return; // the builder is at work: the old response plays on
    std::swap(live_, staged_);
    stagedPending_ = false;
    pending_.store(false, std::memory_order_relaxed);
    if (live_->restart) clearState();
    // The frame being gathered now owes its tail to the new response.
    refreshTail();
}

void PartitionedConvolver::clearState()
{
    State& s = *state_;
    std::fill_n(s.frame, kP, 0.0);
    std::fill_n(s.previous, kP, 0.0);
    std::fill_n(s.fdlRe.data.get(), static_cast<size_t>(s.partitions) * kStride, 0.0);
    std::fill_n(s.fdlIm.data.get(), static_cast<size_t>(s.partitions) * kStride, 0.0);
    s.position = 0;
}

void PartitionedConvolver::refreshTail()
{
    State& s = *state_;
    const Bank& b = *live_;
    std::fill_n(s.accRe, kStride, 0.0);
    std::fill_n(s.accIm, kStride, 0.0);
    for (int p = 1; p < b.parts; ++p) {
        int slot = s.newest - (p - 1);
        if (slot < 0) slot += s.partitions;
        multiplyAccumulate(s.accRe, s.accIm, s.fdlRe[slot], s.fdlIm[slot], b.re[p], b.im[p]);
    }
    s.tailReady = false;
}

// A partition of input is complete: its spectrum joins the ring and the next
// frame's tail is summed.
void PartitionedConvolver::completeFrame()
{
    State& s = *state_;
    double* t = fft_.time();
    std::copy_n(s.previous, kP, t);
    std::copy_n(s.frame, kP, t + kP);
    fft_.forward();
    s.newest = (s.newest + 1) % s.partitions;
    const std::complex<double>* f = fft_.spectrum();
    for (int k = 0; k < kBins; ++k) {
        s.fdlRe[s.newest][k] = f[k].real();
        s.fdlIm[s.newest][k] = f[k].imag();
    }
    std::copy_n(s.frame, kP, s.previous);
    s.position = 0;
    refreshTail();
}

void PartitionedConvolver::directHead(double* out, int from, int count)
{
    State& s = *state_;
    const Bank& b = *live_;
    if (!s.tailReady) {
        std::complex<double>* f = fft_.spectrum();
        for (int k = 0; k < kBins; ++k) f[k] = {s.accRe[k], s.accIm[k]};
        fft_.inverse();
        std::copy_n(fft_.time() + kP, kP, s.tail);
        s.tailReady = true;
    }
    for (int j = from; j < from + count; ++j) {
        double y = s.tail[j];
        for (int k = 0; k < kP; ++k) y += b.head[k] * (j - k >= 0 ? s.frame[j - k] : s.previous[kP + j - k]);
        out[j - from] = y;
    }
}

// A single tap (the equalisers' pass-through) gives exactly what the
// single-precision direct form gives: the input times the tap, rounded to
// single precision. The history runs on all the same.
void PartitionedConvolver::singleTap(double* out, const double* in, int n) const
{
    const float tap = static_cast<float>(live_->head[0]);
    for (int i = 0; i < n; ++i) out[i] = static_cast<double>(tap * static_cast<float>(in[i]));
}

void PartitionedConvolver::process(double* buf, int n)
{
    adopt();
    State& s = *state_;
    if (clearPending_.exchange(false, std::memory_order_acquire)) {
        clearState();
        refreshTail();
    }
    const Bank& b = *live_;
    if (b.taps == 0) return;
    int done = 0;
    while (done < n) {
        double* block = buf + done;
        if (s.position == 0 && n - done >= kP) {
            // A whole partition: the transform of it and the one before,
            // times the first partition of taps, plus the tail, back in one
            // inverse transform.
            for (int i = 0; i < kP; ++i) s.frame[i] = static_cast<float>(block[i]);
            double* t = fft_.time();
            std::copy_n(s.previous, kP, t);
            std::copy_n(s.frame, kP, t + kP);
            fft_.forward();
            s.newest = (s.newest + 1) % s.partitions;
            std::complex<double>* f = fft_.spectrum();
            double* xr = s.fdlRe[s.newest];
            double* xi = s.fdlIm[s.newest];
            for (int k = 0; k < kBins; ++k) {
                xr[k] = f[k].real();
                xi[k] = f[k].imag();
            }
            for (int k = kBins; k < kStride; ++k) xr[k] = xi[k] = 0.0;
            multiplyAccumulate(s.accRe, s.accIm, xr, xi, b.re[0], b.im[0]);
            for (int k = 0; k < kBins; ++k) f[k] = {s.accRe[k], s.accIm[k]};
            fft_.inverse();
            std::copy_n(t + kP, kP, block);
            if (b.taps == 1) singleTap(block, s.frame, kP);
            std::copy_n(s.frame, kP, s.previous);
            refreshTail();
            done += kP;
            continue;
        }
        // Part of a partition: the first partition's taps sample by sample.
        const int len = std::min(n - done, kP - s.position);
        for (int i = 0; i < len; ++i) s.frame[s.position + i] = static_cast<float>(block[i]);
        directHead(block, s.position, len);
        if (b.taps == 1) singleTap(block, s.frame + s.position, len);
        s.position += len;
        done += len;
        if (s.position == kP) completeFrame();
    }
}

} // namespace stravik::dsp
