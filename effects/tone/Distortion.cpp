#include "effects/tone/Distortion.h"

#include "dsp/BackgroundWorker.h"
#include "dsp/CpuFeatures.h"
#include "dsp/Oversampler.h"
#include "dsp/UserMessages.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace stravik::effects {
namespace {

using dsp::IirFilter;

// The pedal circuit the Metal mode is modelled on (ohms, farads).
constexpr double R1 = 100000.0, R2 = 10000.0, R3 = 4700.0;
constexpr double C1 = 3.3e-08, C2 = 4.7e-08, C3 = 1.5e-08, C4 = 1e-06;

// H(s) = (n2 s^2 + n1 s + n0) / (d2 s^2 + d1 s + d0) through the bilinear
// transform s = c (1 - 1/z) / (1 + 1/z), c = 2 fs. No pre-warping: the
// circuits' corners sit far below the oversampled Nyquist frequency.
void designBilinear(IirFilter& f, double n2, double n1, double n0, double d2, double d1, double d0, int fs)
{
    const double c = 2.0 * fs, c2 = c * c;
    const double a0 = d2 * c2 + d1 * c + d0;
    const double b[3] = {(n2 * c2 + n1 * c + n0) / a0, (2.0 * n0 - 2.0 * n2 * c2) / a0, (n2 * c2 - n1 * c + n0) / a0};
    const double a[2] = {(2.0 * d0 - 2.0 * d2 * c2) / a0, (d2 * c2 - d1 * c + d0) / a0};
    f.setCoefficients(2, b, a);
    f.setInputGain(1.0);
}

double finiteOr(double v, double fallback) { return std::isfinite(v) ? v : fallback; }

// Drive curves: unity up to the knee, then a quick, rounded flattening (the
// negative half flattens lower, as an asymmetric transistor stage does).
constexpr double kDriveUpX[] = {0, 0.5, 0.8, 0.9, 1.0, 1.2, 1.8, 10.0};
constexpr double kDriveUpY[] = {0, 0.5, 0.8, 0.9, 0.96, 0.98, 0.988, 0.988};
constexpr double kDriveUpD[] = {1, 1, 1, 1, 0.2, 0.03, 0, 0};
constexpr double kDriveDownX[] = {0, 0.4, 0.5, 0.55, 0.64, 0.74, 0.96, 10.0};
constexpr double kDriveDownY[] = {0, 0.4, 0.5, 0.55, 0.59, 0.602, 0.605, 0.605};
constexpr double kDriveDownD[] = {1, 1, 1, 1, 0.3, 0.05, 0, 0};
// Shaping curves: a long, slow compression reaching far beyond 1.
constexpr double kShapeUpX[] = {0, 0.2, 0.4, 0.6, 0.7, 0.8, 1.0, 1.5, 2.0, 3.0, 5.0, 7.0, 12.0, 20.0};
constexpr double kShapeUpY[] = {0,        0.199998, 0.399793, 0.584132, 0.640384, 0.672645, 0.707921,
                                0.748108, 0.769058, 0.793855, 0.821005, 0.837513, 0.862665, 0.885621};
constexpr double kShapeDownX[] = {0, 0.15, 0.3, 0.4, 0.55, 0.75, 1.1, 1.5, 2.0, 3.0, 5.0, 7.0, 12.0, 20.0};
constexpr double kShapeDownY[] = {0,        0.149909, 0.29727,  0.381334, 0.453295, 0.49561,  0.530841,
                                  0.553111, 0.571112, 0.593911, 0.620118, 0.636461, 0.661731, 0.685036};

// The corner of the Distortion mode's level-following high-pass: how hard
// the shaping curve squeezed the last sample (its output p against p) sets
// it, 40 Hz when quiet up to 590 Hz when deeply compressed.
int cornerFor(const dsp::CurveSpline& up, const dsp::CurveSpline& down, double p)
{
    double r = 1.0;
    if (p > 0.01)
        r = up(p) / p;
    else if (p < -0.01)
        r = down(-p) / (-p);
    const double cornerHz = (1.0 - r) * 550.0 + 40.0;
    return cornerHz >= 0.0 ? static_cast<int>(std::min(cornerHz, 600.0)) : 40;
}

} // namespace

