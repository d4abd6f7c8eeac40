// test-label: threads
// The main window's real widgets, offscreen: a slider sets its parameter by
// the page's mapping and the sound follows, the lamps follow the enable flags
// whoever sets them, a preset picked in the preset box sets the pages, a
// preset saved and loaded in part changes only its chosen sections, and
// Start runs a file-input run to its end.
#include "WindowTest.h"

#include "TestFiles.h"
#include "ui/Controls.h"
#include "ui/EffectPage.h"
#include "ui/PresetDialogs.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QMouseEvent>

#include <algorithm>
#include <chrono>
#include <thread>

using namespace stravik;
using namespace testfiles;
using namespace windowtest;

namespace {

constexpr int kEcho = 3, kChorus = 8;

// The slider rows of a page, in the order they were built.
std::vector<ui::SliderRow*> sliderRows(QWidget* page)
{
    const auto found = page->findChildren<ui::SliderRow*>();
    return {found.begin(), found.end()};
}

// Accepts the next modal dialog (the Load preset dialog) once it is open.
void acceptNextDialog()
{
    QTimer::singleShot(0, [] {
        if (auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget())) d->accept();
    });
}

// Runs the window's event loop until the run has ended (at most 20 s).
void waitForRunEnd(Window& w)
{
    for (int i = 0; i < 2000 && w.run.active(); ++i) {
        QApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    w.window->pollState();
}

} // namespace

// The echo's delay slider: position 25 is 0.25 s by the page's mapping, a
// right click puts it back to 0.5 s, and a run with the moved slider repeats
// an impulse 0.25 s later.
TEST(MainWindow, ASliderSetsItsParameterAndTheSoundFollows)
{
    Window w;
    TempDir dir;
    w.window->showEffectPage(kEcho);
    const auto rows = sliderRows(w.window->effectPage(kEcho));
    ASSERT_GE(rows.size(), 2u);
    ui::SliderRow* delay = rows[0];
    delay->slider()->setValue(25);
    EXPECT_FLOAT_EQ(w.engine->params.echo.echo_delay.get(), 0.25f);
    EXPECT_EQ(delay->valueLabel()->text(), "0.25 s");
    QMouseEvent rightClick(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(5, 5), Qt::RightButton, Qt::RightButton,
                           Qt::NoModifier);
    QApplication::sendEvent(delay->slider(), &rightClick);
    EXPECT_FLOAT_EQ(w.engine->params.echo.echo_delay.get(), 0.5f);
    delay->slider()->setValue(25);

    // An impulse through the echo, the feedback at 0: one repeat 0.25 s on.
    rows[1]->slider()->setValue(0);
    w.window->effectLamp(kEcho)->clicked();
    std::vector<int16_t> impulse(48000, 0);
    impulse[1000] = 20000;
    writeWav(dir.file("in.wav"), impulse);
    w.engine->settings.stereo = 0;
    w.engine->settings.SampleRate = 48000;
    w.engine->settings.FileIn = dir.file("in.wav");
    w.engine->settings.FileOut = dir.file("out.wav");
    w.engine->fileInput = true;
    w.engine->fileOutput = true;
    w.window->startButton()->click();
    waitForRunEnd(w);
    EXPECT_EQ(w.window->startButton()->text(), "Start");
    EXPECT_EQ(w.window->statusLine()->text(), "Stopped: the input file has ended");
    const auto out = readSamples(dir.file("out.wav"));
    ASSERT_GT(out.size(), 1000u + 12000u);
    EXPECT_NE(out[1000], 0);
    EXPECT_NE(out[1000 + 12000], 0); // 0.25 s at 48000 Hz
    EXPECT_EQ(out[1000 + 24000], 0); // no feedback: no second repeat
}

