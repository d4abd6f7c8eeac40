#include "effects/tone/Equaliser.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace stravik::effects {
namespace {

// A tone value from a damaged preset (NaN, or far outside 0..1) would design
// a filter of hundreds of dB or NaN coefficients; the sliders' range holds.
double toneValue(float v) { return std::isnan(v) ? 0.5 : std::clamp(static_cast<double>(v), 0.0, 1.0); }

} // namespace

Equaliser::Equaliser(EqualiserSettings& settings, EffectContext& context, int fiveBandJob, int graphicJob)
    : settings_(settings), context_(context), fiveBandJob_(fiveBandJob), graphicJob_(graphicJob)
{
    // Sections designed for the default rate, so the unit is usable before a
    // run; the FIRs stay pass-throughs until their first design.
    designSections();
    handoff_.adoptInto(sections_);
}

Equaliser::~Equaliser()
{
    if (context_.worker.busyWith(fiveBandJob_) || context_.worker.busyWith(graphicJob_)) context_.worker.waitIdle();
}

void Equaliser::start(int sampleRate)
{
    if (sampleRate > 0) rate_.store(sampleRate);
    designSections();
    handoff_.adoptInto(sections_);
    for (auto& s : sections_) s.reset();
    designFiveBand(Wait::UntilFinished);
    designGraphic(Wait::UntilFinished);
    fiveBandFir_.clearHistory();
    graphicFir_.clearHistory();
}

void Equaliser::design(Wait wait)
{
    designSections();
    const int type = settings_.eqtype.get();
    if (type == kEqFiveBand) designFiveBand(wait);
    if (type == kEqGraphic) designGraphic(wait);
}

void Equaliser::designSections()
{
    const int fs = rate_.load();
    const int type = settings_.eqtype.get();
    if (type < kEqHiFi || type > kEqAmpUs) return; // the FIR types use no sections
    const double b = toneGainDb(toneValue(settings_.bass.get()));
    const double m = toneGainDb(toneValue(settings_.mid.get()));
    const double t = toneGainDb(toneValue(settings_.treble.get()));
    handoff_.publish([&](dsp::IirFilter* s) {
        switch (type) {
        case kEqHiFi:
            s[kBass].designLowShelf(300, 1.0, b, 1.0, fs);
            s[kTreble].designHighShelf(1800, 1.0, t, 1.0, fs);
            s[kMiddle].designPeaking(1000, 0.8, m, 1.0, fs);
            break;
        case kEqAmpUk:
            s[kBass].designPeaking(100, 0.8, b, 1.0, fs);
            s[kTreble].designPeaking(6000, 0.8, t, 1.0, fs);
            s[kMiddle].designPeaking(700, 0.8, m, 1.0, fs);
            break;
        default: // kEqAmpUs
            s[kBass].designPeaking(60, 0.8, b, 1.0, fs);
            s[kTreble].designPeaking(6000, 0.8, t, 1.0, fs);
            s[kMiddle].designPeaking(300, 0.9, m, 1.0, fs);
            break;
        }
    });
}

void Equaliser::designFiveBand(Wait wait)
{
    double db[EqualiserSettings::kBands];
    for (int k = 0; k < EqualiserSettings::kBands; ++k) db[k] = toneGainDb(toneValue(settings_.bands[k].get()));
    submitDesign(fiveBandJob_, fiveBandFir_, kFiveBandHz, db, EqualiserSettings::kBands, wait);
}

void Equaliser::designGraphic(Wait wait)
{
    const int count = std::clamp(settings_.pointCount.get(), 0, EqualiserSettings::kMaxPoints);
    double hz[EqualiserSettings::kMaxPoints];
    double db[EqualiserSettings::kMaxPoints];
    for (int k = 0; k < count; ++k) {
        hz[k] = settings_.pointX[k].get();
        db[k] = settings_.pointY[k].get();
    }
    submitDesign(graphicJob_, graphicFir_, hz, db, count, wait);
}

void Equaliser::submitDesign(int job, dsp::PartitionedConvolver& target, const double* hz, const double* db, int count,
                             Wait wait)
{
    // The job works on a copy: the settings may change again while it runs
    // (a newer job of the same number then replaces it if it has not started).
    struct Curve {
        std::array<double, CurveFirDesigner::kMaxPoints> hz;
        std::array<double, CurveFirDesigner::kMaxPoints> db;
        int count;
        int rate;
    };
    Curve curve{};
    curve.count = std::clamp(count, 0, CurveFirDesigner::kMaxPoints);
    for (int k = 0; k < curve.count; ++k) {
        curve.hz[static_cast<size_t>(k)] = hz[k];
        curve.db[static_cast<size_t>(k)] = db[k];
    }
    curve.rate = rate_.load();
    dsp::PartitionedConvolver* fir = &target;
    context_.worker.submit(
        job,
        [this, fir, curve] {
            const int taps = designer_.design(curve.hz.data(), curve.db.data(), curve.count, curve.rate, taps_);
            fir->setCoefficients(taps_, taps);
        },
        wait);
}

void Equaliser::process(double* buf, int n)
{
    handoff_.adoptInto(sections_);
    switch (settings_.eqtype.get()) {
    case kEqHiFi:
    case kEqAmpUk:
    case kEqAmpUs:
        sections_[kTreble].process2(buf, n);
        sections_[kBass].process2(buf, n);
        sections_[kMiddle].process2(buf, n);
        break;
    case kEqFiveBand: fiveBandFir_.process(buf, n); break;
    case kEqGraphic: graphicFir_.process(buf, n); break;
    default: break; // an unknown type (damaged preset) leaves the signal alone
    }
}

} // namespace stravik::effects
