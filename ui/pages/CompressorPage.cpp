// The compressors' page: the input compressor, early in the chain, and the
// output compressor, before or after the power amp.
#include "engine/Engine.h"
#include "ui/pages/Pages.h"

#include <QVBoxLayout>

#include <cmath>

namespace stravik::ui {
namespace {

class CompressorPage final : public EffectPage {
public:
    CompressorPage(WindowContext& c, QWidget* parent) : EffectPage(tr("Compressors"), kCompressor, c, parent)
    {
        QGroupBox* in = addGroup(tr("Input"), 0, 0);
        addCheck(in, "In compressor", bindKey(engine_, "icompr_enabled"), [this] { refresh(); },
                 tip(tr("Evens out the guitar's level before the effects"), "icompr_enabled"));
        addControls(in, "compr_i", "compr_treshi", "compr_iattime");
        // The input group is a line shorter than the output's: its rows stay
        // on the same grid.
        static_cast<QVBoxLayout*>(in->layout())->addStretch(1);

        QGroupBox* out = addGroup(tr("Output"), 0, 1);
        addCheck(out, "Out compressor", bindKey(engine_, "ocompr_enabled"), [this] { refresh(); },
                 tip(tr("Evens out the level of the distorted sound"), "ocompr_enabled"));
        addControls(out, "compr_o", "compr_tresho", "compr_oattime");
        addCheck(out, "Place before power amp", bindKey(engine_, "ocompr_beforeamp"), {},
                 tip(tr("Runs the output compressor before the amp simulator instead of after it"),
                     "ocompr_beforeamp"));
        refresh();
    }

private:
    // The three sliders of one compressor; a moved slider counts from the
    // next block, so nothing needs preparing.
    void addControls(QGroupBox* group, const char* compression, const char* threshold, const char* attack)
    {
        addSlider(group, {.label = "Compression:", .minimum = 0, .maximum = 100, .reset = 0,
                          .value = [](int p) { return p / 100.0; },
                          .text = [](double v) { return format("%g%%", static_cast<float>(v * 100.0)); },
                          .binding = bindKey(engine_, compression),
                          .tip = tip(tr("How much of the compression curve is applied"), compression),
                          .position = [](double v) { return static_cast<int>(std::lround(v * 100.0)); }});
        addSlider(group, {.label = "Threshold:", .minimum = -30, .maximum = 0, .reset = -15,
                          .value = [](int p) { return static_cast<double>(p); },
                          .text = [](double v) { return format("%g dB", v); },
                          .binding = bindKey(engine_, threshold),
                          .tip = tip(tr("Shifts the curve: a lower threshold compresses quieter playing"),
                                     threshold),
                          .position = [](double v) { return static_cast<int>(std::lround(v)); }});
        addSlider(group, {.label = "Attack time:", .minimum = 0, .maximum = 250, .reset = 0,
                          .value = [](int p) { return p / 1000.0; },
                          .text = [](double v) { return format("%g ms", static_cast<float>(v * 1000.0)); },
                          .binding = bindKey(engine_, attack),
                          .tip = tip(tr("How long a sudden loud note takes to be turned down"), attack),
                          .position = [](double v) { return static_cast<int>(std::lround(v * 1000.0)); }});
    }
};

} // namespace

EffectPage* makeCompressorPage(WindowContext& c, QWidget* parent) { return new CompressorPage(c, parent); }

} // namespace stravik::ui
