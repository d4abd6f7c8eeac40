// Function keys, MIDI program changes and controllers, and the effect
// switches they share with the main window.
#include "presets/RegistryStore.h"
#include "presets/Shortcuts.h"

#include "PresetFakes.h"
#include "dsp/RecordingMessages.h"
#include "engine/Engine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

using namespace stravik;
using presetfakes::FakeEffects;

namespace {

struct Listener : ShortcutListener {
    std::vector<std::string> activated;
    int lamps = 0, volumes = 0;
    void presetActivated(const std::string& n) override { activated.push_back(n); }
    void indicatorsChanged(const std::array<bool, 13>&) override { ++lamps; }
    void volumesChanged() override { ++volumes; }
};

struct ShortcutFixture : ::testing::Test {
    RecordingMessages messages;
    std::unique_ptr<Engine> engine = std::make_unique<Engine>(messages);
    RegistryStore store{":memory:"};
    FakeEffects effects;
    PresetStore presets{*engine, store, messages, effects};
    Shortcuts shortcuts{*engine, presets, effects};
    Listener listener;

    void SetUp() override
    {
        shortcuts.setListener(&listener);
        for (const char* name : {"Clean", "Lead", "Solo"}) {
            SectionFlags echoOnly{};
            echoOnly[static_cast<size_t>(Section::echo)] = true;
            presets.setSaveSelection(echoOnly);
            presets.WritePreset(name);
        }
    }
};

} // namespace

TEST_F(ShortcutFixture, FunctionKeysLoadOnceWhileHeldAndCtrlUsesTheSecondRow)
{
    engine->settings.Shortcuts[2] = "Clean";
    engine->settings.Shortcuts[12] = "Lead";
    engine->settings.ShortcutDial = 1;
    EXPECT_TRUE(shortcuts.functionKey(3, false, false));
    EXPECT_TRUE(shortcuts.functionKey(3, false, true)); // held: swallowed, not loaded again
    EXPECT_TRUE(shortcuts.functionKey(3, false, true));
    EXPECT_EQ(listener.activated, (std::vector<std::string>{"Clean"}));
    EXPECT_TRUE(shortcuts.functionKey(1, true, false)); // Ctrl+F1: entry 12
    EXPECT_EQ(listener.activated.back(), "Lead");
    EXPECT_EQ(presets.currentPresetName(), "Lead");
    EXPECT_FALSE(shortcuts.functionKey(5, false, false)); // empty entry: passed on
    EXPECT_FALSE(shortcuts.functionKey(13, false, false)); // not a function key
    engine->settings.ShortcutsON = 0;
    EXPECT_FALSE(shortcuts.functionKey(3, false, false));
    EXPECT_EQ(listener.activated.size(), 2u);
    // A preset that is gone says so and selects nothing.
    engine->settings.ShortcutsON = 1;
    engine->settings.Shortcuts[4] = "Deleted";
    EXPECT_TRUE(shortcuts.functionKey(5, false, false));
    EXPECT_EQ(messages.texts().back(), "Specified preset not found!");
    EXPECT_EQ(listener.activated.size(), 2u);
}

TEST_F(ShortcutFixture, ProgramChangesFollowTheTableAndTheChannel)
{
    engine->settings.MIDIShortcutsON = 1;
    engine->settings.MIDIShortcuts[5] = "Solo";
    engine->settings.MIDIShortcuts[6] = "Clean";
    shortcuts.midiMessage(1, 12, 70, 0); // beyond the table
    shortcuts.midiMessage(1, 12, 7, 0);  // empty entry
    EXPECT_TRUE(listener.activated.empty());
    shortcuts.midiMessage(1, 12, 5, 0);
    EXPECT_EQ(listener.activated, (std::vector<std::string>{"Solo"}));
    engine->settings.ProgMidiChan = 3;
    shortcuts.midiMessage(4, 12, 6, 0);
    EXPECT_EQ(listener.activated.size(), 1u);
    shortcuts.midiMessage(3, 12, 6, 0);
    EXPECT_EQ(listener.activated.back(), "Clean");
    // The plug-in's program numbers use the same table without a channel.
    EXPECT_TRUE(shortcuts.programChange(5));
    EXPECT_FALSE(shortcuts.programChange(64));
    engine->settings.MIDIShortcutsON = 0;
    EXPECT_FALSE(shortcuts.programChange(5));
}

