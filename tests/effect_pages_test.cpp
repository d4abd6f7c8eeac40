// test-label: threads
// The effect pages' real widgets, offscreen: for each page the mapping or
// rule most easily got wrong, and the distortion's table status, which the
// background worker reports.
#include "WindowTest.h"

#include "ui/Controls.h"
#include "ui/EffectPage.h"
#include "ui/pages/PageKit.h"
#include "ui/WahDialogs.h"
#include "ui/pages/Pages.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QButtonGroup>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <thread>

using namespace stravik;
using namespace windowtest;

namespace {

// The slider rows of a page in the order they were built.
std::vector<ui::SliderRow*> sliderRows(QWidget* page)
{
    const auto found = page->findChildren<ui::SliderRow*>();
    return {found.begin(), found.end()};
}

// The label at the left of a slider row.
QString labelOf(ui::SliderRow* r)
{
    const auto labels = r->findChildren<QLabel*>(Qt::FindDirectChildrenOnly);
    return labels.isEmpty() ? QString() : labels.first()->text();
}

// The slider row with this label.
ui::SliderRow* row(QWidget* page, const QString& label)
{
    for (ui::SliderRow* r : sliderRows(page))
        if (labelOf(r) == label) return r;
    ADD_FAILURE() << "no slider row " << label.toStdString();
    return nullptr;
}

ui::ChoiceButtons* choices(QWidget* page, int i = 0) { return page->findChildren<ui::ChoiceButtons*>().at(i); }

QCheckBox* check(QWidget* page, const QString& text)
{
    for (QCheckBox* b : page->findChildren<QCheckBox*>())
        if (b->text() == text) return b;
    ADD_FAILURE() << "no check box " << text.toStdString();
    return nullptr;
}

void rightClick(QWidget* widget)
{
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(4, 4), widget->mapToGlobal(QPointF(4, 4)), Qt::RightButton,
                      Qt::RightButton, Qt::NoModifier);
    QApplication::sendEvent(widget, &press);
}

// Runs the event loop until the label says text (at most 5 s).
bool waitForText(QLabel* label, const QString& text)
{
    for (int i = 0; i < 500 && label->text() != text; ++i) {
        QApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return label->text() == text;
}

struct PageWindow : Window {
    QWidget* show(int effect)
    {
        window->showEffectPage(effect);
        return window->effectPage(effect);
    }
};

} // namespace

// A clipping type computes the table at once (the window waits for it) and
// the worker's "Ready." reaches the page; a slider moved while stopped only
// marks the table stale; outside Overdrive mode its options are disabled.
TEST(EffectPages, DistortionClippingTypeComputesTheTableAndSaysReady)
{
    PageWindow w;
    QWidget* page = w.show(ui::kDistortion);
    auto* status = page->findChild<QLabel*>("distortionStatus");
    ASSERT_NE(status, nullptr);
    auto& unit = w.engine->effects().distortionUnit;

    choices(page)->button(2)->click();
    EXPECT_EQ(w.engine->params.dist.dist_clip.get(), 2);
    EXPECT_TRUE(unit.tableReady());
    EXPECT_TRUE(waitForText(status, "Ready.")) << status->text().toStdString();

    row(page, "DRIVE")->slider()->setValue(600);
    EXPECT_DOUBLE_EQ(w.engine->params.dist.dist_drive.get(), 600.0);
    EXPECT_EQ(row(page, "DRIVE")->valueLabel()->text(), "60 %");
    EXPECT_FALSE(unit.tableReady());

    EXPECT_TRUE(choices(page)->isEnabled());
    page->findChild<QComboBox*>()->setCurrentIndex(2); // Metal Distortion
    EXPECT_EQ(w.engine->params.dist.dist_mode.get(), 2);
    EXPECT_FALSE(choices(page)->isEnabled());
}