// The corner that follows a high-pass output h, i.e. cornerFor(shape(h)), as
// a table over h. Per sample the mode's loop then goes from one output of
// the high-pass to the coefficients of the next with a table look-up instead
// of two curve evaluations and a division, which is what the mode's
// sample-to-sample chain waits on. The table reproduces the formula exactly:
// each change of corner sits at the very double where the formula changes
// (found by bisection on the formula itself).
//
// Cells split |h| logarithmically, kCellsPerOctave to the octave from
// 2^kLowExponent to 2^kHighExponent, the two signs side by side: the cell of
// h is the top bits of |h| (exponent and kBits of the mantissa), then the
// sign, less an offset. Below the
// range the shaped value stays under 0.01 and the corner is that of 0; from
// 32 on, beyond the curves' last points, it is constant. A cell holds up to
// two changes; one with more (none does with the curves as they are) falls
// back to the formula.
class DistortionCornerTable {
public:
    static constexpr int kLowExponent = -7, kHighExponent = 5, kBits = 7;
    static constexpr int kCells = 2 * (kHighExponent - kLowExponent) << kBits;

    struct Cell {
        double threshold[2]; // |h| from which the next corner holds
        int corner[3];       // corner[0] < 0: use the formula
    };

    static const DistortionCornerTable& instance()
    {
        static const DistortionCornerTable table;
        return table;
    }

    // The cell of h, or -1 outside the cells' range (and for NaN).
    static int cellOf(double h)
    {
        uint64_t b;
        std::memcpy(&b, &h, sizeof b);
        const uint64_t key = (((b << 1) >> (53 - kBits)) << 1) | (b >> 63);
        const uint64_t cell = key - (static_cast<uint64_t>(1023 + kLowExponent) << (kBits + 1));
        return cell < static_cast<uint64_t>(kCells) ? static_cast<int>(cell) : -1;
    }

    const Cell& cell(int k) const { return cells_[k]; }

    // The corner of an h outside the cells.
    int outside(double h) const
    {
        const double a = std::fabs(h);
        const int sign = h < 0.0 ? 1 : 0;
        if (a >= kHigh) return beyond_[sign];
        if (a < kLow) return small_[sign];
        return exact(h); // NaN
    }

    int exact(double h) const { return cornerFor(up_, down_, h >= 0.0 ? up_(h) : -down_(-h)); }

private:
    static constexpr double kLow = 1.0 / 128.0, kHigh = 32.0;

    static double fromBits(uint64_t b)
    {
        double a;
        std::memcpy(&a, &b, sizeof a);
        return a;
    }

    int corner(bool negative, double a) const { return exact(negative ? -a : a); }

    DistortionCornerTable()
    {
        up_.buildAkima(kShapeUpX, kShapeUpY, 14);
        down_.buildAkima(kShapeDownX, kShapeDownY, 14);
        for (int sign = 0; sign < 2; ++sign) {
            small_[sign] = corner(sign == 1, 0.0);
            beyond_[sign] = corner(sign == 1, kHigh);
        }
        for (int k = 0; k < kCells; ++k) build(cells_[k], (k & 1) != 0, k >> 1);
    }