// A lamp switches its effect; flags set elsewhere (a MIDI controller on its
// own thread) light the lamps at the next display tick.
TEST(MainWindow, LampsFollowTheEnableFlagsWhoeverSetsThem)
{
    Window w;
    w.window->effectLamp(kEcho)->clicked();
    EXPECT_EQ(w.engine->params.echo.echo_enabled.get(), 1);
    EXPECT_TRUE(w.window->effectLamp(kEcho)->lit());

    w.engine->settings.MIDIShortcutsON = 1;
    w.engine->settings.CtrlMidiEnable = 1;
    std::thread midi([&] { w.shortcuts.midiMessage(1, 11, 100 + kChorus, 127); });
    midi.join();
    EXPECT_FALSE(w.window->effectLamp(kChorus)->lit());
    w.window->pollState();
    EXPECT_TRUE(w.window->effectLamp(kChorus)->lit());

    // The volumes moved by MIDI move their sliders and labels too.
    std::thread volume([&] { w.shortcuts.midiMessage(1, 11, 120, 64); }); // -6 dB
    volume.join();
    w.window->pollState();
    EXPECT_EQ(w.window->outputVolume()->label()->text(), "-5dB");
}

// A preset picked in the preset box (and confirmed in its Load dialog) sets
// the parameters and the page shows them.
TEST(MainWindow, APresetFromThePresetBoxSetsThePages)
{
    Window w;
    w.store.write("echo", "1", "presets\\Slapback");
    w.store.write("echo_enabled", "1", "presets\\Slapback");
    w.store.write("echo_delay", "1.2", "presets\\Slapback");
    w.store.write("echo_dry", "0.6", "presets\\Slapback");
    w.window->refillPresetBox();
    ASSERT_EQ(w.window->presetBox()->findText("Slapback"), 0);
    w.window->showEffectPage(kEcho);
    acceptNextDialog();
    emit w.window->presetBox()->textActivated("Slapback");
    EXPECT_FLOAT_EQ(w.engine->params.echo.echo_delay.get(), 1.2f);
    const auto rows = sliderRows(w.window->effectPage(kEcho));
    EXPECT_EQ(rows[0]->slider()->value(), 120);
    EXPECT_EQ(rows[0]->valueLabel()->text(), "1.2 s");
    EXPECT_EQ(rows.back()->slider()->value(), 40); // wet 0.4 from dry 0.6
    EXPECT_TRUE(w.window->effectLamp(kEcho)->lit());
    EXPECT_EQ(w.presets.currentPresetName(), "Slapback");
}

// A preset saved with three sections (distortion, echo, reverb) and loaded
// with two of them (echo, reverb) changes only those two.
TEST(MainWindow, APresetSavedAndLoadedInPartChangesOnlyThoseSections)
{
    Window w;
    auto& p = w.engine->params;
    p.dist.dist_drive = 700.0;
    p.echo.echo_delay = 1.5f;
    p.rev.rev_room = 0.9f;
    p.chorus.chorus_delay = 0.03f;
    const auto answerSections = [](std::vector<int> ticked) {
        QTimer::singleShot(0, [ticked] {
            auto* d = qobject_cast<ui::SectionsDialog*>(QApplication::activeModalWidget());
            if (!d) return;
            for (int i = 0; i < kPresetSectionCount; ++i)
                if (d->section(i))
                    d->section(i)->setChecked(std::find(ticked.begin(), ticked.end(), i) != ticked.end());
            if (d->turnOffOthers()) d->turnOffOthers()->setChecked(false);
            d->accept();
        });
    };
    w.window->presetBox()->setEditText("Three");
    answerSections({0, 1, 4}); // distortion, echo, reverb
    w.window->savePreset();
    ASSERT_TRUE(w.presets.exists("Three"));

    p.dist.dist_drive = 100.0;
    p.echo.echo_delay = 0.2f;
    p.rev.rev_room = 0.1f;
    p.chorus.chorus_delay = 0.05f;
    answerSections({1, 4});
    emit w.window->presetBox()->textActivated("Three");
    EXPECT_FLOAT_EQ(p.echo.echo_delay.get(), 1.5f);
    EXPECT_FLOAT_EQ(p.rev.rev_room.get(), 0.9f);
    EXPECT_DOUBLE_EQ(p.dist.dist_drive.get(), 100.0); // saved, not loaded
    EXPECT_FLOAT_EQ(p.chorus.chorus_delay.get(), 0.05f); // not saved
}
