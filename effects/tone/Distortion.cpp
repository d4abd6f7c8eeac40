#include "effects/tone/Distortion.h"

#include "dsp/BackgroundWorker.h"
#include "dsp/Oversampler.h"
#include "dsp/UserMessages.h"

#include <algorithm>
#include <cmath>
#include <cstring>

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

} // namespace

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
}

void Distortion::loadKernel(int rate)
{
    const dsp::FirKernel k = dsp::decimationKernel(rate);
    lowPassKernel_.setCoefficients(k.taps, k.count);
}

void Distortion::designDynamicTable(int fs)
{
    IirFilter f;
    for (int corner = 0; corner <= kDynamicTableMax; ++corner) {
        f.designFirstOrderHighPass(corner, 1.0, fs);
        dynamicCoef_[corner][0] = f.coefficient(IirFilter::kB0);
        dynamicCoef_[corner][1] = f.coefficient(IirFilter::kB1);
        dynamicCoef_[corner][2] = f.coefficient(IirFilter::kA1);
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
        filters_[kPreHighPass].process2(b, m);
        switch (mode) {
        case kOverdrive: processOverdrive(b, m); break;
        case kDistortion: processDistortion(b, m); break;
        default: processMetal(b, m); break;
        }
        filters_[kUserLowPass].process2(b, m);
    }
}

void Distortion::processOverdrive(double* buf, int n)
{
    const bool sat = params_.dist_fbon.get() != 0;
    const double fb = params_.dist_fb.get();
    const double dryMix = params_.dist_dry_mix.get();
    // The dry path: the input above 720 Hz, so the pick attack stays clear
    // over the clipped signal.
    std::memcpy(dryPath_, buf, sizeof(double) * static_cast<size_t>(n));
    filters_[kDryHighPass].process1(dryPath_, n);
    for (int i = 0; i < n; ++i) {
        const double h = buf[i] / 2.0;
        const double v = sat ? saturate(h, 2.0 * fb + 1.0, 2.0 * fb + 1.1) : h;
        const double d = dryPath_[i] * dryMix;
        double r = table_.lookup(v) / 6.0 + d;
        if (sat) r = 2.0 * saturate(r / 2.0, 1.2, 1.3);
        buf[i] = 2.0 * r;
    }
}

double Distortion::dynamicHighPass(double x, int corner)
{
    const double* c = dynamicCoef_[corner];
    const double y = c[0] * x + c[1] * dynX1_ - c[2] * dynY1_;
    dynX1_ = x;
    dynY1_ = y;
    return y;
}

void Distortion::processDistortion(double* buf, int n)
{
    const bool sat = params_.dist_fbon.get() != 0;
    const double fb = params_.dist_fb.get();
    const double drive = finiteOr(params_.dist_drive.get(), 0.0) / 1000.0;
    const double g = (drive * drive * 300.0 + 1.0) / 10.0;
    for (int i = 0; i < n; ++i) {
        const double u = g * buf[i];
        buf[i] = u >= 0.0 ? 8.0 * driveUp_(u) : -8.0 * driveDown_(-u);
    }
    lowPassKernel_.process(buf, n);
    filters_[kHighPass30].process1(buf, n);
    double p = previousShaped_;
    for (int i = 0; i < n; ++i) {
        // How hard the shaper squeezed the last sample sets the high-pass:
        // 40 Hz for quiet playing, higher the deeper the compression.
        double r = 1.0;
        if (p > 0.01)
            r = shapeUp_(p) / p;
        else if (p < -0.01)
            r = shapeDown_(-p) / (-p);
        const double cornerHz = (1.0 - r) * 550.0 + 40.0;
        const int corner = cornerHz >= 0.0 ? static_cast<int>(std::min(cornerHz, double(kDynamicTableMax))) : 40;
        const double h = dynamicHighPass(buf[i], corner);
        double y = h >= 0.0 ? shapeUp_(h) : -shapeDown_(-h);
        p = y;
        if (sat) y = saturate(y, 2.0 * fb + 1.0, 2.0 * fb + 1.1);
        buf[i] = 0.3 * y;
    }
    previousShaped_ = p;
    filters_[kHighPass25].process1(buf, n);
}

void Distortion::processMetal(double* buf, int n)
{
    const bool sat = params_.dist_fbon.get() != 0;
    const double fb = params_.dist_fb.get();
    const double drive = finiteOr(params_.dist_drive.get(), 0.0) / 1000.0;
    for (int i = 0; i < n; ++i) {
        const double u = 10.0 * buf[i];
        buf[i] = u >= 0.0 ? driveUp_(u) : -driveUp_(-u);
    }
    filters_[kCircuitA].process2(buf, n);
    lowPassKernel_.process(buf, n);
    const double g = drive * drive * 300.0 + 5.0;
    for (int i = 0; i < n; ++i) {
        const double u = g * buf[i];
        double y = u >= 0.0 ? shapeUp_(u) : -shapeUp_(-u);
        if (sat) y = saturate(y, 2.0 * fb + 1.0, 2.0 * fb + 1.1);
        buf[i] = y;
    }
    filters_[kCircuitB].process2(buf, n);
    filters_[kLowPass10k].process1(buf, n);
    filters_[kPeak100].process2(buf, n);
    filters_[kPeak4770].process2(buf, n);
    filters_[kHighPass30].process1(buf, n);
    for (int i = 0; i < n; ++i) {
        const double x = buf[i];
        const double y = x >= 0.0 ? driveUp_(x / 1.7) : -driveUp_(-x / 1.7);
        buf[i] = 0.51 * y;
    }
}

} // namespace stravik::effects
