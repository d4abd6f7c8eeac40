// test-fixture: jack
// test-label: threads
// MIDI input on JACK MIDI, sent by a second JACK client of the test into a
// run of the whole chain on a recording: a program change loads its preset,
// controllers switch the pitch shifter and set the output volume, the pitch
// wheel and a controller move the wah, messages on the wrong channel or
// controller are ignored; malformed streams, a burst of a thousand
// messages a second and a controller unplugged mid-run; the device list in
// `korvex devices` and the warnings of `korvex run`.
#include "control/MidiInput.h"
#include "control/RunControllers.h"

#include "ControlRunRig.h"
#include "JackMidiSender.h"
#include "JackTest.h"
#include "RunKorvex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

using namespace stravik;
using controlrig::Rig;
using controlrig::waitFor;
using jackmidi::MidiSender;
using testfiles::KorvexRun;
using testfiles::runKorvex;

namespace {

struct MidiTest : ::testing::Test {
    void SetUp() override
    {
        jacktest::useServer(jacktest::fixtureServer());
        ASSERT_TRUE(sender.ok()) << "no JACK server " << jacktest::fixtureServer();
        ASSERT_EQ(control::midiSystem(), control::MidiSystem::Jack);
        const auto list = control::midiInputDevices();
        const auto it = std::find(list.begin(), list.end(), sender.portName());
        ASSERT_NE(it, list.end()) << "the sender's port is not listed";
        device = static_cast<int>(it - list.begin());
    }

    // Sends the events and waits until the run's controllers have dealt
    // with `messages` more channel messages.
    bool deliver(std::initializer_list<std::initializer_list<uint8_t>> events, long messages)
    {
        const long until = rig.controllers.midiMessagesRouted() + messages;
        for (const auto& e : events)
            if (!sender.send(e)) return false;
        return sender.waitSent() && waitFor([&] { return rig.controllers.midiMessagesRouted() >= until; });
    }
    // The wah input on the sender, program changes and controllers through it.
    void sharedInput()
    {
        auto& s = rig.engine->settings;
        s.MidiInEnable = 1;
        s.MidiInDevice = device;
        s.ProgMidiInEnable = 1;
        s.ProgMidiInDevice = device;
        s.MIDIShortcutsON = 1;
        s.CtrlMidiEnable = 1;
    }
    int lastPeak() const
    {
        const long n = rig.blocks();
        const auto p = rig.audio.played.peaks(n - 1, n);
        return p.empty() ? -1 : p[0];
    }

    MidiSender sender;
    Rig rig;
    int device = -1;
};

} // namespace

TEST_F(MidiTest, AProgramChangeLoadsItsPresetOnItsChannelOnly)
{
    auto& e = *rig.engine;
    e.params.echo.echo_enabled = 1;
    SectionFlags all;
    all.fill(true);
    rig.presets.setSaveSelection(all);
    ASSERT_TRUE(rig.presets.WritePreset("Lead"));
    e.params.echo.echo_enabled = 0;
    rig.presets.setCurrentPresetName("");
    auto& s = e.settings;
    s.ProgMidiInEnable = 1;
    s.ProgMidiInDevice = device;
    s.ProgMidiChan = 3;
    s.MIDIShortcutsON = 1;
    s.MIDIShortcuts[5] = "Lead";
    ASSERT_TRUE(rig.start());
    EXPECT_TRUE(rig.messages.texts().empty());
    EXPECT_TRUE(rig.controllers.programMidiOpen());
    EXPECT_FALSE(rig.controllers.wahMidiOpen());

    // Channel 4, an empty entry, a program past the table: nothing loads.
    ASSERT_TRUE(deliver({{0xC3, 5}, {0xC2, 6}, {0xC2, 70}}, 3));
    EXPECT_EQ(rig.presets.currentPresetName(), "");
    EXPECT_EQ(e.params.echo.echo_enabled.get(), 0);

    ASSERT_TRUE(deliver({{0xC2, 5}}, 1));
    EXPECT_EQ(rig.presets.currentPresetName(), "Lead");
    EXPECT_EQ(e.params.echo.echo_enabled.get(), 1);
    EXPECT_TRUE(rig.playBlocks(20));
    EXPECT_TRUE(rig.run->running());
    EXPECT_TRUE(rig.messages.texts().empty());
}