    void build(Cell& cell, bool negative, int k) const
    {
        const uint64_t first = ((static_cast<uint64_t>(1023 + kLowExponent) << kBits) + static_cast<uint64_t>(k))
                               << (52 - kBits);
        const uint64_t last = first + (uint64_t{1} << (52 - kBits)) - 1;
        cell.threshold[0] = cell.threshold[1] = std::numeric_limits<double>::infinity();
        int value = corner(negative, fromBits(first));
        cell.corner[0] = cell.corner[1] = cell.corner[2] = value;
        int changes = 0;
        constexpr int kProbes = 32;
        uint64_t below = first;
        for (int i = 1; i <= kProbes; ++i) {
            const uint64_t at = i == kProbes ? last : first + (last - first) / kProbes * static_cast<uint64_t>(i);
            const int v = corner(negative, fromBits(at));
            if (v == value) {
                below = at;
                continue;
            }
            // The first double at which the corner leaves `value`.
            uint64_t lo = below, hi = at;
            while (hi - lo > 1) {
                const uint64_t mid = lo + (hi - lo) / 2;
                if (corner(negative, fromBits(mid)) == value)
                    lo = mid;
                else
                    hi = mid;
            }
            if (changes == 2) {
                cell.corner[0] = -1;
                return;
            }
            const int next = corner(negative, fromBits(hi));
            cell.threshold[changes] = fromBits(hi);
            cell.corner[++changes] = next;
            if (changes == 1) cell.corner[2] = next;
            value = next;
            below = hi;
            if (v != value) --i; // another change before this probe
        }
    }

    dsp::CurveSpline up_, down_;
    int small_[2] = {40, 40};
    int beyond_[2] = {40, 40};
    Cell cells_[kCells] = {};
};

#if defined(__x86_64__)
namespace kernels {
// DistortionX86.cpp.
void saturateAvx2(double* buf, int n, double expPositive, double expNegative, double inScale, double outScale);
// The level-following high-pass over buf from state (b0, a1, x1, y1), while
// every h lands in a cell of the table that needs no formula; returns how
// many samples it did (the caller goes on from there).
int followingHighPassAvx2(double* buf, int n, const Distortion::DynamicCell* cells, const bool* exact,
                          const double outside[4][2], double state[4]);
} // namespace kernels
#endif

void saturateBlock(double* buf, int n, double expPositive, double expNegative, double inScale, double outScale)
{
#if defined(__x86_64__)
    if (dsp::cpu::avx2Allowed()) {
        kernels::saturateAvx2(buf, n, expPositive, expNegative, inScale, outScale);
        return;
    }
#endif
    for (int i = 0; i < n; ++i) buf[i] = outScale * saturate(inScale * buf[i], expPositive, expNegative);
}

void designCircuitFilterA(IirFilter& filter, int fs)
{
    designBilinear(filter, 0.0, R1 * R2 * C1, 0.0, R1 * R2 * R2 * C1 * C2, 2.0 * R1 * R2 * C1 + R2 * R2 * C2,
                   2.0 * R2, fs);
}

void designCircuitFilterB(IirFilter& filter, int fs)
{
    designBilinear(filter, R1 * R3 * C3 * C4, R1 * C4, 0.0, C3 * C4 * (R1 * R2 + R1 * R3 + R2 * R3),
                   R1 * C4 + R3 * C3 + R2 * C3 + R2 * C4, 1.0, fs);
}

int distortionModeFromPreset(int dist_mode, int dist_overdrv)
{
    if (dist_mode != -1) return dist_mode;
    return dist_overdrv != 0 ? kOverdrive : kDistortion;
}

Distortion::Distortion(DistortionParams& params, EffectContext& context)
    : params_(params), context_(context), driveUp_(&context.messages), driveDown_(&context.messages),
      shapeUp_(&context.messages), shapeDown_(&context.messages)
{
    // Usable before the first run: everything is designed for the default rate.
    buildCurves();
    const int rate = rate_.load();
    loadKernel(rate);
    designDynamicTable(4 * rate);
    setup();
    handoff_.adoptInto(filters_);
}

Distortion::~Distortion()
{
    // A table job writes into this object; it must be done before we go.
    if (context_.worker.busyWith(kTableJob)) context_.worker.waitIdle();
}