// The Q slider stands at the truncated Q x 101: 1.0 from a preset puts it at
// 101, 0.7 at 70.
TEST(EffectPages, DistortionQStandsAtQTimes101)
{
    PageWindow w;
    QWidget* page = w.show(ui::kDistortion);
    w.engine->params.dist.dist_lpq = 1.0f;
    w.window->effectPage(ui::kDistortion)->refresh();
    EXPECT_EQ(row(page, "LP Filter Q:")->slider()->value(), 101);
    EXPECT_EQ(row(page, "LP Filter Q:")->valueLabel()->text(), "1");
    w.engine->params.dist.dist_lpq = 0.7f;
    w.window->effectPage(ui::kDistortion)->refresh();
    EXPECT_EQ(row(page, "LP Filter Q:")->slider()->value(), 70);
    EXPECT_EQ(row(page, "LP Filter Q:")->valueLabel()->text(), "0.7");
}

// Position 170 is +5 semitones, a ratio of 1.33484, and restarts the
// shifter at that ratio; a preset's ratio 0.5 shows -12 at position 0.
TEST(EffectPages, PitchSemitonesMapToTheRatio)
{
    PageWindow w;
    QWidget* page = w.show(ui::kPitch);
    ui::SliderRow* semitones = row(page, "Semitones:");
    semitones->slider()->setValue(170);
    EXPECT_NEAR(w.engine->params.pitch.pitch_oct.get(), 1.33484, 1e-5);
    EXPECT_EQ(semitones->valueLabel()->text(), "+5");
    EXPECT_NEAR(w.engine->effects().pitchUnit.ratio(), 1.33484, 1e-5);

    w.engine->params.pitch.pitch_oct = 0.5f;
    w.window->effectPage(ui::kPitch)->refresh();
    EXPECT_EQ(semitones->slider()->value(), 0);
    EXPECT_EQ(semitones->valueLabel()->text(), "-12");
}

// The filter gain is disabled for "60-70's" and is the talk box's brightness
// in "Talk box" mode.
TEST(EffectPages, AutoWahFilterGainFollowsTheMode)
{
    PageWindow w;
    QWidget* page = w.show(ui::kAutoWah);
    auto* mode = page->findChild<QComboBox*>();
    mode->setCurrentIndex(1);
    ui::SliderRow* gain = row(page, "Filter gain:");
    ASSERT_NE(gain, nullptr);
    EXPECT_TRUE(gain->isEnabled());
    mode->setCurrentIndex(0);
    EXPECT_FALSE(gain->isEnabled());
    mode->setCurrentIndex(3);
    EXPECT_EQ(w.engine->params.wah.wah_mode.get(), 3);
    EXPECT_TRUE(gain->isEnabled());
    EXPECT_EQ(labelOf(gain), "(T.box brightn.)");

    choices(page)->button(0)->click();
    EXPECT_EQ(w.engine->params.wah.wah_auto.get(), 0);
}

// Frequencies run 4300 - position (a right click puts Start back at 450 Hz);
// raising Mid above Start pushes Start up with it.
TEST(EffectPages, EnvWahCurveKeepsItsOrder)
{
    PageWindow w;
    QWidget* page = w.show(ui::kEnvWah);
    const auto rows = sliderRows(page);
    ASSERT_GE(rows.size(), 6u);
    rows[0]->slider()->setValue(300);
    EXPECT_FLOAT_EQ(w.engine->params.ewah.ewah_f1.get(), 4000.0f);
    rightClick(rows[0]->slider());
    EXPECT_FLOAT_EQ(w.engine->params.ewah.ewah_f1.get(), 450.0f);
    EXPECT_EQ(rows[0]->valueLabel()->text(), "450 Hz");

    rows[4]->slider()->setValue(10); // Mid at 90 %
    EXPECT_FLOAT_EQ(w.engine->params.ewah.ewah_v2.get(), 0.9f);
    EXPECT_FLOAT_EQ(w.engine->params.ewah.ewah_v1.get(), 0.9f);
    EXPECT_EQ(rows[3]->slider()->value(), 10);
    EXPECT_EQ(rows[3]->valueLabel()->text(), "90 %");
    EXPECT_FLOAT_EQ(w.engine->params.ewah.ewah_v3.get(), 0.0f);
}

