#include "effects/tone/ToneControl.h"

#include <cmath>

namespace stravik::effects {

ToneControl::ToneControl(IoControlParams& params, EffectContext& context)
    : params_(params), context_(context), input_(params.ictrl, context, kInputFiveBandJob, kInputGraphicJob),
      output_(params.octrl, context, kOutputFiveBandJob, kOutputGraphicJob)
{
    designHissAndHum();
    handoff_.adoptInto(filters_);
    gate_.setup(rate_.load());
}

void ToneControl::start(int sampleRate)
{
    if (sampleRate > 0) rate_.store(sampleRate);
    const int fs = rate_.load();
    input_.start(fs);
    output_.start(fs);
    designHissAndHum();
    handoff_.adoptInto(filters_);
    for (auto& f : filters_) f.reset();
    gate_.setup(fs);
}

void ToneControl::presetLoaded()
{
    input_.design();
    output_.design();
    designHissAndHum();
}

void ToneControl::designHissAndHum()
{
    const int fs = rate_.load();
    handoff_.publish([fs](dsp::IirFilter* f) {
        // 8 kHz, fourth order: takes the hiss of a high-gain input away
        // without dulling the guitar, which has little above it.
        f[kHiss].designSteepLowPass(8000, 0.8, fs);
        // A narrow, deep notch on the mains frequency.
        f[kHum].designPeaking(50, 7.0, -40.0, 1.0, fs);
    });
}

void ToneControl::processNoiseGate(double* buf, int n)
{
    handoff_.adoptInto(filters_);
    double ratio = params_.nf_ratio.get();
    // Below 1 the expander would lift the noise instead (up to infinity for
    // silence); a damaged preset is held to the slider's range.
    if (!(ratio >= 1.0)) ratio = 1.0;
    gate_.process(buf, n, params_.nf_tresh.get(), ratio);
}

void ToneControl::processInput(double* buf, int n)
{
    handoff_.adoptInto(filters_);
    if (params_.ictrl_enabled.get()) input_.process(buf, n);
    if (params_.io_hiss.get()) filters_[kHiss].process4(buf, n);
    if (params_.io_50hz.get()) filters_[kHum].process2(buf, n);
}

void ToneControl::processOutput(double* buf, int n)
{
    if (params_.octrl_enabled.get()) output_.process(buf, n);
}

} // namespace stravik::effects