void Distortion::buildCurves()
{
    // The curves are constants of the stage: built once, they never change,
    // so the audio thread may read them at any time.
    driveUp_.buildHermite(kDriveUpX, kDriveUpY, kDriveUpD, 8);
    driveDown_.buildHermite(kDriveDownX, kDriveDownY, kDriveDownD, 8);
    shapeUp_.buildAkima(kShapeUpX, kShapeUpY, 14);
    shapeDown_.buildAkima(kShapeDownX, kShapeDownY, 14);
    driveUpCubic_.fromHermite(kDriveUpX, kDriveUpY, kDriveUpD, 8);
    driveDownCubic_.fromHermite(kDriveDownX, kDriveDownY, kDriveDownD, 8);
    double d[14];
    for (int i = 0; i < 14; ++i) d[i] = shapeUp_.derivative(i);
    shapeUpCubic_.fromHermite(kShapeUpX, kShapeUpY, d, 14);
    for (int i = 0; i < 14; ++i) d[i] = shapeDown_.derivative(i);
    shapeDownCubic_.fromHermite(kShapeDownX, kShapeDownY, d, 14);
    DistortionCornerTable::instance(); // made once for the program, here rather than in a block
}

void Distortion::loadKernel(int rate)
{
    const dsp::FirKernel k = dsp::decimationKernel(rate);
    lowPassKernel_.setCoefficients(k.taps, k.count);
}

static_assert(Distortion::kCornerCellCount == DistortionCornerTable::kCells);

void Distortion::designDynamicTable(int fs)
{
    IirFilter f;
    for (int corner = 0; corner <= kDynamicTableMax; ++corner) {
        f.designFirstOrderHighPass(corner, 1.0, fs);
        dynamicCoef_[corner][0] = f.coefficient(IirFilter::kB0);
        dynamicCoef_[corner][1] = f.coefficient(IirFilter::kB1);
        dynamicCoef_[corner][2] = f.coefficient(IirFilter::kA1);
    }
    // Each cell of the corner table with the coefficients of its corners at
    // hand, so that the loop goes from h to the next coefficients with one
    // dependent load.
    const DistortionCornerTable& table = DistortionCornerTable::instance();
    const double outsideH[4] = {0.0, -0.0 - 1e-300, 64.0, -64.0};
    for (int k = 0; k < 4; ++k) {
        const double* c = dynamicCoef_[table.outside(outsideH[k])];
        outsideCoef_[k][0] = c[0];
        outsideCoef_[k][1] = c[2];
    }
    for (int k = 0; k < kCornerCells; ++k) {
        const DistortionCornerTable::Cell& c = table.cell(k);
        DynamicCell& d = dynamicCells_[k];
        d.threshold[0] = c.threshold[0];
        d.threshold[1] = c.threshold[1];
        exactCells_[k] = c.corner[0] < 0;
        for (int s = 0; s < 3; ++s) {
            const int corner = exactCells_[k] ? 40 : c.corner[s];
            d.b0[s] = dynamicCoef_[corner][0];
            d.a1[s] = dynamicCoef_[corner][2];
        }
    }
}

void Distortion::designFilters(IirFilter* f, int fs)
{
    // A NaN or non-positive value (a damaged preset) would leave the
    // low-pass silent or unstable; the design takes the nearest usable one.
    const double lpFreq = std::max(1.0, finiteOr(params_.dist_lpfreq.get(), 5500.0));
    double lpQ = finiteOr(params_.dist_lpq.get(), 0.7);
    if (lpQ < 0.01) lpQ = 0.01;
    f[kPreHighPass].designHighPass(60, 1.0, 1.0, fs);
    f[kUserLowPass].designLowPass(static_cast<int>(std::min(lpFreq, 1e9)), lpQ, 1.0, fs);
    f[kDryHighPass].designFirstOrderHighPass(720, 1.0, fs);
    f[kHighPass30].designFirstOrderHighPass(30, 1.0, fs);
    f[kHighPass25].designFirstOrderHighPass(25, 1.0, fs);
    designCircuitFilterA(f[kCircuitA], fs);
    designCircuitFilterB(f[kCircuitB], fs);
    f[kLowPass10k].designFirstOrderLowPass(10000.0, 1.0, fs);
    f[kPeak100].designPeaking(100, 1.0, 7.0, 1.0, fs);
    f[kPeak4770].designPeaking(4770, 1.0, 10.0, 1.0, fs);
}

