// The auto wah's page: the two frequencies and the sweep's period, where the
// frequency comes from (with the pedal's and the MIDI controller's setups),
// and the filter's character.
#include "control/MidiInput.h"
#include "control/PedalInput.h"
#include "engine/Engine.h"
#include "ui/WahDialogs.h"
#include "ui/pages/PageKit.h"
#include "ui/pages/Pages.h"

#include <QBoxLayout>
#include <QLabel>
#include <QPushButton>

namespace stravik::ui {
namespace {

class AutoWahPage final : public KitPage {
public:
    AutoWahPage(WindowContext& c, QWidget* parent) : KitPage(tr("Auto wah"), kAutoWah, c, parent)
    {
        // The sliders need no call of their own: the sweep and the fixed
        // frequency take them at the next block, the pedal and the MIDI
        // controller at their next value.
        QGroupBox* frequency = addGroup(tr("Frequency"), 0, 0);
        addSlider(frequency, {.label = "Frequency 1:", .minimum = 300, .maximum = 4000, .reset = 450,
                              .value = [](int p) { return static_cast<double>(p); },
                              .text = [](double v) { return formatInt("%d Hz", static_cast<int>(v)); },
                              .binding = bindKey(engine_, "wah_f1"),
                              .tip = tip(tr("The fixed frequency, and one end of the sweep"), "wah_f1"),
                              .position = [](double v) { return static_cast<int>(v); }});
        addSlider(frequency, {.label = "Frequency 2:", .minimum = 300, .maximum = 4000, .reset = 2200,
                              .value = [](int p) { return static_cast<double>(p); },
                              .text = [](double v) { return formatInt("%d Hz", static_cast<int>(v)); },
                              .binding = bindKey(engine_, "wah_f2"),
                              .tip = tip(tr("The other end of the sweep"), "wah_f2"),
                              .position = [](double v) { return static_cast<int>(v); }});
        addSlider(frequency, {.label = "Repeat period:", .minimum = 30, .maximum = 500, .reset = 100,
                              .value = [](int p) { return p / 100.0; },
                              .text = [](double v) { return format("%g s", v); },
                              .binding = bindKey(engine_, "wah_period"),
                              .tip = tip(tr("Time the sweep takes to go and come back"), "wah_period")});

        QGroupBox* filter = addGroup(tr("Filter"), 0, 1);
        addList(filter, "Mode:", {"60-70's", "Modern", "Legacy", "Talk box"}, bindKey(engine_, "wah_mode"), {},
                tip(tr("Character of the filter: the classic pedal, modern, legacy, or three vowel formants"),
                    "wah_mode"));
        gain_ = addSlider(filter, {.label = "Filter gain:", .minimum = 0, .maximum = 100, .reset = 80,
                                   .value = [](int p) { return p / 100.0; },
                                   .text = [](double v) { return format("%g %%", v * 100); },
                                   .binding = bindKey(engine_, "wah_range"),
                                   .tip = tip(tr("Height of the filter's peak; with the talk box, its brightness"),
                                              "wah_range")});
        addSlider(filter, {.label = "Resonance:", .minimum = 1, .maximum = 1000, .reset = 500,
                           .value = [](int p) { return p / 100.0; },
                           .text = [](double v) { return format("%g%%", v * 10); },
                           .binding = bindKey(engine_, "wah_sel"),
                           .tip = tip(tr("How sharp the filter's peak is"), "wah_sel")});

        QGroupBox* source = addGroup(" AutoWah type ", 1, 0);
        ChoiceButtons* sources = addChoice(source, {"Fixed (frequency1 only)", "Variabe (sweep f1- f2 )", "External pedal", "MIDI controller"},
                  {effects::kWahFixed, effects::kWahSweep, effects::kWahPedal, effects::kWahMidi},
                  bindKey(engine_, "wah_auto"),
                  [this] {
                      // A fixed frequency is set at once; the other sources
                      // move the filter themselves.
                      if (engine_.params.wah.wah_auto.get() == effects::kWahFixed)
                          engine_.effects().wahUnit.updateCoefficients();
                  },
                  tip(tr("Where the frequency comes from: fixed, a sweep, a pedal or a MIDI controller"), "wah_auto"),
                  Qt::Vertical);
        // The pedal's and the MIDI controller's setups beside their choices.
        pedalSetup_ = addSetButton(sources, 2, tr("The pedal: device, axis, direction"));
        midiSetup_ = addSetButton(sources, 3, tr("The MIDI controller: input, channel, event"));
        connect(pedalSetup_, &QPushButton::clicked, this, [this] {
            PedalSetupDialog dialog(engine_.settings, control::pedalDeviceNames, this);
            dialog.exec();
        });
        connect(midiSetup_, &QPushButton::clicked, this, [this] {
            WahMidiSetupDialog dialog(engine_.settings,
                                      context_.midiDevices ? context_.midiDevices() : control::midiInputDevices(),
                                      this);
            dialog.exec();
        });
        finish();
    }

    void runStateChanged(bool) override { applyRules(); }

protected:
    void applyRules() override
    {
        const int mode = engine_.params.wah.wah_mode.get();
        // The classic pedal's circuit has no gain of its own.
        gain_->setEnabled(mode != effects::kWahSixties);
        if (QLabel* name = rowLabel(gain_)) name->setText(mode == effects::kWahTalkBox ? "(T.box brightn.)" : "Filter gain:");
        // Devices change at a run's start only.
        const bool idle = !engine_.running.load();
        pedalSetup_->setEnabled(idle);
        midiSetup_->setEnabled(idle);
    }

private:
    QPushButton* addSetButton(ChoiceButtons* choices, int i, const QString& tipText)
    {
        auto* column = qobject_cast<QBoxLayout*>(choices->layout());
        QRadioButton* radio = choices->button(i);
        const int at = column->indexOf(radio);
        column->removeWidget(radio);
        auto* line = new QHBoxLayout;
        line->addWidget(radio);
        line->addStretch(1);
        auto* set = new QPushButton("Set...", choices);
        set->setToolTip(tipText);
        line->addWidget(set);
        column->insertLayout(at, line);
        return set;
    }

    SliderRow* gain_ = nullptr;
    QPushButton* pedalSetup_ = nullptr;
    QPushButton* midiSetup_ = nullptr;
};

} // namespace

EffectPage* makeAutoWahPage(WindowContext& c, QWidget* parent) { return new AutoWahPage(c, parent); }

} // namespace stravik::ui
