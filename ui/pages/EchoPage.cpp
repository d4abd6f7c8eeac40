// The echo's page: delay and feedback, the low-pass filter on the line's
// input, the second tap with its stereo spread, the mixing ratio.
#include "engine/Engine.h"
#include "ui/pages/Pages.h"

namespace stravik::ui {
namespace {

class EchoPage final : public EffectPage {
public:
    EchoPage(WindowContext& c, QWidget* parent) : EffectPage(tr("Echo"), kEcho, c, parent)
    {
        auto& echo = engine_.params.echo;
        QGroupBox* delay = addGroup(tr("Delay"), 0, 0);
        addSlider(delay, {.label = "Delay time:", .minimum = 1, .maximum = 200, .reset = 50,
                          .value = [](int p) { return p / 100.0; },
                          .text = [](double v) { return format("%g s", v); },
                          .binding = bindKey(engine_, "echo_delay"),
                          .tip = tip(tr("Time between the repeats"), "echo_delay")});
        addSlider(delay, {.label = "Feedback:", .minimum = 0, .maximum = 80, .reset = 40,
                          .value = [](int p) { return p / 100.0; },
                          .text = [](double v) { return format("%g%%", v * 100); },
                          .binding = bindKey(engine_, "echo_fb"),
                          .tip = tip(tr("How much of each repeat comes back"), "echo_fb")});

        QGroupBox* filter = addGroup(tr("Filter"), 0, 1);
        addCheck(filter, "Low pass filter", bindKey(engine_, "echo_lpass"), {},
                 tip(tr("Darkens each repeat a little more"), "echo_lpass"));
        addSlider(filter, {.label = "Frequency:", .minimum = 100, .maximum = 8000, .reset = 8000,
                                        .value = [](int p) { return static_cast<double>(p); },
                                        .text = [](double v) { return formatInt("%d Hz", static_cast<int>(v)); },
                                        .binding = bindKey(engine_, "echo_lpfreq"),
                                        .after = [this] { engine_.effects().echoUnit.redesignLowPass(); },
                                        .tip = tip(tr("Corner of the low-pass filter"), "echo_lpfreq"),
                                        .position = [](double v) { return static_cast<int>(v); }});

        QGroupBox* second = addGroup(tr("Second tap"), 1, 0);
        addCheck(second, "Two tap", bindKey(engine_, "echo_2tap"), {},
                 tip(tr("A second repeat at its own delay"), "echo_2tap"));
        addSlider(second, {.label = "Delay time:", .minimum = 1, .maximum = 100, .reset = 10,
                                          .value = [](int p) { return p / 100.0; },
                                          .text = [](double v) { return format("%g s", v); },
                                          .binding = bindKey(engine_, "echo_2tapdel"),
                                          .tip = tip(tr("Delay of the second tap"), "echo_2tapdel")});
        addSlider(second, {.label = "Stereo spread:", .minimum = 0, .maximum = 100, .reset = 100,
                                     .value = [](int p) { return p / 100.0; },
                                     .text = [](double v) { return formatInt("%d%%", static_cast<int>(v * 100 + 0.5)); },
                                     .binding = bindKey(engine_, "echo_2tapspread"),
                                     .tip = tip(tr("How far apart the two taps sit in stereo"), "echo_2tapspread")});

        QGroupBox* mix = addGroup(tr("Mixing ratio"), 1, 1);
        addSlider(mix, {.minimum = 0, .maximum = 100, .reset = 30,
                        .value = [](int p) { return p / 100.0; },
                        .binding = {[&echo] { return static_cast<double>(echo.echo_wet.get()); },
                                    [&echo](double wet) {
                                        echo.echo_wet = static_cast<float>(wet);
                                        echo.echo_dry = static_cast<float>(1.0 - wet);
                                    }},
                        .tip = tip(tr("Dry signal against the echo"), "echo_dry"),
                        .leftWord = "Dry", .rightWord = "Wet"});
        refresh();
    }

};

} // namespace

EffectPage* makeEchoPage(WindowContext& c, QWidget* parent) { return new EchoPage(c, parent); }

} // namespace stravik::ui