void Distortion::setup()
{
    const int fs = 4 * rate_.load();
    const float half = static_cast<float>(fs / 2);
    const float lp = params_.dist_lpfreq.get();
    if (std::isnan(lp)) params_.dist_lpfreq = 5500.0f;
    else if (lp > half) params_.dist_lpfreq = half; // stored lowered, so the page shows what is used
    handoff_.publish([&](IirFilter* staged) { designFilters(staged, fs); });
}

void Distortion::fullSetup()
{
    setup();
    rebuildTable(true);
}

void Distortion::rebuildTable(bool wait)
{
    const double drive = params_.dist_drive.get();
    const int clip = params_.dist_clip.get();
    const uint64_t generation = tableState_.load(std::memory_order_acquire) >> 1;
    tableDrive_.store(drive);
    tableClip_.store(clip);
    context_.worker.submit(
        kTableJob, [this, drive, clip, generation] { buildTable(drive, clip, generation); },
        wait ? dsp::BackgroundWorker::Wait::UntilFinished : dsp::BackgroundWorker::Wait::No);
}

void Distortion::invalidateTable()
{
    uint64_t s = tableState_.load(std::memory_order_acquire);
    while (!tableState_.compare_exchange_weak(s, ((s >> 1) + 1) << 1, std::memory_order_acq_rel)) {
    }
}

void Distortion::markReady(uint64_t generation)
{
    uint64_t expected = generation << 1;
    // Fails (and leaves the state alone) when the table is already ready for
    // this generation or was invalidated since the job was handed over.
    tableState_.compare_exchange_strong(expected, expected | 1u, std::memory_order_acq_rel);
}

void Distortion::showStatus(const char* text)
{
    if (DistortionStatus* s = status_.load()) s->showStatus(text);
}

void Distortion::buildTable(double drive, int clip, uint64_t generation)
{
    showStatus("Computing...");
    table_.build(drive, clip, [this] {
        if (!cannotFindYShown_.exchange(true)) context_.messages.show("Cannot find Y!!!");
    });
    showStatus("Ready.");
    markReady(generation);
}

bool Distortion::tableMatchesParams() const
{
    return tableDrive_.load() == params_.dist_drive.get() && tableClip_.load() == params_.dist_clip.get();
}

void Distortion::start(int sampleRate)
{
    if (sampleRate <= 0) sampleRate = rate_.load();
    rate_.store(sampleRate);
    loadKernel(sampleRate);
    designDynamicTable(4 * sampleRate);
    // A ready table built for other values (keys written without their
    // control's rebuild, e.g. from the command line) counts as not ready.
    if (!tableReady() || !tableMatchesParams())
        fullSetup();
    else
        setup();
    handoff_.adoptInto(filters_);
    for (auto& f : filters_) f.reset();
    lowPassKernel_.clearHistory();
    dynX1_ = dynY1_ = 0.0;
    previousShaped_ = 0.0;
}

void Distortion::clippingTypeChanged() { fullSetup(); }

void Distortion::slidersChanged(bool processing)
{
    if (!processing) {
        invalidateTable();
        return;
    }
    setup();
    if (params_.dist_mode.get() == kOverdrive && params_.dist_drive.get() != tableDrive_.load()) rebuildTable(false);
}

void Distortion::modeChanged()
{
    if (params_.dist_mode.get() == kOverdrive) rebuildTable(false);
}

void Distortion::presetLoaded(bool processing)
{
    invalidateTable();
    if (processing) fullSetup();
}

