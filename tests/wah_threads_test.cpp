// test-label: threads
// The wah lock: controller and pedal values, page updates and effect switches
// arrive on other threads while blocks run, alone and inside the engine.
#include "engine/Engine.h"

#include "dsp/RecordingMessages.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <random>
#include <thread>
#include <vector>

using namespace stravik;
using namespace stravik::effects;

namespace {

constexpr int kBlock = 128;

struct Rig {
    WahParams wah;
    EnvWahParams env;
    RecordingMessages messages;
    dsp::BackgroundWorker worker;
    EffectContext context{worker, messages};
    std::unique_ptr<Wah> unit = std::make_unique<Wah>(wah, env, context);
};

} // namespace

TEST(WahThreads, ControllerUpdatesFromTheMidiThreadWhileBlocksRun)
{
    for (int mode : {kWahSixties, kWahModern, kWahLegacy, kWahTalkBox}) {
        Rig rig;
        rig.wah.wah_enabled = 1;
        rig.wah.wah_auto = kWahMidi;
        rig.wah.wah_mode = mode;
        rig.unit->start(48000);

        std::atomic<bool> done{false};
        std::atomic<long> updates{0};
        double lastPosition = 0.0;
        std::thread midi([&] {
            std::mt19937 rng(static_cast<unsigned>(mode) + 1);
            std::uniform_int_distribution<int> cc(0, 127);
            while (!done.load()) {
                lastPosition = cc(rng) / 127.0;
                rig.unit->setControllerPosition(lastPosition);
                updates.fetch_add(1);
                std::this_thread::yield();
            }
        });
        // The window moves the resonance and reads the state meanwhile.
        std::thread window([&] {
            int i = 0;
            while (!done.load()) {
                rig.wah.wah_sel = static_cast<float>(i++ % 10);
                rig.unit->updateCoefficients();
                const WahState s = rig.unit->state();
                EXPECT_GE(s.updateFrequency, 450);
                EXPECT_LE(s.updateFrequency, 2200);
                std::this_thread::yield();
            }
        });

        std::mt19937 rng(9);
        std::uniform_real_distribution<double> u(-0.3, 0.3);
        std::vector<double> buf(kBlock);
        bool finite = true;
        double peak = 0.0;
        for (int b = 0; b < 1500 || updates.load() < 50; ++b) {
            for (double& v : buf) v = u(rng);
            rig.unit->process(buf.data(), kBlock);
            for (double v : buf) {
                finite = finite && std::isfinite(v);
                peak = std::max(peak, std::fabs(v));
            }
        }
        done = true;
        midi.join();
        window.join();
        EXPECT_TRUE(finite) << mode;
        EXPECT_LT(peak, 100.0) << mode;
        EXPECT_GT(peak, 0.01) << mode;
        // The last controller value is the one in force.
        rig.unit->updateCoefficients();
        EXPECT_EQ(rig.unit->state().updateFrequency, wahControllerFrequency(lastPosition, 450, 2200)) << mode;
    }
}

TEST(WahThreads, PedalAndEffectSwitchesInsideTheRunningEngine)
{
    RecordingMessages messages;
    auto engine = std::make_unique<Engine>(messages);
    engine->settings.stereo = 0;
    engine->settings.BeepOnStart = 0;
    auto& w = engine->params.wah;
    w.wah_enabled = 1;
    w.wah_auto = kWahPedal;
    w.wah_mode = kWahSixties;
    engine->params.ewah.ewah_mode = kWahTalkBox;
    engine->beginRun(48000);
    Wah& wah = engine->effects().wahUnit;

    std::atomic<bool> done{false};
    std::thread pedal([&] {
        int v = 0;
        while (!done.load()) {
            wah.setPedalFrequency((v = (v + 37) % 1001) * 4 + 100);
            std::this_thread::yield();
        }
    });
    std::thread window([&] {
        bool envelope = false;
        while (!done.load()) {
            wah.switchWah(envelope ? WahKind::Envelope : WahKind::Auto, true);
            envelope = !envelope;
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });

    bool finite = true;
    for (int b = 0; b < 1500; ++b) {
        for (int i = 0; i < kBlock; ++i) engine->WorkBuffer[i] = 0.3 * std::sin(0.05 * (b * kBlock + i));
        engine->ProcessBlock(kBlock);
        for (int i = 0; i < kBlock; ++i) finite = finite && std::isfinite(engine->WorkBuffer[i]);
    }
    done = true;
    pedal.join();
    window.join();
    EXPECT_TRUE(finite);
    // Never both on: whichever switch came last, the other is off.
    EXPECT_FALSE(w.wah_enabled && engine->params.ewah.ewah_enabled);
}
