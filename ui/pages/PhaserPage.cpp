// The phaser's page: the centre of the sweep, its depth and period, the
// feedback and level, and the "Vintage analog" all-pass chain.
#include "engine/Engine.h"
#include "ui/pages/PageKit.h"
#include "ui/pages/Pages.h"

namespace stravik::ui {
namespace {

class PhaserPage final : public KitPage {
public:
    PhaserPage(WindowContext& c, QWidget* parent) : KitPage(tr("Phaser"), kPhaser, c, parent)
    {
        auto& phaser = engine_.params.phaser;
        // Every change recomputes the sweep of the form in use.
        const auto prepare = [this] {
            engine_.effects().phaserUnit.prepare(engine_.params.phaser.phaser_analog.get());
        };

        QGroupBox* sweep = addGroup(tr("Sweep"), 0, 0);
        addSlider(sweep, {.label = "Center freq:", .minimum = 100, .maximum = 4000, .reset = 1000,
                          .value = [](int p) { return static_cast<double>(p); },
                          .text = [](double v) { return format("%g Hz", v); },
                          .binding = bindKey(engine_, "phaser_delay"),
                          .after = prepare,
                          .tip = tip(tr("Middle of the sweep"), "phaser_delay"),
                          .position = [](double v) { return static_cast<int>(v); }});
        addSlider(sweep, {.label = "Mod.Depth:", .minimum = 0, .maximum = 100, .reset = 50,
                          .value = [](int p) { return static_cast<double>(p); },
                          .text = [](double v) { return format("%g %%", v); },
                          .binding = bindKey(engine_, "phaser_depth"),
                          .after = prepare,
                          .tip = tip(tr("How far the sweep goes either side of the centre"), "phaser_depth")});
        addSlider(sweep, {.label = "Mod.Period:", .minimum = 10, .maximum = 1000, .reset = 200,
                          .value = [](int p) { return p / 100.0; },
                          .text = [](double v) { return format("%g s", v); },
                          .binding = bindKey(engine_, "phaser_period"),
                          .after = prepare,
                          .tip = tip(tr("Time of one sweep"), "phaser_period")});

        QGroupBox* sound = addGroup(tr("Sound"), 0, 1);
        addSlider(sound, {.label = "Feed back:", .minimum = 0, .maximum = 80, .reset = 65,
                          .value = [](int p) { return p / 100.0; },
                          .text = [](double v) { return format("%g %%", v * 100); },
                          .binding = bindKey(engine_, "phaser_fb"),
                          .after = prepare,
                          .tip = tip(tr("How strongly the notches ring"), "phaser_fb")});
        // The dry gain is kept beside the level for the presets.
        addSlider(sound, {.label = "Level:", .minimum = 0, .maximum = 100, .reset = 50,
                          .value = [](int p) { return p / 100.0; },
                          .text = [](double v) { return format("%g %%", v * 100); },
                          .binding = {[&phaser] { return static_cast<double>(phaser.phaser_wet.get()); },
                                      [&phaser](double wet) {
                                          phaser.phaser_wet = static_cast<float>(wet);
                                          phaser.phaser_dry = static_cast<float>(1.0 - wet);
                                      }},
                          .after = prepare,
                          .tip = tip(tr("How much of the phased signal is added"), "phaser_wet")});

        QGroupBox* vintage = addGroup(tr("All-pass chain"), 1, 0);
        addCheck(vintage, "Vintage analog", bindKey(engine_, "phaser_analog"), prepare,
                 tip(tr("A chain of all-pass filters instead of the swept delay"), "phaser_analog"));
        stages_ = addSlider(vintage, {.label = "FiltStages:", .minimum = 1, .maximum = 5, .reset = 2,
                                      .value = [](int p) { return 2.0 * p; },
                                      .text = [](double v) { return formatInt("%d", static_cast<int>(v)); },
                                      .binding = bindKey(engine_, "phaser_filt_stages"),
                                      .after = prepare,
                                      .tip = tip(tr("Number of all-pass stages (Vintage analog only)"),
                                                 "phaser_filt_stages"),
                                      .leftWord = "(Vintage)"});
        finish();
    }

protected:
    void applyRules() override { stages_->setEnabled(engine_.params.phaser.phaser_analog.get() != 0); }

private:
    SliderRow* stages_ = nullptr;
};

} // namespace

EffectPage* makePhaserPage(WindowContext& c, QWidget* parent) { return new PhaserPage(c, parent); }

} // namespace stravik::ui