// ---------------------------------------------------------------- processing

void Distortion::process(double* buf, int n)
{
    handoff_.adoptInto(filters_);
    const int mode = params_.dist_mode.get();
    if (mode == kOverdrive && !tableReady()) return; // no table yet: the signal passes
    if (mode != kOverdrive && mode != kDistortion && mode != kMetalDistortion) return;
    for (int at = 0; at < n; at += kChunk) {
        double* b = buf + at;
        const int m = std::min(kChunk, n - at);
        filters_[kPreHighPass].processFast(b, m);
        switch (mode) {
        case kOverdrive: processOverdrive(b, m); break;
        case kDistortion: processDistortion(b, m); break;
        default: processMetal(b, m); break;
        }
        filters_[kUserLowPass].processFast(b, m);
    }
}

// The loops below go over the block once per step, so that only what truly
// depends on the sample before (the filters' recursions, the level-following
// high-pass) runs sample after sample, and the curves and powers run where
// neighbouring samples overlap.

void Distortion::processOverdrive(double* buf, int n)
{
    const bool sat = params_.dist_fbon.get() != 0;
    const double fb = params_.dist_fb.get();
    const double dryMix = params_.dist_dry_mix.get();
    // The dry path: the input above 720 Hz, so the pick attack stays clear
    // over the clipped signal.
    std::memcpy(dryPath_, buf, sizeof(double) * static_cast<size_t>(n));
    filters_[kDryHighPass].processFast(dryPath_, n);
    if (sat)
        saturateBlock(buf, n, 2.0 * fb + 1.0, 2.0 * fb + 1.1, 0.5, 1.0);
    else
        for (int i = 0; i < n; ++i) buf[i] = buf[i] / 2.0;
    for (int i = 0; i < n; ++i) buf[i] = table_.lookup(buf[i]) / 6.0 + dryPath_[i] * dryMix;
    if (sat)
        saturateBlock(buf, n, 1.2, 1.3, 0.5, 4.0); // 2 * (2 * saturate(r / 2))
    else
        for (int i = 0; i < n; ++i) buf[i] = 2.0 * buf[i];
}

int Distortion::cornerAfterShaped(double p) const { return cornerFor(shapeUp_, shapeDown_, p); }

