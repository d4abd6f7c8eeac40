#pragma once
// The talk box: three vowel formants whose frequencies follow the wah
// frequency along a path through the vowels, after a brightness shelf.
#include "dsp/CubicSpline.h"
#include "dsp/IirFilter.h"

namespace stravik::effects {

class WahTalkBox {
public:
    static constexpr int kFormants = 3;
    // Blocks longer than this are filtered in pieces (the chain never sends
    // more than 128 frames).
    static constexpr int kMaxBlock = 128;

    WahTalkBox();

    // Designs the formants for wah frequency f with resonance r (0..10) and
    // brightness g (0..1) at the sample rate.
    void design(int f, double resonance, double brightness, int sampleRate);
    void process(double* buf, int n);
    void reset();

    // The curve of formant k (0..2) at x = (f - 300) / 4000, before any limit.
    double formantCurve(int k, double x) { return curves_[k](x); }
    // The formant frequencies of the last design (Hz, whole).
    int formantFrequency(int k) const { return formantHz_[k]; }
    const dsp::IirFilter& bandPass(int k) const { return bandPass_[k]; }
    const dsp::IirFilter& preFilter() const { return preFilter_; }

private:
    void processPiece(double* buf, int n);

    dsp::CubicSpline curves_[kFormants];
    dsp::IirFilter bandPass_[kFormants];
    dsp::IirFilter preFilter_;
    int formantHz_[kFormants] = {};
    double scratch_[kMaxBlock] = {};
    double acc_[kMaxBlock] = {};
};

} // namespace stravik::effects