TEST_F(MidiTest, ControllersSwitchThePitchShifterAndSetTheOutputVolumeThroughTheWahsInput)
{
    sharedInput();
    ASSERT_TRUE(rig.start());
    EXPECT_TRUE(rig.controllers.wahMidiOpen());
    EXPECT_FALSE(rig.controllers.programMidiOpen()); // one input serves both
    const auto& p = rig.engine->params;

    ASSERT_TRUE(deliver({{0xB0, 104, 127}}, 1));
    EXPECT_EQ(p.pitch.pitch_enabled.get(), 1);
    ASSERT_TRUE(deliver({{0xB5, 104, 10}}, 1));
    EXPECT_EQ(p.pitch.pitch_enabled.get(), 0);

    // Volume 0: -69.5 dB, the tone all but gone; 70: +0.5 dB, a little above it.
    ASSERT_TRUE(deliver({{0xB0, 120, 0}}, 1));
    EXPECT_TRUE(waitFor([&] { return lastPeak() >= 0 && lastPeak() < 10; })) << lastPeak();
    ASSERT_TRUE(deliver({{0xB0, 120, 70}}, 1));
    EXPECT_FLOAT_EQ(rig.engine->volumes.OutputVolume.get(), Shortcuts::midiVolume(70));
    EXPECT_TRUE(waitFor([&] { return lastPeak() > controlrig::kToneAmplitude; })) << lastPeak();
    EXPECT_LT(lastPeak(), controlrig::kToneAmplitude * 11 / 10);
}

TEST_F(MidiTest, PitchWheelCentreIsTheMiddleOfTheSweepAndOtherChannelsAndControllersAreIgnored)
{
    auto& e = *rig.engine;
    e.params.wah.wah_enabled = 1;
    e.params.wah.wah_auto = effects::kWahMidi;
    e.params.wah.wah_f1 = 400;
    e.params.wah.wah_f2 = 1600;
    auto& s = e.settings;
    s.MidiInEnable = 1;
    s.MidiInDevice = device;
    s.MidiChan = 2;
    s.MidiEvent = 0; // pitch wheel
    ASSERT_TRUE(rig.start());
    const auto frequencyIs = [&](int hz) { return waitFor([&] { return rig.wah().updateFrequency == hz; }); };

    ASSERT_TRUE(deliver({{0xE1, 0x7F, 0x7F}}, 1));
    EXPECT_GT(rig.wah().controllerPosition, 0.99);
    // The wah's state follows at the next block.
    EXPECT_TRUE(waitFor([&] { return rig.wah().updateFrequency > 1550; }));
    EXPECT_TRUE(rig.playBlocks(5));
    const int top = rig.wah().updateFrequency;
    // Channel 5, and a controller while the pitch wheel is chosen.
    ASSERT_TRUE(deliver({{0xE4, 0, 64}, {0xB1, 1, 64}}, 2));
    EXPECT_TRUE(rig.playBlocks(5));
    EXPECT_EQ(rig.wah().updateFrequency, top);
    ASSERT_TRUE(deliver({{0xE1, 0, 64}}, 1));
    EXPECT_EQ(rig.wah().controllerPosition, 0.5);
    EXPECT_TRUE(frequencyIs(800));

    // Controller 7 chosen: controller 1 is ignored; on any channel 7 counts.
    s.MidiEvent = 1;
    s.MidiControl = 7;
    ASSERT_TRUE(deliver({{0xB1, 1, 127}}, 1));
    EXPECT_TRUE(rig.playBlocks(5));
    EXPECT_EQ(rig.wah().updateFrequency, 800);
    ASSERT_TRUE(deliver({{0xB1, 7, 127}}, 1));
    EXPECT_TRUE(frequencyIs(1600));
    s.MidiChan = 0;
    ASSERT_TRUE(deliver({{0xB8, 7, 0}}, 1));
    EXPECT_TRUE(frequencyIs(400));
}

TEST_F(MidiTest, MalformedStreamsAreIgnoredAndTheMessagesAroundThemStillAct)
{
    sharedInput();
    ASSERT_TRUE(rig.start());
    const auto& p = rig.engine->params;
    const std::string preset = rig.presets.currentPresetName();
    // System exclusive on its own; clock and active sensing between a
    // controller's data bytes.
    ASSERT_TRUE(deliver({{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}, {0xB0, 0xF8, 104, 0xFE, 127}}, 1));
    EXPECT_EQ(p.pitch.pitch_enabled.get(), 1);
    // A program past the table; running status carried into the next event.
    ASSERT_TRUE(deliver({{0xC0, 100}, {0xB0, 7, 50}, {104, 10}}, 3));
    EXPECT_EQ(p.pitch.pitch_enabled.get(), 0);
    // After a song position no running status: the bytes that follow are
    // stray. A controller cut short by a program change is dropped.
    const long before = rig.controllers.midiMessagesRouted();
    ASSERT_TRUE(deliver({{0xF2, 0x10, 0x20}, {104, 127}, {0xB0, 104}, {0xC0, 0}, {0xB0, 104, 127}}, 2));
    EXPECT_EQ(p.pitch.pitch_enabled.get(), 1);
    EXPECT_TRUE(rig.playBlocks(10));
    EXPECT_EQ(rig.controllers.midiMessagesRouted(), before + 2);
    EXPECT_EQ(rig.presets.currentPresetName(), preset);
    EXPECT_TRUE(rig.run->running());
    EXPECT_TRUE(rig.messages.texts().empty());
}

