// test-label: threads
// The tool pages' real widgets, offscreen: the metronome's tap tempo, its
// page driving the click a run mixes in, a function key defined on the Keys
// page, a MIDI program and the MIDI input set up on the MIDI page, the Files
// page's paths, rules and progress, the presets manager's export and import,
// the Setup page's devices and the zoom's restart question.
#include "WindowTest.h"

#include "TestFiles.h"
#include "ui/Controls.h"
#include "ui/ToolPage.h"
#include "ui/PresetsManager.h"
#include "ui/SetupDialogs.h"
#include "ui/ShortcutDialogs.h"
#include "ui/pages/PageKit.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>

#include <chrono>
#include <thread>

using namespace stravik;
using namespace testfiles;
using namespace windowtest;

namespace {

ui::SliderRow* slider(QWidget* page, int i) { return page->findChildren<ui::SliderRow*>().at(i); }

QPushButton* button(QWidget* page, const QString& text)
{
    for (QPushButton* b : page->findChildren<QPushButton*>())
        if (b->text() == text) return b;
    ADD_FAILURE() << "no button " << text.toStdString();
    return nullptr;
}

void waitForRunEnd(Window& w)
{
    for (int i = 0; i < 2000 && w.run.active(); ++i) {
        QApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    w.window->pollState();
}

} // namespace

// Taps 500 ms apart set 120 bpm and move the slider; the first tap, long
// after start, changes nothing; taps 100 ms apart stop at 300 bpm.
TEST(ToolPages, MetroTapTempoSetsTheTempo)
{
    Window w;
    w.window->showToolPage("Metro");
    ui::ToolPage* page = w.window->toolPage("Metro");
    ui::SliderRow* tempo = slider(page, 0);
    QPushButton* tap = button(page, "T");

    w.clockMs = 60000;
    tap->click();
    EXPECT_FLOAT_EQ(w.engine->settings.MetroTempo.get(), 150.0f);
    w.clockMs += 500;
    tap->click();
    EXPECT_FLOAT_EQ(w.engine->settings.MetroTempo.get(), 120.0f);
    EXPECT_EQ(tempo->slider()->value(), 1200);
    EXPECT_EQ(tempo->valueLabel()->text(), "120 bpm");
    EXPECT_DOUBLE_EQ(w.metronome.period(), 0.5);
    w.clockMs += 100;
    tap->click();
    EXPECT_EQ(tempo->slider()->value(), 3000);
    EXPECT_EQ(tempo->valueLabel()->text(), "300 bpm");
}

// "Open..." is offered with "Wave file" only. With the page's switch on,
// 120 bpm from the slider and the beep, a run at 48000 Hz over silence
// clicks at 0 and 0.5 s and is silent between.
TEST(ToolPages, MetroPageDrivesTheRunsClick)
{
    Window w;
    TempDir dir;
    w.window->showToolPage("Metro");
    ui::ToolPage* page = w.window->toolPage("Metro");
    auto* sound = page->findChild<ui::ChoiceButtons*>();
    ASSERT_NE(sound, nullptr);
    sound->button(2)->click();
    EXPECT_EQ(w.engine->settings.MetroSound.get(), tools::Metronome::kWaveFile);
    EXPECT_TRUE(button(page, "Open...")->isEnabled());
    sound->button(0)->click();
    EXPECT_EQ(w.metronome.activeSound(), tools::Metronome::kBeep);
    EXPECT_FALSE(button(page, "Open...")->isEnabled());

    slider(page, 0)->slider()->setValue(1200);
    EXPECT_DOUBLE_EQ(w.metronome.period(), 0.5);
    slider(page, 1)->slider()->setValue(40);
    EXPECT_FLOAT_EQ(w.engine->settings.MetroVolume.get(), 0.4f);
    page->findChild<QCheckBox*>("onOff")->click();
    EXPECT_EQ(w.engine->metronomeOn.get(), 1);

    writeWav(dir.file("in.wav"), std::vector<int16_t>(48000, 0));
    w.engine->settings.stereo = 0;
    w.engine->settings.SampleRate = 48000;
    w.engine->settings.FileIn = dir.file("in.wav");
    w.engine->settings.FileOut = dir.file("out.wav");
    w.engine->fileInput = true;
    w.engine->fileOutput = true;
    w.window->startButton()->click();
    waitForRunEnd(w);
    const auto out = readSamples(dir.file("out.wav"));
    ASSERT_GE(out.size(), 48000u);
    const auto loudest = [&](size_t from, size_t to) {
        int peak = 0;
        for (size_t i = from; i < to; ++i) peak = std::max(peak, std::abs(static_cast<int>(out[i])));
        return peak;
    };
    EXPECT_GT(loudest(0, 2400), 1000);      // the first beep, 50 ms
    EXPECT_EQ(loudest(4000, 23000), 0);     // nothing between the beats
    EXPECT_GT(loudest(24000, 26400), 1000); // the second, 0.5 s on
}

// F3 defined on the Keys page (through "Define shortcut") loads its preset
// from the key, without the load dialog when the page says so; Delete frees
// the key again.
TEST(ToolPages, AShortcutDefinedOnTheKeysPageLoadsItsPreset)
{
    Window w;
    w.store.write("echo", "1", "presets\\Slapback");
    w.store.write("echo_delay", "1.2", "presets\\Slapback");
    w.store.write("echo", "1", "presets\\Ambient");
    w.window->showToolPage("Keys");
    ui::ToolPage* page = w.window->toolPage("Keys");
    auto* table = page->findChild<QTableWidget*>("shortcutTable");
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->item(2, 0)->text(), " F3 ");
    EXPECT_EQ(table->item(14, 0)->text(), " Ctrl+F3 ");

