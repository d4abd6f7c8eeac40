// Brelt.so in a host of our own, running audio through a real korvex: the
// sound against korvex render, the pieces of a long host block, mono output,
// a program change, bypass, and the faults (korvex killed or hung).
// test-label: threads
#include "LinkTest.h"
#include "RunKorvex.h"
#include "SoundFiles.h"
#include "TestFiles.h"
#include "engine/ConsoleMessages.h"
#include "engine/Engine.h"
#include "link/SharedSection.h"
#include "link/host/TestHost.h"
#include "presets/RegistryStore.h"
#include "presets/SettingsStore.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

using namespace stravik;
using namespace stravik::link::host;
namespace vst2 = stravik::vst2;

namespace {

constexpr int kRate = 48000;

// The korvex processes this test process started.
std::vector<pid_t> korvexChildren()
{
    std::vector<pid_t> found;
    DIR* proc = opendir("/proc");
    while (const dirent* d = proc ? readdir(proc) : nullptr) {
        const pid_t pid = std::atoi(d->d_name);
        if (pid <= 0) continue;
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        std::getline(stat, line);
        const auto close = line.rfind(')');
        if (line.find("(korvex)") == std::string::npos || close == std::string::npos) continue;
        char state = 0;
        int ppid = 0;
        if (std::sscanf(line.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == getpid() && state != 'Z')
            found.push_back(pid);
    }
    if (proc) closedir(proc);
    return found;
}

bool processGone(pid_t pid) { return kill(pid, 0) != 0 && errno == ESRCH; }

std::vector<float> tone(int frames, double hz, double amplitude)
{
    std::vector<float> v(static_cast<size_t>(frames));
    for (int i = 0; i < frames; ++i) v[static_cast<size_t>(i)] = static_cast<float>(amplitude * std::sin(2 * M_PI * hz * i / kRate));
    return v;
}

struct LinkFixture : ::testing::Test {
    std::string section = linktest::sectionName();
    testfiles::TempDir home;
    ConsoleMessages messages;
    std::unique_ptr<PluginLibrary> library;
    vst2::Effect* effect = nullptr;

    // Settings korvex reads at its start: mono output, a stored rate that
    // the host's overrides, program 5 mapped to a demonstration preset.
    void SetUp() override
    {
        setenv("XDG_CONFIG_HOME", home.path().c_str(), 1);
        auto engine = std::make_unique<Engine>(messages);
        engine->settings.stereo = 0;
        engine->settings.SampleRate = 44100;
        engine->settings.MIDIShortcutsON = 1;
        engine->settings.MIDIShortcuts[5] = "Crunch";
        std::filesystem::create_directories(home.path() + "/stravik");
        RegistryStore store(RegistryStore::defaultPath(), &messages);
        ASSERT_TRUE(writeSettings(*engine, store));
    }
    void TearDown() override
    {
        if (effect) closeInstance(effect);
    }
    void load(const std::string& path)
    {
        library = std::make_unique<PluginLibrary>(path);
        ASSERT_TRUE(library->ok()) << library->error();
        effect = library->instantiate();
        ASSERT_NE(effect, nullptr);
    }
    void run(const std::vector<float>& inL, const std::vector<float>& inR, std::vector<float>& outL,
             std::vector<float>& outR, int block)
    {
        outL.assign(inL.size(), 9.0f);
        outR.assign(inR.size(), 9.0f);
        for (size_t at = 0; at < inL.size(); at += static_cast<size_t>(block)) {
            const int n = static_cast<int>(std::min<size_t>(static_cast<size_t>(block), inL.size() - at));
            process(effect, const_cast<float*>(inL.data() + at), const_cast<float*>(inR.data() + at),
                    outL.data() + at, outR.data() + at, n);
        }
    }
    link::LinkSlot& slot(link::SharedSection& s)
    {
        std::string error;
        EXPECT_TRUE(s.open(section, false, error)) << error;
        return s.slot(0); // the only instance of this process
    }
};

TEST_F(LinkFixture, WithEveryEffectOffTheOutputIsTheInputTimesTheGainOnBothChannels)
{
    load(linktest::breltPath());
    startInstance(effect, kRate, 512);
    ASSERT_EQ(korvexChildren().size(), 1u);
    effect->setParameter(effect, 0, 0.5f);

    // Different channels: mono output carries their mix on both.
    const auto inL = tone(6000, 220, 0.6), inR = tone(6000, 330, 0.4);
    std::vector<float> outL, outR;
    run(inL, inR, outL, outR, 512);
    for (size_t i = 0; i < inL.size(); ++i) {
        const double expected = (inL[i] / 2.0 + inR[i] / 2.0) * 0.5;
        ASSERT_NEAR(outL[i], expected, 1e-5) << "frame " << i;
        ASSERT_EQ(outL[i], outR[i]) << "frame " << i;
    }

    // One host block of 5000 frames crosses in three pieces, the last of 904.
    const auto longL = tone(5000, 440, 0.5);
    run(longL, longL, outL, outR, 5000);
    for (size_t i = 0; i < longL.size(); ++i) ASSERT_NEAR(outL[i], longL[i] * 0.5, 1e-5) << "frame " << i;
    link::SharedSection mapped;
    EXPECT_EQ(slot(mapped).count.load(), 904);
}

TEST_F(LinkFixture, AProgramChangeLoadsItsPresetAndSoundsAsRenderDoes)
{
    // The demonstration presets in the store, as a user imports them.
    const std::string env = "XDG_CONFIG_HOME='" + home.path() + "'";
    const auto imported =
        testfiles::runKorvex("presets import " + std::string(STRAVIK_BUILD_DIR) + "/demo.fxp", home.path(), env);
    ASSERT_EQ(imported.exitCode, 0) << imported.all();

    const auto input = tone(48000, 110, 0.3);
    ASSERT_TRUE(testfiles::writeSound(home.file("in.wav"), SF_FORMAT_WAV | SF_FORMAT_FLOAT, kRate, 1,
                                      std::vector<double>(input.begin(), input.end())));
    const auto rendered = testfiles::runKorvex("render --in '" + home.file("in.wav") + "' --out '" +
                                                   home.file("out.wav") + "' --out-format float --preset Crunch --set stereo=0",
                                               home.path(), env);
    ASSERT_EQ(rendered.exitCode, 0) << rendered.all();
    const auto sound = testfiles::readSound(home.file("out.wav"));
    ASSERT_EQ(sound.channels, 1); // stereo is off
    const auto& expected = sound.samples;
    ASSERT_GE(expected.size(), input.size());

    load(linktest::breltPath());
    startInstance(effect, kRate, 512);
    dispatch(effect, vst2::kSetProgram, 0, 5);
    // A host changes programs while suspended; the run starts afresh.
    dispatch(effect, vst2::kMainsChanged, 0, 0);
    dispatch(effect, vst2::kMainsChanged, 0, 1);
    std::vector<float> outL, outR;
    run(input, input, outL, outR, 512);
    double worst = 0, level = 0;
    for (size_t i = 0; i < input.size(); ++i) {
        worst = std::max(worst, std::fabs(outL[i] - expected[i]));
        level = std::max(level, std::fabs(static_cast<double>(expected[i])));
    }
    EXPECT_GT(level, 0.01);
    // The preset's reverb would make the channels differ in stereo; with
    // stereo off both carry the same signal.
    EXPECT_EQ(outL, outR);
    EXPECT_LT(worst, 1e-5) << "loudest " << level << "; at 1000: " << outL[1000] << " against " << expected[1000]
                           << ", at 30000: " << outL[30000] << " against " << expected[30000];
}

TEST_F(LinkFixture, BypassPassesTheInputAndKeepsKorvexInStep)
{
    load(linktest::breltPath());
    startInstance(effect, kRate, 256);
    effect->setParameter(effect, 1, 1.0f);
    const auto in = tone(1024, 440, 0.5);
    std::vector<float> outL, outR;
    link::SharedSection mapped;
    link::LinkSlot& s = slot(mapped);
    s.left[0] = 0.75f;
    run(in, in, outL, outR, 256);
    EXPECT_EQ(outL, in);
    EXPECT_EQ(outR, in);
    // The silent block went through korvex.
    EXPECT_EQ(s.count.load(), 128);
    EXPECT_NEAR(s.left[0], 0.0f, 1e-9);
}

TEST_F(LinkFixture, KorvexKilledMidBlockReleasesTheHost)
{
    load(linktest::breltPath());
    startInstance(effect, kRate, 512);
    const auto children = korvexChildren();
    ASSERT_EQ(children.size(), 1u);
    const pid_t korvex = children[0];
    // Frozen, it never finishes the block; then it dies.
    kill(korvex, SIGSTOP);
    const auto in = tone(512, 440, 0.5);
    std::vector<float> outL(512, 9.0f), outR(512, 9.0f);
    std::atomic<bool> returned{false};
    std::chrono::steady_clock::time_point killedAt, returnedAt;
    std::thread host([&] {
        process(effect, const_cast<float*>(in.data()), const_cast<float*>(in.data()), outL.data(), outR.data(), 512);
        returnedAt = std::chrono::steady_clock::now();
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(returned.load()); // waiting for korvex
    killedAt = std::chrono::steady_clock::now();
    kill(korvex, SIGKILL);
    host.join();
    // Not a speed test: a call that waits for a dead korvex never returns
    // by itself, and one that merely polls takes a whole wait step.
    const double afterKill = std::chrono::duration<double, std::milli>(returnedAt - killedAt).count();
    EXPECT_LT(afterKill, 500.0);
    EXPECT_EQ(outL, std::vector<float>(512, 9.0f));
    // Later calls leave the outputs alone at once.
    process(effect, const_cast<float*>(in.data()), const_cast<float*>(in.data()), outL.data(), outR.data(), 512);
    EXPECT_EQ(outL, std::vector<float>(512, 9.0f));
}

TEST_F(LinkFixture, DestroyingAnInstanceWhoseKorvexHangsKillsItAndFreesTheSlot)
{
    // The library in a folder of its own finds korvex through "AppPath".
    {
        RegistryStore store(RegistryStore::defaultPath(), &messages);
        store.WriteStringValue("AppPath", STRAVIK_BUILD_DIR, "cfg");
    }
    const std::string copy = home.file("plugins/Brelt.so");
    std::filesystem::create_directories(home.file("plugins"));
    std::filesystem::copy_file(linktest::breltPath(), copy);
    load(copy);
    startInstance(effect, kRate, 512);
    const auto children = korvexChildren();
    ASSERT_EQ(children.size(), 1u);
    const pid_t korvex = children[0];
    kill(korvex, SIGSTOP);
    const auto start = std::chrono::steady_clock::now();
    dispatch(effect, vst2::kClose);
    effect = nullptr;
    const double waited = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(waited, 1990.0); // it had its 2000 ms to end by itself
    EXPECT_TRUE(processGone(korvex));
    link::SharedSection mapped;
    std::string error;
    ASSERT_TRUE(mapped.open(section, false, error)) << error;
    EXPECT_EQ(mapped.slot(0).inUse.load(), 0);
    EXPECT_EQ(mapped.header().ownerPid[0].load(), 0);
}

TEST_F(LinkFixture, ClosingEndsKorvex)
{
    load(linktest::breltPath());
    startInstance(effect, kRate, 512);
    const auto children = korvexChildren();
    ASSERT_EQ(children.size(), 1u);
    closeInstance(effect);
    effect = nullptr;
    EXPECT_TRUE(processGone(children[0]));
}

} // namespace