TEST_F(MidiTest, AThousandMessagesASecondMoveTheWahWithoutABreakInTheSound)
{
    auto& e = *rig.engine;
    e.params.wah.wah_enabled = 1;
    e.params.wah.wah_auto = effects::kWahMidi;
    e.params.wah.wah_f1 = 400;
    e.params.wah.wah_f2 = 1600;
    sharedInput();
    ASSERT_TRUE(rig.start());
    sender.setPerPeriod(3); // 128-frame periods at 48 kHz: 1125 messages a second

    const long firstBlock = rig.blocks();
    const long routed = rig.controllers.midiMessagesRouted();
    constexpr int kMessages = 1000;
    for (int i = 0; i < kMessages; ++i) {
        const auto value = static_cast<uint8_t>((i * 7) % 128);
        // Mostly the wah's controller, with effect and program messages between.
        if (i % 50 == 10) ASSERT_TRUE(sender.send({0xB0, 105, 127})); // the auto wah is on: stays on
        else if (i % 50 == 20) ASSERT_TRUE(sender.send({0xC0, 9}));  // empty entry
        else ASSERT_TRUE(sender.send({0xB0, 1, value}));
    }
    ASSERT_TRUE(sender.send({0xB0, 1, 127}));
    ASSERT_TRUE(sender.waitSent());
    ASSERT_TRUE(waitFor([&] { return rig.controllers.midiMessagesRouted() >= routed + kMessages + 1; }));
    EXPECT_EQ(rig.controllers.midiMessagesRouted(), routed + kMessages + 1);
    EXPECT_TRUE(waitFor([&] { return rig.wah().updateFrequency == 1600; }));
    EXPECT_EQ(e.params.wah.wah_enabled.get(), 1);
    EXPECT_TRUE(rig.playBlocks(10));
    // Every block of the burst sounds: none silenced or dropped.
    const auto peaks = rig.audio.played.peaks(firstBlock, rig.blocks());
    ASSERT_GT(peaks.size(), 50u);
    EXPECT_GT(*std::min_element(peaks.begin(), peaks.end()), controlrig::kToneAmplitude / 100);
    EXPECT_TRUE(rig.run->running());
}

TEST_F(MidiTest, AControllerUnpluggedMidRunLeavesTheRunGoing)
{
    auto unplugged = std::make_unique<MidiSender>();
    ASSERT_TRUE(unplugged->ok());
    const auto list = control::midiInputDevices();
    const auto it = std::find(list.begin(), list.end(), unplugged->portName());
    ASSERT_NE(it, list.end());
    sharedInput();
    rig.engine->settings.MidiInDevice = rig.engine->settings.ProgMidiInDevice = static_cast<int>(it - list.begin());
    ASSERT_TRUE(rig.start());
    const long routed = rig.controllers.midiMessagesRouted();
    ASSERT_TRUE(unplugged->send({0xB0, 104, 127}));
    ASSERT_TRUE(unplugged->waitSent());
    ASSERT_TRUE(waitFor([&] { return rig.controllers.midiMessagesRouted() > routed; }));
    EXPECT_EQ(rig.engine->params.pitch.pitch_enabled.get(), 1);
    unplugged.reset();
    EXPECT_TRUE(rig.playBlocks(50));
    EXPECT_TRUE(rig.run->running());
    rig.run->stop();
    rig.run->wait();
    EXPECT_EQ(rig.run->endReason(), RunEnd::Stopped);
    EXPECT_FALSE(rig.controllers.wahMidiOpen());
    EXPECT_TRUE(rig.messages.texts().empty());
}

TEST_F(MidiTest, KorvexListsTheMidiInputsAndItsRunWarnsAboutThoseItCannotOpen)
{
    testfiles::TempDir home;
    const std::string env = "XDG_CONFIG_HOME='" + home.path() + "' JACK_DEFAULT_SERVER='" +
                            jacktest::fixtureServer() + "' JACK_NO_START_SERVER=1";
    KorvexRun r = runKorvex("devices", home.path(), env);
    EXPECT_EQ(r.exitCode, 0);
    const std::string line = "midi " + std::to_string(device) + ": " + sender.portName() + "\n";
    EXPECT_NE(r.out.find(line), std::string::npos) << r.out;

    // A run opens its controllers before the sound devices: their warnings
    // come even where no sound device opens.
    r = runKorvex("run --seconds 1 --set BeepOnStart=0 --set DisableSSaver=0 --set MidiInEnable=1 "
                  "--set MidiInDevice=19 --set JoyEnable=1",
                  home.path(), env);
    EXPECT_NE(r.err.find(control::RunControllers::kWahMidiWarning), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(control::RunControllers::kPedalWarning), std::string::npos) << r.err;
}