    QStringList offered;
    QTimer::singleShot(0, [&] {
        auto* d = qobject_cast<ui::DefineShortcutDialog*>(QApplication::activeModalWidget());
        if (!d) return;
        for (int i = 0; i < d->list()->count(); ++i) offered << d->list()->item(i)->text();
        d->list()->setCurrentRow(offered.indexOf("Slapback"));
        d->accept();
    });
    emit table->cellDoubleClicked(2, 1);
    EXPECT_EQ(offered, QStringList({"None", "Ambient", "Slapback"}));
    EXPECT_EQ(w.engine->settings.Shortcuts[2].get(), "Slapback");
    EXPECT_EQ(table->item(2, 1)->text(), "Slapback");

    for (QCheckBox* b : page->findChildren<QCheckBox*>())
        if (b->text() == "Don't show load dialog box") b->click();
    ASSERT_EQ(w.engine->settings.ShortcutDial.get(), 1);
    QKeyEvent f3(QEvent::KeyPress, Qt::Key_F3, Qt::NoModifier);
    QApplication::sendEvent(w.window.get(), &f3);
    EXPECT_FLOAT_EQ(w.engine->params.echo.echo_delay.get(), 1.2f);
    EXPECT_EQ(w.window->presetBox()->currentText(), "Slapback");

    table->setCurrentCell(2, 1);
    QKeyEvent del(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier);
    QApplication::sendEvent(table, &del);
    EXPECT_EQ(w.engine->settings.Shortcuts[2].get(), "");
    EXPECT_EQ(table->item(2, 1)->text(), "None");
}

// Program 5 defined on the MIDI page loads its preset from a program change
// on the channel chosen in "MIDI controller setup"; the setup is not offered
// while a run goes.
TEST(ToolPages, MidiPageSetsUpTheInputAndTheProgramTable)
{
    Window w;
    w.context.midiDevices = [] { return std::vector<std::string>{"Foot controller", "Keyboard"}; };
    w.store.write("echo", "1", "presets\\Slapback");
    w.store.write("echo_delay", "1.2", "presets\\Slapback");
    w.window->showToolPage("MIDI");
    ui::ToolPage* page = w.window->toolPage("MIDI");
    auto* table = page->findChild<QTableWidget*>("shortcutTable");
    ASSERT_NE(table, nullptr);
    ASSERT_EQ(table->rowCount(), 64);
    EXPECT_EQ(table->item(5, 0)->text(), " 5");

    QTimer::singleShot(0, [] {
        if (auto* d = qobject_cast<ui::DefineShortcutDialog*>(QApplication::activeModalWidget())) {
            d->list()->setCurrentRow(1);
            d->accept();
        }
    });
    emit table->cellDoubleClicked(5, 1);
    EXPECT_EQ(w.engine->settings.MIDIShortcuts[5].get(), "Slapback");

    QStringList listed;
    QTimer::singleShot(0, [&] {
        auto* d = qobject_cast<ui::MidiSetupDialog*>(QApplication::activeModalWidget());
        if (!d) return;
        for (int i = 0; i < d->device()->count(); ++i) listed << d->device()->itemText(i);
        d->enableInput()->setChecked(true);
        d->device()->setCurrentIndex(1);
        d->channel()->setCurrentIndex(3);
        d->effectControl()->setChecked(true);
        d->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    });
    button(page, "Setup...")->click();
    EXPECT_EQ(listed, QStringList({"Foot controller", "Keyboard"}));
    EXPECT_EQ(w.engine->settings.ProgMidiInEnable.get(), 1);
    EXPECT_EQ(w.engine->settings.ProgMidiInDevice.get(), 1);
    EXPECT_EQ(w.engine->settings.ProgMidiChan.get(), 3);
    EXPECT_EQ(w.engine->settings.CtrlMidiEnable.get(), 1);

    for (QCheckBox* b : page->findChildren<QCheckBox*>())
        if (b->text() == "MIDI control enabled") b->click();
    ASSERT_EQ(w.engine->settings.MIDIShortcutsON.get(), 1);
    w.shortcuts.midiMessage(4, 12, 5, 0); // another channel
    EXPECT_FLOAT_EQ(w.engine->params.echo.echo_delay.get(), 0.5f);
    w.shortcuts.midiMessage(3, 12, 5, 0);
    EXPECT_FLOAT_EQ(w.engine->params.echo.echo_delay.get(), 1.2f);

    w.engine->running = true;
    page->runStateChanged(true);
    EXPECT_FALSE(button(page, "Setup...")->isEnabled());
    w.engine->running = false;
}

