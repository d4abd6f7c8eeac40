// The chorus's page: the delay and its sweep, the voices and the feedback,
// the stereo voices, the mixing ratio.
#include "engine/Engine.h"
#include "ui/pages/PageKit.h"
#include "ui/pages/Pages.h"

#include <QCheckBox>

namespace stravik::ui {
namespace {

class ChorusPage final : public KitPage {
public:
    ChorusPage(WindowContext& c, QWidget* parent) : KitPage(tr("Chorus"), kChorus, c, parent)
    {
        auto& chorus = engine_.params.chorus;
        // A slider's new value glides in (the voices' delays are smoothed)
        // rather than jumping with a click.
        const auto moved = [this] {
            unit().setGlideFlag();
            unit().prepare();
        };
        const auto milliseconds = [](double v) { return format("%g ms", v * 1000); };
        // Switching the chorus or its stereo voices is heard at once again.
        const auto switched = [this] { unit().clearGlideFlag(); };
        connect(onOffBox(), &QCheckBox::clicked, this, switched);

        QGroupBox* delay = addGroup(tr("Delay"), 0, 0);
        addSlider(delay, {.label = "Delay time:", .minimum = 0, .maximum = 800, .reset = 200,
                          .value = [](int p) { return p / 10000.0; },
                          .text = milliseconds,
                          .binding = bindKey(engine_, "chorus_delay"),
                          .after = moved,
                          .tip = tip(tr("Middle of the voices' delay"), "chorus_delay")});
        addSlider(delay, {.label = "Mod.Depth:", .minimum = 0, .maximum = 500, .reset = 100,
                          .value = [](int p) { return p / 10000.0; },
                          .text = milliseconds,
                          .binding = bindKey(engine_, "chorus_depth"),
                          .after = moved,
                          .tip = tip(tr("How far the delay sweeps, peak to peak"), "chorus_depth")});
        addSlider(delay, {.label = "Mod.Period:", .minimum = 10, .maximum = 1000, .reset = 400,
                          .value = [](int p) { return p / 100.0; },
                          .text = [](double v) { return format("%g s", v); },
                          .binding = bindKey(engine_, "chorus_period"),
                          .after = moved,
                          .tip = tip(tr("Time of one sweep of the first voice"), "chorus_period")});

        QGroupBox* voices = addGroup(tr("Voices"), 0, 1);
        addSlider(voices, {.label = "Voices:", .minimum = 1, .maximum = 3, .reset = 1,
                           .value = [](int p) { return static_cast<double>(p); },
                           .text = [](double v) { return formatInt("%d", static_cast<int>(v)); },
                           .binding = bindKey(engine_, "chorus_voices"),
                           .after = moved,
                           .tip = tip(tr("Number of delayed copies"), "chorus_voices")});
        addSlider(voices, {.label = "Feed back:", .minimum = 0, .maximum = 80, .reset = 25,
                           .value = [](int p) { return p / 100.0; },
                           .text = [](double v) { return format("%g %%", v * 100); },
                           .binding = bindKey(engine_, "chorus_fb"),
                           .after = moved,
                           .tip = tip(tr("How much of the voices goes back into the line"), "chorus_fb")});

        QGroupBox* stereo = addGroup(tr("Stereo"), 1, 0);
        addCheck(stereo, "Stereo", bindKey(engine_, "chorus_stereo"), switched,
                 tip(tr("A second set of voices for the right channel (stereo output)"), "chorus_stereo"));
        addSlider(stereo, {.label = "Depth", .minimum = 0, .maximum = 1000, .reset = 200,
                           .value = [](int p) { return p / 10000.0; },
                           .text = milliseconds,
                           .binding = bindKey(engine_, "chorus_sdepth"),
                           .after = moved,
                           .tip = tip(tr("How much later the right voices read"), "chorus_sdepth")});

        QGroupBox* mix = addGroup(tr("Mixing ratio"), 1, 1);
        addSlider(mix, {.minimum = 0, .maximum = 100, .reset = 50,
                        .value = [](int p) { return p / 100.0; },
                        .binding = {[&chorus] { return static_cast<double>(chorus.chorus_wet.get()); },
                                    [&chorus](double wet) {
                                        chorus.chorus_wet = static_cast<float>(wet);
                                        chorus.chorus_dry = static_cast<float>(1.0 - wet);
                                    }},
                        .after = moved,
                        .tip = tip(tr("Dry signal against the voices"), "chorus_wet"),
                        .leftWord = "Dry", .rightWord = "Wet"});
        finish();
    }

private:
    effects::Chorus& unit() { return engine_.effects().chorusUnit; }
};

} // namespace

EffectPage* makeChorusPage(WindowContext& c, QWidget* parent) { return new ChorusPage(c, parent); }

} // namespace stravik::ui
