// The reverb's page: the room and the pre-delay, what the room absorbs, the
// first reflections, the mixing ratio.
#include "engine/Engine.h"
#include "ui/pages/PageKit.h"
#include "ui/pages/Pages.h"

#include <cmath>

namespace stravik::ui {
namespace {

class ReverbPage final : public KitPage {
public:
    ReverbPage(WindowContext& c, QWidget* parent) : KitPage(tr("Reverb"), kReverb, c, parent)
    {
        auto& rev = engine_.params.rev;
        // Every slider recomputes the network; the lines keep their contents,
        // so the tail rings on. The check boxes act at the next block.
        const auto prepare = [this] { engine_.effects().reverbUnit.prepare(); };

        QGroupBox* room = addGroup(tr("Room"), 0, 0);
        addSlider(room, {.label = "Room size", .minimum = 0, .maximum = 100, .reset = 50,
                         .value = [](int p) { return p / 100.0; },
                         // no figure of its own: an empty value keeps the column
                         .text = [](double) { return QString(); },
                         .binding = bindKey(engine_, "rev_room"),
                         .after = prepare,
                         .tip = tip(tr("How long the tail lasts"), "rev_room"),
                         .leftWord = "Small", .rightWord = "Large"});
        addSlider(room, {.label = "Predelay", .minimum = 0, .maximum = 300, .reset = 35,
                         .value = [](int p) { return static_cast<double>(p); },
                         .text = [](double v) { return format("%gms", v); },
                         .binding = bindKey(engine_, "rev_predelay"),
                         .after = prepare,
                         .tip = tip(tr("Time before the tail sets in"), "rev_predelay")});

        QGroupBox* absorption = addGroup("Room absorbtion", 0, 1);
        addCheck(absorption, "Low frequencies", bindKey(engine_, "rev_lfabs"), {},
                 tip(tr("The tail loses its lowest frequencies"), "rev_lfabs"));
        addCheck(absorption, "High frequencies", bindKey(engine_, "rev_hfabs"), {},
                 tip(tr("The tail loses its highest frequencies"), "rev_hfabs"));

        QGroupBox* reflections = addGroup(tr("Reflections"), 1, 0);
        addCheck(reflections, "First reflections", bindKey(engine_, "rev_fron"), {},
                 tip(tr("Two early echoes of the walls before the tail"), "rev_fron"));
        addSlider(reflections, {.label = "Delay:", .minimum = 10, .maximum = 100, .reset = 25,
                                .value = [](int p) { return p / 1000.0; },
                                .text = [](double v) { return formatInt("%d ms", static_cast<int>(std::lround(v * 1000))); },
                                .binding = bindKey(engine_, "rev_frdelay"),
                                .after = prepare,
                                .tip = tip(tr("Time of the first reflection"), "rev_frdelay")});
        addSlider(reflections, {.label = "Volume:", .minimum = 0, .maximum = 100, .reset = 25,
                                .value = [](int p) { return p / 100.0; },
                                .text = [](double v) { return formatInt("%d %%", static_cast<int>(std::lround(v * 100))); },
                                .binding = bindKey(engine_, "rev_frvolume"),
                                .after = prepare,
                                .tip = tip(tr("Loudness of the reflections"), "rev_frvolume")});

        QGroupBox* mix = addGroup(tr("Mixing ratio"), 1, 1);
        addSlider(mix, {.minimum = 0, .maximum = 100, .reset = 20,
                        .value = [](int p) { return p / 100.0; },
                        .binding = {[&rev] { return static_cast<double>(rev.rev_amp.get()); },
                                    [&rev](double wet) {
                                        rev.rev_amp = static_cast<float>(wet);
                                        rev.rev_dry = static_cast<float>(1.0 - wet);
                                    }},
                        .after = prepare,
                        .tip = tip(tr("Dry signal against the reverb"), "rev_amp"),
                        .leftWord = "Dry", .rightWord = "Wet"});
        finish();
    }
};

} // namespace

EffectPage* makeReverbPage(WindowContext& c, QWidget* parent) { return new ReverbPage(c, parent); }

} // namespace stravik::ui