// A path typed without an extension is stored with ".wav" and used by the
// run; the roles are locked while a run goes and for a plug-in host; after the run the input's
// slider stands at 100 %, and moving it seeks; the background's volume is
// in dB.
TEST(ToolPages, FilesPageFeedsTheRunAndFollowsIt)
{
    Window w;
    TempDir dir;
    writeWav(dir.file("riff.wav"), std::vector<int16_t>(4800, 1000));
    w.engine->settings.stereo = 0;
    w.engine->settings.SampleRate = 48000;
    w.window->showToolPage("Files");
    ui::ToolPage* page = w.window->toolPage("Files");
    const auto edits = page->findChildren<QLineEdit*>();
    ASSERT_EQ(edits.size(), 3);
    edits[0]->setText(QString::fromStdString(dir.file("riff")));
    edits[0]->setModified(true); // as typing does
    emit edits[0]->editingFinished();
    EXPECT_EQ(w.engine->settings.FileIn.get(), dir.file("riff.wav"));
    EXPECT_EQ(edits[0]->text().toStdString(), dir.file("riff.wav"));
    edits[2]->setText(QString::fromStdString(dir.file("take.wav")));
    edits[2]->setModified(true);
    for (QCheckBox* b : page->findChildren<QCheckBox*>())
        if (b->text() == "Input file" || b->text() == "Output file") b->click();
    ASSERT_TRUE(w.engine->fileInput.load());
    ASSERT_TRUE(w.engine->fileOutput.load());

    w.engine->running = true;
    page->runStateChanged(true);
    EXPECT_FALSE(edits[0]->isEnabled());
    EXPECT_FALSE(button(page, "Browse...")->isEnabled());
    w.engine->running = false;
    page->runStateChanged(false);
    EXPECT_TRUE(edits[0]->isEnabled());
    w.engine->vstMode = true; // a plug-in host's audio is input and output
    page->refresh();
    EXPECT_FALSE(edits[0]->isEnabled());
    w.engine->vstMode = false;
    page->refresh();

    w.window->startButton()->click();
    waitForRunEnd(w);
    const auto take = readSamples(dir.file("take.wav"));
    ASSERT_GE(take.size(), 4736u); // the riff went through
    EXPECT_NE(take[1000], 0);
    page->refresh();
    ui::SliderRow* position = slider(page, 0);
    EXPECT_EQ(position->slider()->value(), 100);
    EXPECT_EQ(position->valueLabel()->text(), "100%");
    position->slider()->setValue(40);
    EXPECT_EQ(w.files.inputProgress(), 40);

    ui::SliderRow* volume = slider(page, 2);
    volume->slider()->setValue(44);
    EXPECT_NEAR(w.engine->settings.MixAmp.get(), 0.501187, 1e-6);
    EXPECT_EQ(volume->valueLabel()->text(), "-6dB");
}