// The predelay slider recomputes the network at once (100 ms is 4800
// samples at 48000 Hz); the mixing ratio stores the wet gain and 1 - wet as
// dry, and a right click puts it back to 20 % wet.
TEST(EffectPages, ReverbSlidersPrepareAndMixingRatioWritesBothGains)
{
    PageWindow w;
    QWidget* page = w.show(ui::kReverb);
    w.engine->effects().reverbUnit.start(48000);
    row(page, "Predelay")->slider()->setValue(100);
    EXPECT_EQ(row(page, "Predelay")->valueLabel()->text(), "100ms");
    EXPECT_EQ(w.engine->effects().reverbUnit.preDelay(), 4800);

    ui::SliderRow* mix = sliderRows(page).back();
    mix->slider()->setValue(35);
    EXPECT_FLOAT_EQ(w.engine->params.rev.rev_amp.get(), 0.35f);
    EXPECT_FLOAT_EQ(w.engine->params.rev.rev_dry.get(), 0.65f);
    rightClick(mix->slider());
    EXPECT_FLOAT_EQ(w.engine->params.rev.rev_amp.get(), 0.2f);
    EXPECT_FLOAT_EQ(w.engine->params.rev.rev_dry.get(), 0.8f);
}

// Position 123 of the delay is 12.3 ms; a slider sets the glide, the Stereo
// box clears it.
TEST(EffectPages, ChorusSliderGlidesAndStereoBoxStopsIt)
{
    PageWindow w;
    QWidget* page = w.show(ui::kChorus);
    ui::SliderRow* delay = row(page, "Delay time:");
    delay->slider()->setValue(123);
    EXPECT_FLOAT_EQ(w.engine->params.chorus.chorus_delay.get(), 0.0123f);
    EXPECT_EQ(delay->valueLabel()->text(), "12.3 ms");
    EXPECT_TRUE(w.engine->effects().chorusUnit.glideFlag());
    check(page, "Stereo")->click();
    EXPECT_EQ(w.engine->params.chorus.chorus_stereo.get(), 1);
    EXPECT_FALSE(w.engine->effects().chorusUnit.glideFlag());
}

// "Square" is shape 2; a preset's level 0.45 shows "45%" at position 45.
TEST(EffectPages, TremoloShapeAndLevel)
{
    PageWindow w;
    QWidget* page = w.show(ui::kTremolo);
    choices(page)->button(2)->click();
    EXPECT_EQ(w.engine->params.trem.trem_lfo.get(), 2);
    w.engine->params.trem.trem_level = 0.45f;
    w.engine->params.trem.trem_lfo = 1;
    w.window->effectPage(ui::kTremolo)->refresh();
    EXPECT_EQ(row(page, "Level:")->slider()->value(), 45);
    EXPECT_EQ(row(page, "Level:")->valueLabel()->text(), "45%");
    EXPECT_TRUE(choices(page)->button(1)->isChecked());
}

// The stage count is offered in "Vintage analog" only, and position 3 is 6
// stages; the level stores 1 - level as the dry gain.
TEST(EffectPages, PhaserStagesOnlyWhenVintage)
{
    PageWindow w;
    QWidget* page = w.show(ui::kPhaser);
    ui::SliderRow* stages = row(page, "FiltStages:");
    EXPECT_FALSE(stages->isEnabled());
    check(page, "Vintage analog")->click();
    EXPECT_EQ(w.engine->params.phaser.phaser_analog.get(), 1);
    EXPECT_TRUE(stages->isEnabled());
    stages->slider()->setValue(3);
    EXPECT_EQ(w.engine->params.phaser.phaser_filt_stages.get(), 6);
    row(page, "Level:")->slider()->setValue(30);
    EXPECT_FLOAT_EQ(w.engine->params.phaser.phaser_dry.get(), 0.7f);
}

