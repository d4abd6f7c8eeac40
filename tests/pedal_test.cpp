// test-label: threads
// The expression pedal on SDL's virtual joysticks: the device list, the poll
// that hands a reading to the wah every fifth block, and in a run on a
// recording the axis ends as 100 and 4100 Hz (and reversed), the warning for
// a missing pedal, and a pedal unplugged mid-run.
#include "control/PedalInput.h"
#include "control/RunControllers.h"

#include "ControlRunRig.h"

#include <SDL.h>
#include <gtest/gtest.h>

using namespace stravik;
using controlrig::Rig;
using controlrig::waitFor;

namespace {

const char kMissingPedal[] = "Warning! Wah pedal device could not be detected.\nIf you are not using this device you "
                             "should disable\nit using AutoWah 'external pedal' setup.";

struct PedalTest : ::testing::Test {
    std::vector<SDL_Joystick*> handles;

    void SetUp() override
    {
        SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
        ASSERT_EQ(SDL_InitSubSystem(SDL_INIT_JOYSTICK), 0) << SDL_GetError();
    }
    void TearDown() override
    {
        for (SDL_Joystick* j : handles) SDL_JoystickClose(j);
        while (SDL_NumJoysticks() > 0 && SDL_JoystickDetachVirtual(0) == 0) {
        }
        SDL_QuitSubSystem(SDL_INIT_JOYSTICK);
    }
    // A virtual joystick with three axes; returns its device index.
    int attach(const char* name)
    {
        SDL_VirtualJoystickDesc d;
        SDL_zero(d);
        d.version = SDL_VIRTUAL_JOYSTICK_DESC_VERSION;
        d.type = SDL_JOYSTICK_TYPE_UNKNOWN;
        d.naxes = 3;
        d.name = name;
        const int index = SDL_JoystickAttachVirtualEx(&d);
        handles.push_back(SDL_JoystickOpen(index));
        return index;
    }
    void move(int index, int axis, int value)
    {
        SDL_JoystickSetVirtualAxis(handles[static_cast<size_t>(index)], axis, static_cast<Sint16>(value));
    }
};

void pedalWah(Engine& e)
{
    e.params.wah.wah_enabled = 1;
    e.params.wah.wah_auto = effects::kWahPedal;
    e.params.wah.wah_f1 = 400;
    e.params.wah.wah_f2 = 1600;
    e.settings.JoyEnable = 1;
}

} // namespace

TEST_F(PedalTest, TheListNamesEveryJoystickUpToTwentyOne)
{
    attach("Stravik foot pedal");
    const std::string longName(100, 'p');
    attach(longName.c_str());
    EXPECT_EQ(control::pedalDeviceNames(), (std::vector<std::string>{"Stravik foot pedal", std::string(80, 'p')}));
    for (int i = 0; i < 21; ++i) attach("Another pedal");
    EXPECT_EQ(control::pedalDevices().size(), 21u);
}

TEST_F(PedalTest, EveryFifthPollHandsTheReadingToTheWah)
{
    attach("Stravik foot pedal");
    move(0, 2, -32768); // Z at its lowest: position 0
    RecordingMessages messages;
    auto engine = std::make_unique<Engine>(messages);
    control::PedalInput pedal(engine->effects().wahUnit, engine->settings);
    ASSERT_TRUE(pedal.open(5, 2)); // past the end: the first device
    EXPECT_EQ(pedal.position(), 0);
    for (int i = 0; i < 4; ++i) pedal.poll();
    EXPECT_LT(engine->effects().wahUnit.state().pedalFrequency, 0.0); // nothing handed on yet
    pedal.poll();
    EXPECT_EQ(engine->effects().wahUnit.state().pedalFrequency, 100.0);
}

TEST_F(PedalTest, ThePedalsEndsAre100And4100HzAndReversedTheOtherWayRound)
{
    attach("Stravik other joystick");
    const int pedal = attach("Stravik foot pedal");
    move(pedal, 0, 32767); // X is not the axis read
    move(pedal, 1, -32768);
    Rig rig;
    pedalWah(*rig.engine);
    rig.engine->settings.JoyInDevice = pedal;
    rig.engine->settings.JoyAxis = 1; // Y
    ASSERT_TRUE(rig.start());
    EXPECT_TRUE(rig.messages.texts().empty());
    EXPECT_TRUE(rig.controllers.pedalOpen());
    const auto frequencyIs = [&](double hz) {
        return waitFor([&] {
            const auto w = rig.wah();
            return w.pedalFrequency == hz && w.updateFrequency == static_cast<int>(hz);
        });
    };
    EXPECT_TRUE(frequencyIs(100));
    move(pedal, 1, 32767);
    EXPECT_TRUE(frequencyIs(4100));
    rig.engine->settings.JoyReverse = 1;
    EXPECT_TRUE(frequencyIs(100));
    move(pedal, 1, -32768);
    EXPECT_TRUE(frequencyIs(4100));
}

TEST_F(PedalTest, WithoutAPedalTheRunWarnsAndGoesOnWithTheWahAtItsFrequency)
{
    Rig rig;
    pedalWah(*rig.engine);
    ASSERT_TRUE(rig.start());
    EXPECT_EQ(rig.messages.texts(), (std::vector<std::string>{kMissingPedal}));
    EXPECT_FALSE(rig.controllers.pedalOpen());
    EXPECT_TRUE(rig.playBlocks(100));
    // Before any reading the pedal stands at the middle of the log sweep.
    EXPECT_EQ(rig.wah().updateFrequency, 800);
    EXPECT_TRUE(rig.run->running());
}

TEST_F(PedalTest, APedalUnpluggedMidRunLeavesTheRunGoingAndTheWahWhereItWas)
{
    const int pedal = attach("Stravik foot pedal");
    move(pedal, 0, 32767);
    Rig rig;
    pedalWah(*rig.engine);
    ASSERT_TRUE(rig.start());
    ASSERT_TRUE(waitFor([&] { return rig.wah().updateFrequency == 4100; }));
    SDL_JoystickDetachVirtual(pedal);
    EXPECT_TRUE(rig.playBlocks(100));
    EXPECT_EQ(rig.wah().updateFrequency, 4100);
    rig.run->stop();
    rig.run->wait();
    EXPECT_EQ(rig.run->endReason(), RunEnd::Stopped);
    EXPECT_FALSE(rig.controllers.pedalOpen());
}