TEST_F(ShortcutFixture, ControllersSwitchEffectsOnlyWhenTheirStateDiffers)
{
    engine->settings.CtrlMidiEnable = 1;
    shortcuts.midiMessage(1, 11, 104, 127); // "MIDI control enabled" is off: ignored
    EXPECT_EQ(engine->params.pitch.pitch_enabled.get(), 0);
    engine->settings.MIDIShortcutsON = 1;
    shortcuts.midiMessage(1, 11, 104, 127);
    EXPECT_EQ(engine->params.pitch.pitch_enabled.get(), 1);
    const int lamps = listener.lamps;
    shortcuts.midiMessage(1, 11, 104, 127); // already on: nothing happens
    EXPECT_EQ(listener.lamps, lamps);
    shortcuts.midiMessage(1, 11, 104, 10);
    EXPECT_EQ(engine->params.pitch.pitch_enabled.get(), 0);
    // The I/O group remembers what was on.
    engine->params.io.io_hiss = 1;
    shortcuts.midiMessage(1, 11, 102, 0);
    EXPECT_EQ(engine->params.io.io_hiss.get(), 0);
    shortcuts.midiMessage(1, 11, 102, 127);
    EXPECT_EQ(engine->params.io.io_hiss.get(), 1);
    EXPECT_EQ(engine->params.io.nf_enabled.get(), 0);
    // The compressor group likewise.
    engine->params.compr.ocompr_enabled = 1;
    shortcuts.toggleEffect(Shortcuts::kCompressor);
    EXPECT_EQ(engine->params.compr.ocompr_enabled.get(), 0);
    shortcuts.toggleEffect(Shortcuts::kCompressor);
    EXPECT_EQ(engine->params.compr.ocompr_enabled.get(), 1);
    EXPECT_EQ(engine->params.compr.icompr_enabled.get(), 0);
    // Controllers are ignored without the setting.
    engine->settings.CtrlMidiEnable = 0;
    shortcuts.midiMessage(1, 11, 100, 127);
    EXPECT_EQ(engine->params.dist.dist_enabled.get(), 0);
}

TEST_F(ShortcutFixture, WahsExcludeEachOtherAndTheReverbStartsClean)
{
    shortcuts.toggleEffect(Shortcuts::kAutoWah);
    EXPECT_EQ(engine->params.wah.wah_enabled.get(), 1);
    shortcuts.toggleEffect(Shortcuts::kEnvWah);
    EXPECT_EQ(engine->params.ewah.ewah_enabled.get(), 1);
    EXPECT_EQ(engine->params.wah.wah_enabled.get(), 0);
    EXPECT_EQ(effects.wahSwitches, 2);
    shortcuts.toggleEffect(Shortcuts::kReverb);
    shortcuts.toggleEffect(Shortcuts::kReverb);
    EXPECT_EQ(effects.reverbOns, 1); // only switching on clears the old tail
}

TEST_F(ShortcutFixture, VolumeControllers)
{
    engine->settings.CtrlMidiEnable = 1;
    engine->settings.MIDIShortcutsON = 1;
    shortcuts.midiMessage(1, 11, 120, 70);
    EXPECT_FLOAT_EQ(engine->volumes.OutputVolume.get(), static_cast<float>(std::pow(10.0, 0.5 / 20.0)));
    shortcuts.midiMessage(1, 11, 119, 127); // +57 dB is held at +15
    EXPECT_FLOAT_EQ(engine->volumes.InputVolume.get(), static_cast<float>(std::pow(10.0, 15.5 / 20.0)));
    shortcuts.midiMessage(1, 11, 119, 0);
    EXPECT_FLOAT_EQ(engine->volumes.InputVolume.get(), static_cast<float>(std::pow(10.0, -69.5 / 20.0)));
    EXPECT_EQ(listener.volumes, 3);
}