// "Auto" is offered while a run goes with the swell on; the next block
// measures the muted strings (peak 0.0125, -38.1 dB) and Sense shows the
// noise plus 10 dB, truncated: -28 dB.
TEST(EffectPages, SwellAutoSetsSenseFromTheNoise)
{
    PageWindow w;
    QWidget* page = w.show(ui::kSwell);
    QPushButton* autoButton = nullptr;
    for (QPushButton* b : page->findChildren<QPushButton*>())
        if (b->text() == "Auto") autoButton = b;
    ASSERT_NE(autoButton, nullptr);
    EXPECT_FALSE(autoButton->isEnabled());

    auto& swell = w.engine->effects().swellUnit;
    swell.start(48000);
    w.engine->params.swell.swell_enabled = 1;
    w.engine->running = true;
    w.window->effectPage(ui::kSwell)->refresh();
    EXPECT_TRUE(autoButton->isEnabled());

    // The audio thread's part: blocks of quiet noise.
    std::atomic<bool> stop{false};
    std::thread blocks([&] {
        double block[128];
        while (!stop.load()) {
            for (int i = 0; i < 128; ++i) block[i] = (i % 2 ? 0.0125 : -0.01);
            swell.process(block, 128);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    autoButton->click();
    stop = true;
    blocks.join();
    w.engine->running = false;

    EXPECT_FLOAT_EQ(w.engine->params.swell.swell_sense.get(), -28.0f);
    EXPECT_EQ(row(page, "Sense:")->slider()->value(), -28);
    EXPECT_EQ(row(page, "Sense:")->valueLabel()->text(), "-28 dB");
}

// The auto wah's "Set..." buttons: the MIDI controller setup stores the
// leading number of the controller text (an unreadable one keeps the old),
// the pedal setup its axis and direction; both wait for the next start.
TEST(EffectPages, AutoWahControllerSetups)
{
    PageWindow w;
    w.context.midiDevices = [] { return std::vector<std::string>{"Foot controller"}; };
    QWidget* page = w.show(ui::kAutoWah);
    std::vector<QPushButton*> sets;
    for (QPushButton* b : page->findChildren<QPushButton*>())
        if (b->text() == "Set...") sets.push_back(b);
    ASSERT_EQ(sets.size(), 2u);

    const auto answerMidi = [](const QString& controller) {
        QTimer::singleShot(0, [controller] {
            if (auto* d = qobject_cast<ui::WahMidiSetupDialog*>(QApplication::activeModalWidget())) {
                d->enable()->setChecked(true);
                d->event()->setCurrentIndex(1);
                d->controller()->setEditText(controller);
                d->accept();
            }
        });
    };
    answerMidi("11 - Expression");
    sets[1]->click();
    EXPECT_EQ(w.engine->settings.MidiInEnable.get(), 1);
    EXPECT_EQ(w.engine->settings.MidiEvent.get(), 1);
    EXPECT_EQ(w.engine->settings.MidiControl.get(), 11);
    answerMidi("Expression");
    sets[1]->click();
    EXPECT_EQ(w.engine->settings.MidiControl.get(), 11);

    QTimer::singleShot(0, [] {
        if (auto* d = qobject_cast<ui::PedalSetupDialog*>(QApplication::activeModalWidget())) {
            d->enable()->setChecked(true);
            d->axis()->button(2)->click();
            d->reverse()->setChecked(true);
            d->accept();
        }
    });
    sets[0]->click();
    EXPECT_EQ(w.engine->settings.JoyEnable.get(), 1);
    EXPECT_EQ(w.engine->settings.JoyAxis.get(), 2);
    EXPECT_EQ(w.engine->settings.JoyReverse.get(), 1);

    w.engine->running = true;
    w.window->effectPage(ui::kAutoWah)->runStateChanged(true);
    EXPECT_FALSE(sets[0]->isEnabled());
    w.engine->running = false;
}
