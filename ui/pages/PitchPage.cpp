// The pitch shifter's page: the interval in semitones, the kind of playing
// the splice search is tuned for, and the mixing ratio.
#include "engine/Engine.h"
#include "ui/pages/PageKit.h"
#include "ui/pages/Pages.h"

#include <algorithm>
#include <cmath>

namespace stravik::ui {
namespace {

// The interval of a frequency ratio, in semitones. The ratio is held to the
// octave either way the shifter plays, so a preset's 0 still shows a number.
double semitones(double ratio) { return 12.0 * std::log2(std::clamp(ratio, 0.5, 2.0)); }

class PitchPage final : public KitPage {
public:
    PitchPage(WindowContext& c, QWidget* parent) : KitPage(tr("Pitch shifter"), kPitch, c, parent)
    {
        auto& pitch = engine_.params.pitch;
        // A new interval or type restarts the shifted voice.
        const auto prepare = [this] { engine_.effects().pitchUnit.prepare(); };

        QGroupBox* shift = addGroup(tr("Pitch scale"), 0, 0, 1, 2);
        SliderRow* interval =
            addSlider(shift, {.label = "Semitones:", .minimum = 0, .maximum = 240, .reset = 120,
                              .value = [](int p) { return std::pow(2.0, (p / 10.0 - 12.0) / 12.0); },
                              .text = [](double v) { return format("%+2.2g", semitones(v)); },
                              .binding = bindKey(engine_, "pitch_oct"),
                              .after = prepare,
                              .tip = tip(tr("How far the added voice is shifted, an octave either way"), "pitch_oct"),
                              // Rounded, so that a ratio stored in single precision
                              // comes back to the position that made it.
                              .position = [](double v) {
                                  return static_cast<int>(std::lround(10.0 * (semitones(v) + 12.0)));
                              }});
        addMarks(shift, interval, {{0, "-12"}, {120, "+0"}, {240, "+12"}});
        SliderRow* type = addSlider(
            shift, {.label = "Type of sound:", .minimum = 0, .maximum = 4, .reset = 1,
                    .value = [](int p) { return static_cast<double>(p); },
                    // no figure of its own: an empty value keeps the column
                    .text = [](double) { return QString(); },
                    .binding = bindKey(engine_, "pitch_type"),
                    .after = prepare,
                    .tip = tip(tr("Short segments follow single notes quickly; long ones keep chords smooth"),
                               "pitch_type")});
        addMarks(shift, type, {{0, "Solo/Voice (fast)"}, {1, {}}, {2, {}}, {3, {}}, {4, "Chords (slow)"}});

        // The shifter's own gains only: no restart.
        QGroupBox* mix = addGroup(tr("Mixing ratio"), 1, 0);
        addSlider(mix, {.minimum = 0, .maximum = 100, .reset = 50,
                        .value = [](int p) { return p / 100.0; },
                        .binding = {[&pitch] { return 1.0 - pitch.pitch_dry.get(); },
                                    [&pitch](double wet) {
                                        pitch.pitch_wet = static_cast<float>(wet);
                                        pitch.pitch_dry = static_cast<float>(1.0 - wet);
                                    }},
                        .tip = tip(tr("Dry signal against the shifted voice"), "pitch_dry"),
                        .leftWord = "Dry", .rightWord = "Wet"});
        finish();
    }
};

} // namespace

EffectPage* makePitchPage(WindowContext& c, QWidget* parent) { return new PitchPage(c, parent); }

} // namespace stravik::ui
