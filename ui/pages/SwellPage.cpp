// The volume swell's page: where it sits, how fast each note swells in, and
// the threshold between notes and noise with its "Auto" measurement.
#include "engine/Engine.h"
#include "ui/pages/PageKit.h"
#include "ui/pages/Pages.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

namespace stravik::ui {
namespace {

class SwellPage final : public KitPage {
public:
    SwellPage(WindowContext& c, QWidget* parent) : KitPage(tr("Volume swell"), kSwell, c, parent)
    {
        // The swell designs its filters every block: nothing to recompute.
        QGroupBox* placement = addGroup("Effect placement", 0, 0);
        addChoice(placement, {"Before distortion", "After distortion"}, {0, 1}, bindKey(engine_, "swell_place"), {},
                  tip(tr("Whether the swell works on the clean or the distorted signal"), "swell_place"),
                  Qt::Vertical);

        // A larger setting opens both of the gain's low-passes (0.3 to 10.3 Hz
        // rising): the note comes in faster, so "Fast" is the right-hand end.
        QGroupBox* attack = addGroup(tr("Swell"), 0, 1);
        SliderRow* attackRow =
            addSlider(attack, {.label = "Attack:", .minimum = 0, .maximum = 100, .reset = 30,
                               .value = [](int p) { return p / 100.0; },
                               .text = [](double v) { return format("%g %%", v * 100); },
                               .binding = bindKey(engine_, "swell_attack"),
                               .tip = tip(tr("How quickly each note swells in and dies away"), "swell_attack"),
                               .leftWord = "Slow", .rightWord = "Fast"});
        addMarks(attack, attackRow, {{30, {}}});

        QGroupBox* sense = addGroup(tr("Sensitivity"), 1, 0, 1, 2);
        senseRow_ = addSlider(sense, {.label = "Sense:", .minimum = -100, .maximum = 0, .reset = -50,
                                      .value = [](int p) { return static_cast<double>(p); },
                                      .text = [](double v) { return format("%g dB", v); },
                                      .binding = bindKey(engine_, "swell_sense"),
                                      .tip = tip(tr("Level above which the strings count as a note"),
                                                 "swell_sense")});
        addMarks(sense, senseRow_, {{-50, {}}});
        auto* autoRow = new QWidget(sense);
        auto* line = new QHBoxLayout(autoRow);
        line->setContentsMargins(0, 0, 0, 0);
        autoButton_ = new QPushButton("Auto", autoRow);
        autoButton_->setToolTip(tip(tr("Sets Sense to the noise of the muted strings plus 10 dB "
                                       "(while playing, with the swell on)"),
                                    "swell_sense"));
        line->addWidget(autoButton_);
        auto* note = new QLabel("* Mute strings before pressing AUTO button to  detect noise threshold", autoRow);
        note->setProperty("role", "secondary");
        note->setWordWrap(true);
        line->addWidget(note, 1);
        addRow(sense, autoRow);
        connect(autoButton_, &QPushButton::clicked, this, &SwellPage::measureNoise);
        finish();
    }

    void runStateChanged(bool) override { applyRules(); }

protected:
    void applyRules() override
    {
        // The measurement needs the swell to hear the strings.
        autoButton_->setEnabled(engine_.running.load() && engine_.params.swell.swell_enabled.get() != 0);
    }

private:
    void measureNoise()
    {
        if (!engine_.running.load() || engine_.params.swell.swell_enabled.get() == 0) return;
        // The next block measures; the wait is short (a block) unless the
        // run ends meanwhile, and then it gives up.
        if (engine_.effects().swellUnit.requestAuto()) senseRow_->refresh();
    }

    SliderRow* senseRow_ = nullptr;
    QPushButton* autoButton_ = nullptr;
};

} // namespace

EffectPage* makeSwellPage(WindowContext& c, QWidget* parent) { return new SwellPage(c, parent); }

} // namespace stravik::ui
