// The page of the two ends of the chain: the input and the output
// equalisers, the hiss and hum filters, the noise gate.
#include "engine/Engine.h"
#include "ui/pages/EqualiserPanel.h"
#include "ui/pages/Pages.h"

#include <QVBoxLayout>

#include <cmath>

namespace stravik::ui {
namespace {

class IoControlPage final : public EffectPage {
public:
    IoControlPage(WindowContext& c, QWidget* parent) : EffectPage(tr("IO Control"), kIoControl, c, parent)
    {
        auto& tone = engine_.effects().toneUnit;
        // Each switch also moves the page's own on/off box.
        auto switched = [this] { refresh(); };

        QGroupBox* input = addGroup(tr("Input equaliser"), 0, 0);
        input_ = new EqualiserPanel(engine_, tone.inputEqualiser(), "Input", "input equaliser",
                                    {"ictrl_enabled", "ictrl", "i"}, switched, input);
        addRow(input, input_);
        QGroupBox* output = addGroup(tr("Output equaliser"), 0, 1);
        output_ = new EqualiserPanel(engine_, tone.outputEqualiser(), "Output", "output equaliser",
                                     {"octrl_enabled", "octrl", "o"}, switched, output);
        addRow(output, output_);

        QGroupBox* filters = addGroup(tr("Filters"), 1, 0);
        addCheck(filters, "LowPass 8KHz", bindKey(engine_, "io_hiss"), switched,
                 tip(tr("Takes the hiss above 8 kHz away from the input"), "io_hiss"));
        addCheck(filters, "50Hz hum filter", bindKey(engine_, "io_50hz"), switched,
                 tip(tr("A deep, narrow notch on the 50 Hz mains hum"), "io_50hz"));
        static_cast<QVBoxLayout*>(filters->layout())->addStretch(1);

        QGroupBox* gate = addGroup(tr("Noise gate"), 1, 1);
        addCheck(gate, "Noise gate filter", bindKey(engine_, "nf_enabled"), switched,
                 tip(tr("Turns the input down while you are not playing"), "nf_enabled"));
        // The gate's sliders also have the hiss and hum filters designed
        // afresh.
        auto redesignFilters = [&tone] { tone.designHissAndHum(); };
        addSlider(gate, {.label = "Threshold", .minimum = -100, .maximum = 0, .reset = -50,
                         .value = [](int p) { return static_cast<double>(p); },
                         .text = [](double v) { return formatInt("%ddB", static_cast<int>(v)); },
                         .binding = bindKey(engine_, "nf_tresh"),
                         .after = redesignFilters,
                         .tip = tip(tr("Level below which the gate closes"), "nf_tresh"),
                         .position = [](double v) { return static_cast<int>(std::lround(v)); }});
        addSlider(gate, {.label = "Ratio", .minimum = 10, .maximum = 100, .reset = 20,
                         .value = [](int p) { return p / 10.0; },
                         .text = [](double v) { return format("%g", static_cast<float>(v)); },
                         .binding = bindKey(engine_, "nf_ratio"),
                         .after = redesignFilters,
                         .tip = tip(tr("How much faster than the input the level falls below the threshold"),
                                    "nf_ratio"),
                         .position = [](double v) { return static_cast<int>(std::lround(v * 10.0)); }});
        refresh();
    }

    void refresh() override
    {
        EffectPage::refresh();
        input_->refresh();
        output_->refresh();
    }

private:
    EqualiserPanel* input_ = nullptr;
    EqualiserPanel* output_ = nullptr;
};

} // namespace

EffectPage* makeIoControlPage(WindowContext& c, QWidget* parent) { return new IoControlPage(c, parent); }

} // namespace stravik::ui