void Distortion::processDistortion(double* buf, int n)
{
    const bool sat = params_.dist_fbon.get() != 0;
    const double fb = params_.dist_fb.get();
    const double drive = finiteOr(params_.dist_drive.get(), 0.0) / 1000.0;
    const double g = (drive * drive * 300.0 + 1.0) / 10.0;
    // 8 up(u) for u >= 0, else -8 down(-u): the same bits as 8 times the
    // odd pair's value (a product's rounding does not depend on its sign).
    for (int i = 0; i < n; ++i) buf[i] = g * buf[i];
    PiecewiseCubic::evaluateOdd(driveUpCubic_, driveDownCubic_, buf, buf, n);
    for (int i = 0; i < n; ++i) buf[i] = 8.0 * buf[i];
    lowPassKernel_.process(buf, n);
    filters_[kHighPass30].processFast(buf, n);
    // The high-pass whose corner follows how hard the shaper squeezed the
    // sample before: 40 Hz for quiet playing, higher the deeper the
    // compression. The block's first corner comes from the last block's
    // shaped output, every other one from the table over the high-pass's
    // own output.
    // (b1 of these high-passes is exactly -b0, so c[0] x + c[1] x1 is
    // b0 x - b0 x1 to the bit.)
    const DistortionCornerTable& table = DistortionCornerTable::instance();
    const double* c = dynamicCoef_[cornerAfterShaped(previousShaped_)];
    double b0 = c[0], a1 = c[2];
    double x1 = dynX1_, y1 = dynY1_;
    const auto nextCoefficients = [&](double h) {
        const int k = DistortionCornerTable::cellOf(h);
        if (k >= 0 && !exactCells_[k]) {
            const DynamicCell& cell = dynamicCells_[k];
            const double a = std::fabs(h);
            const int segment = static_cast<int>(a >= cell.threshold[0]) + static_cast<int>(a >= cell.threshold[1]);
            b0 = cell.b0[segment];
            a1 = cell.a1[segment];
        } else {
            const double* next = dynamicCoef_[k >= 0 ? table.exact(h) : table.outside(h)];
            b0 = next[0];
            a1 = next[2];
        }
    };
    int i = 0;
    while (i < n) {
#if defined(__x86_64__)
        if (dsp::cpu::avx2Allowed()) {
            double state[4] = {b0, a1, x1, y1};
            i += kernels::followingHighPassAvx2(buf + i, n - i, dynamicCells_, exactCells_, outsideCoef_, state);
            b0 = state[0];
            a1 = state[1];
            x1 = state[2];
            y1 = state[3];
            if (i > 0) nextCoefficients(y1); // it stopped after an h it leaves to us (or at the end)
            continue;
        }
#endif
        const double x = buf[i];
        const double h = b0 * x - b0 * x1 - a1 * y1;
        x1 = x;
        y1 = h;
        buf[i] = h;
        nextCoefficients(h);
        ++i;
    }
    dynX1_ = x1;
    dynY1_ = y1;
    if (n > 0) previousShaped_ = y1 >= 0.0 ? shapeUp_(y1) : -shapeDown_(-y1);
    // (The high-pass's output jumps across the shaping curve's intervals
    // too often for the block evaluation to gain on this loop.)
    for (int i = 0; i < n; ++i) {
        const double h = buf[i];
        buf[i] = h >= 0.0 ? shapeUpCubic_(h) : -shapeDownCubic_(-h);
    }
    if (sat)
        saturateBlock(buf, n, 2.0 * fb + 1.0, 2.0 * fb + 1.1, 1.0, 0.3);
    else
        for (int i = 0; i < n; ++i) buf[i] = 0.3 * buf[i];
    filters_[kHighPass25].processFast(buf, n);
}

void Distortion::processMetal(double* buf, int n)
{
    const bool sat = params_.dist_fbon.get() != 0;
    const double fb = params_.dist_fb.get();
    const double drive = finiteOr(params_.dist_drive.get(), 0.0) / 1000.0;
    for (int i = 0; i < n; ++i) buf[i] = 10.0 * buf[i];
    PiecewiseCubic::evaluateOdd(driveUpCubic_, driveUpCubic_, buf, buf, n);
    filters_[kCircuitA].processFast(buf, n);
    lowPassKernel_.process(buf, n);
    const double g = drive * drive * 300.0 + 5.0;
    for (int i = 0; i < n; ++i) buf[i] = g * buf[i];
    PiecewiseCubic::evaluateOdd(shapeUpCubic_, shapeUpCubic_, buf, buf, n);
    if (sat) saturateBlock(buf, n, 2.0 * fb + 1.0, 2.0 * fb + 1.1, 1.0, 1.0);
    filters_[kCircuitB].processFast(buf, n);
    filters_[kLowPass10k].processFast(buf, n);
    filters_[kPeak100].processFast(buf, n);
    filters_[kPeak4770].processFast(buf, n);
    filters_[kHighPass30].processFast(buf, n);
    // 0.51 (x >= 0 ? up(x / 1.7) : -up(-x / 1.7)), as up(|x| / 1.7) with x's
    // sign: the same bits (at x = -0 both arguments give the curve's start).
    double shaped[kChunk];
    for (int i = 0; i < n; ++i) shaped[i] = std::fabs(buf[i]) / 1.7;
    driveUpCubic_.evaluate(shaped, shaped, n);
    for (int i = 0; i < n; ++i) buf[i] = 0.51 * (buf[i] >= 0.0 ? shaped[i] : -shaped[i]);
}

} // namespace stravik::effects
