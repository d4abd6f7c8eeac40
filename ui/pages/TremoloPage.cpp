// The tremolo's page: the period and depth of the gain's swing, and its shape.
#include "engine/Engine.h"
#include "ui/pages/PageKit.h"
#include "ui/pages/Pages.h"

namespace stravik::ui {
namespace {

class TremoloPage final : public KitPage {
public:
    TremoloPage(WindowContext& c, QWidget* parent) : KitPage(tr("Tremolo"), kTremolo, c, parent)
    {
        // The tremolo reads its settings as it plays: nothing to recompute.
        QGroupBox* swing = addGroup(tr("Modulation"), 0, 0);
        addSlider(swing, {.label = "Period:", .minimum = 1, .maximum = 300, .reset = 20,
                          .value = [](int p) { return p / 100.0; },
                          .text = [](double v) { return format("%g s", v); },
                          .binding = bindKey(engine_, "trem_period"),
                          .tip = tip(tr("Time of one swing of the volume"), "trem_period")});
        addSlider(swing, {.label = "Level:", .minimum = 0, .maximum = 100, .reset = 30,
                          .value = [](int p) { return p / 100.0; },
                          .text = [](double v) { return format("%g%%", v * 100); },
                          .binding = bindKey(engine_, "trem_level"),
                          .tip = tip(tr("How far the volume dips"), "trem_level")});

        QGroupBox* shape = addGroup("LFO type ", 0, 1);
        addChoice(shape, {"Sine", "Triangular", "Square"}, {0, 1, 2}, bindKey(engine_, "trem_lfo"), {},
                  tip(tr("Shape of the swing"), "trem_lfo"), Qt::Vertical);
        finish();
    }
};

} // namespace

EffectPage* makeTremoloPage(WindowContext& c, QWidget* parent) { return new TremoloPage(c, parent); }

} // namespace stravik::ui