// Two of three presets exported through the manager come back whole after
// they were deleted there, and the manager says how many it imported.
TEST(ToolPages, PresetsManagerExportsAndImportsAFile)
{
    Window w;
    TempDir dir;
    for (const char* name : {"Clean", "Crunch", "Lead"}) {
        w.store.write("echo", "1", std::string("presets\\") + name);
        w.store.write("echo_delay", std::string(name) == "Lead" ? "0.7" : "0.3", std::string("presets\\") + name);
    }
    w.store.write("rev_room", "0.9", "presets\\Lead");
    const std::string file = dir.file("mine.fxp");
    {
        ui::PresetsManager manager(w.context, w.window.get());
        manager.chooseFile = [&](bool saving, const QString&, const QString&) {
            EXPECT_TRUE(saving);
            return QString::fromStdString(file);
        };
        ASSERT_EQ(manager.list()->count(), 3);
        manager.list()->item(1)->setSelected(true);
        manager.list()->item(2)->setSelected(true);
        button(&manager, "Export...")->click();
        EXPECT_EQ(manager.result(), QDialog::Accepted);
    }
    {
        ui::PresetsManager manager(w.context, w.window.get());
        manager.list()->item(1)->setSelected(true);
        manager.list()->item(2)->setSelected(true);
        w.messages.queueAnswer(MessageAnswer::Yes);
        button(&manager, "Delete")->click();
        ASSERT_EQ(manager.list()->count(), 1);
        EXPECT_FALSE(w.presets.exists("Lead"));

        manager.chooseFile = [&](bool saving, const QString&, const QString&) {
            EXPECT_FALSE(saving);
            return QString::fromStdString(file);
        };
        button(&manager, "Import...")->click();
        EXPECT_EQ(manager.list()->count(), 3);
        EXPECT_TRUE(manager.storeChanged());
    }
    EXPECT_EQ(w.messages.texts().back(), "2 presets imported.");
    EXPECT_EQ(w.store.read("echo_delay", "presets\\Crunch"), "0.3");
    EXPECT_EQ(w.store.read("echo_delay", "presets\\Lead"), "0.7");
    EXPECT_EQ(w.store.read("rev_room", "presets\\Lead"), "0.9");
}

// The Setup page lists the backend's devices; the output chosen there is the
// one the next run opens. 20 ms at 44.1 kHz asks JACK for 768 frames. A new
// zoom asks to restart; "No" keeps the window, "Yes" restarts.
TEST(ToolPages, SetupPageChoosesTheDevicesAndAsksToRestartForZoom)
{
    Window w;
    TempDir dir;
    w.context.audio = &w.audio;
    w.window->showToolPage("Setup");
    ui::ToolPage* page = w.window->toolPage("Setup");
    const auto lists = page->findChildren<ui::ListControl*>();
    ASSERT_GE(lists.size(), 2);
    ui::ListControl* output = lists[1];
    ASSERT_EQ(output->count(), 2);
    EXPECT_EQ(output->itemText(1), "hw:Test");
    output->setCurrentIndex(1);
    EXPECT_EQ(w.engine->settings.DSDevice.get(), 1);

    lists[3]->setCurrentIndex(1); // 44.1 kHz
    EXPECT_EQ(w.engine->settings.SampleRate.get(), 44100);
    EXPECT_TRUE(page->findChild<QLabel*>("jackSize")->text().startsWith("JACK buffer asked for: 768 frames"));

    writeWav(dir.file("in.wav"), std::vector<int16_t>(4410, 0), 44100);
    w.engine->settings.stereo = 0;
    w.engine->settings.FileIn = dir.file("in.wav");
    w.engine->fileInput = true;
    w.window->startButton()->click();
    waitForRunEnd(w);
    EXPECT_EQ(w.audio.openedOutput.load(), 1);

    const auto answerAdvanced = [] {
        QTimer::singleShot(0, [] {
            if (auto* d = qobject_cast<ui::AdvancedOptionsDialog*>(QApplication::activeModalWidget())) {
                d->zoom()->toggle();
                d->accept();
            }
        });
    };
    w.messages.queueAnswer(MessageAnswer::No);
    answerAdvanced();
    button(page, "Advanced...")->click();
    EXPECT_EQ(w.engine->settings.ZoomWindows.get(), 1);
    EXPECT_EQ(w.messages.texts().back(), "To apply new window size, program must be restarted.\n\nRestart now?");
    EXPECT_FALSE(w.window->restartRequested());
    w.messages.queueAnswer(MessageAnswer::Yes);
    answerAdvanced();
    button(page, "Advanced...")->click();
    EXPECT_EQ(w.engine->settings.ZoomWindows.get(), 0);
    EXPECT_TRUE(w.window->restartRequested());
}
