// The envelope wah's page: the curve from input level to frequency (three
// points, Start, Mid and End, each a frequency and a level), the filter's
// character, and how the level is followed.
#include "engine/Engine.h"
#include "ui/pages/PageKit.h"
#include "ui/pages/Pages.h"

#include <QBoxLayout>
#include <QLabel>

#include <array>
#include <cmath>

namespace stravik::ui {
namespace {

const char* const kPointNames[3] = {"Start", "Mid", "End"};

class EnvWahPage final : public KitPage {
public:
    EnvWahPage(WindowContext& c, QWidget* parent) : KitPage(tr("Envelope wah"), kEnvWah, c, parent)
    {
        // Nothing to call after a change: the envelope sets the filter every block.
        static const char* const frequencyKeys[3] = {"ewah_f1", "ewah_f2", "ewah_f3"};
        static const char* const levelKeys[3] = {"ewah_v1", "ewah_v2", "ewah_v3"};
        const int frequencyResets[3] = {3850, 1800, 2500};
        const int levelResets[3] = {31, 60, 100};

        QGroupBox* frequencies = addGroup("Frequency (Start/Mid/End)", 0, 0);
        std::array<SliderRow*, 3> frequencyRows{};
        for (int i = 0; i < 3; ++i)
            frequencyRows[static_cast<size_t>(i)] = addSlider(
                frequencies,
                {.minimum = 300, .maximum = 4000, .reset = frequencyResets[i],
                 .value = [](int p) { return 4300.0 - p; },
                 .text = [](double v) { return formatInt("%d Hz", static_cast<int>(v)); },
                 .binding = bindKey(engine_, frequencyKeys[i]),
                 .tip = tip(tr("Frequency at the %1 level").arg(kPointNames[i]), frequencyKeys[i]),
                 .position = [](double v) { return static_cast<int>(std::lround(4300.0 - v)); }});
        uprightColumns(frequencies, frequencyRows);

        QGroupBox* levels = addGroup("In Volume (Start/Mid/End)", 0, 1);
        for (int i = 0; i < 3; ++i)
            levelRows_[static_cast<size_t>(i)] = addSlider(
                levels,
                {.minimum = 0, .maximum = 100, .reset = levelResets[i],
                 .value = [](int p) { return 1.0 - p / 100.0; },
                 .text = [](double v) { return formatInt("%d %%", static_cast<int>(std::lround(v * 100))); },
                 .binding = bindKey(engine_, levelKeys[i]),
                 .after = [this, i] { keepLevelsInOrder(i); },
                 .tip = tip(tr("Input level of the %1 point (Start above Mid above End)").arg(kPointNames[i]),
                            levelKeys[i]),
                 .position = [](double v) { return static_cast<int>(std::lround(100.0 - v * 100.0)); }});
        uprightColumns(levels, levelRows_);

        QGroupBox* filter = addGroup(tr("Filter"), 1, 0);
        addList(filter, "Mode:", {"60-70's", "Modern", "Legacy", "Talk box"}, bindKey(engine_, "ewah_mode"), {},
                tip(tr("Character of the filter: the classic pedal, modern, legacy, or three vowel formants"),
                    "ewah_mode"));
        gain_ = addSlider(filter, {.label = "Filter gain:", .minimum = 0, .maximum = 100, .reset = 80,
                                   .value = [](int p) { return p / 100.0; },
                                   .text = [](double v) { return format("%g %%", v * 100); },
                                   .binding = bindKey(engine_, "ewah_gain"),
                                   .tip = tip(tr("Height of the filter's peak; with the talk box, its brightness"),
                                              "ewah_gain")});
        addSlider(filter, {.label = "Resonance:", .minimum = 1, .maximum = 1000, .reset = 500,
                           .value = [](int p) { return p / 100.0; },
                           .text = [](double v) { return format("%g %%", v * 10); },
                           .binding = bindKey(engine_, "ewah_q"),
                           .tip = tip(tr("How sharp the filter's peak is"), "ewah_q")});

        QGroupBox* follow = addGroup(tr("Envelope"), 1, 1);
        addCheck(follow, "Log volume", bindKey(engine_, "ewah_log"), {},
                 tip(tr("Follows the level in decibels rather than linearly"), "ewah_log"));
        addCheck(follow, "Peak mode:", bindKey(engine_, "ewah_peak"), {},
                 tip(tr("Each note starts at Start and glides towards End"), "ewah_peak"));
        peakMode_ = addChoice(follow, {"1", "2"}, {0, 1}, bindKey(engine_, "ewah_peakmode"), {},
                              tip(tr("1: a note starts only above the Start level; 2: at any level"),
                                  "ewah_peakmode"));
        finish();
    }

protected:
    void applyRules() override
    {
        const auto& env = engine_.params.ewah;
        const int mode = env.ewah_mode.get();
        // The classic pedal's circuit has no gain of its own.
        gain_->setEnabled(mode != effects::kWahSixties);
        if (QLabel* name = rowLabel(gain_))
            name->setText(mode == effects::kWahTalkBox ? "(T.box brightn.)" : "Filter gain:");
        peakMode_->setEnabled(env.ewah_peak.get() != 0);
    }

private:
    // The three rows of a group side by side, upright, each over its name.
    void uprightColumns(QGroupBox* group, const std::array<SliderRow*, 3>& rows)
    {
        auto* columns = new QWidget(group);
        auto* line = new QHBoxLayout(columns);
        line->setContentsMargins(0, 0, 0, 0);
        for (int i = 0; i < 3; ++i) {
            SliderRow* row = rows[static_cast<size_t>(i)];
            group->layout()->removeWidget(row);
            standUpright(row, 110);
            auto* column = new QVBoxLayout;
            column->setSpacing(0);
            column->addWidget(row);
            auto* name = new QLabel(kPointNames[i], columns);
            name->setProperty("role", "secondary");
            name->setAlignment(Qt::AlignCenter);
            column->addWidget(name);
            line->addLayout(column);
        }
        addRow(group, columns);
    }

    // Start >= Mid >= End: the level just moved pushes the ones that would
    // break the order to its own value, and their sliders follow.
    void keepLevelsInOrder(int moved)
    {
        auto& env = engine_.params.ewah;
        Param<float>* level[3] = {&env.ewah_v1, &env.ewah_v2, &env.ewah_v3};
        for (int i = moved - 1; i >= 0; --i)
            if (level[i]->get() < level[i + 1]->get()) *level[i] = level[i + 1]->get();
        for (int i = moved + 1; i < 3; ++i)
            if (level[i]->get() > level[i - 1]->get()) *level[i] = level[i - 1]->get();
        for (int i = 0; i < 3; ++i)
            if (i != moved) levelRows_[static_cast<size_t>(i)]->refresh();
    }

    std::array<SliderRow*, 3> levelRows_{};
    SliderRow* gain_ = nullptr;
    ChoiceButtons* peakMode_ = nullptr;
};

} // namespace

EffectPage* makeEnvWahPage(WindowContext& c, QWidget* parent) { return new EnvWahPage(c, parent); }

} // namespace stravik::ui
