// Settings: defaults on a new machine, the special read rules, the shortcut
// tables, and FirstStart after one normal exit.
#include "presets/RegistryStore.h"
#include "presets/SettingsStore.h"

#include "dsp/RecordingMessages.h"
#include "engine/Engine.h"

#include <gtest/gtest.h>

#include <memory>

using namespace stravik;

namespace {
DeviceCounts devices()
{
    DeviceCounts d;
    d.outputs = 3;
    d.firstDirectOutput = 2;
    d.inputs = 4;
    d.firstDirectInput = -1;
    d.tunerInputs = 2;
    return d;
}
} // namespace

TEST(SettingsStore, ANewMachineGetsEveryDefaultAndTheFirstStart)
{
    RecordingMessages messages;
    auto engine = std::make_unique<Engine>(messages);
    engine->settings.stereo = 0;
    engine->settings.FileOut = "elsewhere.wav";
    RegistryStore store(":memory:");
    readSettings(*engine, store, devices());
    EXPECT_EQ(engine->settings.stereo.get(), 1);
    EXPECT_EQ(engine->settings.FileOut.get(), "output.wav");
    EXPECT_EQ(engine->settings.FirstStart.get(), 1);
    EXPECT_EQ(engine->settings.MaxPulseCnt.get(), 4000);
    EXPECT_EQ(engine->settings.MetroTempo.get(), 150.0f);
    EXPECT_EQ(engine->settings.DSDevice.get(), 2); // the first direct output when there is one
    EXPECT_EQ(engine->settings.WaveInDevice.get(), 0);
    EXPECT_EQ(engine->settings.tuner_s[2].get(), 34);
    EXPECT_EQ(engine->settings.InputFast.get(), 0); // stored as 1 by default, forced off at start
}

TEST(SettingsStore, WrittenAtExitAndReadBack)
{
    RecordingMessages messages;
    auto engine = std::make_unique<Engine>(messages);
    RegistryStore store(":memory:");
    engine->settings.SampleRate = 44100;
    engine->settings.MaxDelay = 12.5f;
    engine->settings.MetroWave = "/tmp/click.wav";
    engine->volumes.OutputVolume = 0.25f;
    engine->settings.Shortcuts[0] = "Clean";
    engine->settings.Shortcuts[13] = "Lead";
    engine->settings.MIDIShortcuts[63] = "Solo";
    ASSERT_TRUE(writeSettings(*engine, store));
    EXPECT_EQ(*store.read("FirstStart", "cfg"), "0");
    EXPECT_EQ(*store.read("13", "cfg\\Shortcuts"), "Lead");
    EXPECT_EQ(*store.read("5", "cfg\\Shortcuts"), ""); // the table is written whole
    auto fresh = std::make_unique<Engine>(messages);
    readSettings(*fresh, store, devices());
    EXPECT_EQ(fresh->settings.SampleRate.get(), 44100);
    EXPECT_EQ(fresh->settings.MaxDelay.get(), 12.5f);
    EXPECT_EQ(fresh->settings.MetroWave.get(), "/tmp/click.wav");
    EXPECT_EQ(fresh->volumes.OutputVolume.get(), 0.25f);
    EXPECT_EQ(fresh->settings.Shortcuts[13].get(), "Lead");
    EXPECT_EQ(fresh->settings.MIDIShortcuts[63].get(), "Solo");
    EXPECT_EQ(fresh->settings.FirstStart.get(), 0); // after one normal exit
    // The keys in their order, as written.
    const auto v = store.values("cfg");
    ASSERT_GT(v.size(), 4u);
    EXPECT_EQ(v[0].first, "stereo");
    EXPECT_EQ(v[1].first, "MaxDelay");
    EXPECT_EQ(v[v.size() - 2].first, "EnableSSE");
    EXPECT_EQ(v.back().first, "JackConnect"); // added after the original keys
}

TEST(SettingsStore, DeviceIndicesOutOfRangeAndTheTunerNotes)
{
    RecordingMessages messages;
    auto engine = std::make_unique<Engine>(messages);
    RegistryStore store(":memory:");
    store.WriteIntValue("WaveInDevice", 9, "cfg");
    store.WriteIntValue("DSDevice", 1, "cfg");
    store.WriteIntValue("TunerWavein", 2, "cfg");
    store.WriteIntValue("tuner_s2", 65535, "cfg");
    store.WriteIntValue("tuner_s3", 31, "cfg");
    store.WriteIntValue("tuner_us0", -1, "cfg");
    store.WriteStringValue("0", std::string(128, 'x'), "cfg\\Shortcuts"); // longer than 127 characters
    readSettings(*engine, store, devices());
    EXPECT_EQ(engine->settings.WaveInDevice.get(), 0);
    EXPECT_EQ(engine->settings.DSDevice.get(), 1);
    EXPECT_EQ(engine->settings.TunerWavein.get(), 0);
    EXPECT_EQ(engine->settings.tuner_s[2].get(), 34); // the built-in note stays
    EXPECT_EQ(engine->settings.tuner_s[3].get(), 31);
    EXPECT_EQ(engine->settings.tuner_us[0].get(), -1);
    EXPECT_EQ(engine->settings.Shortcuts[0].get(), "");
}
