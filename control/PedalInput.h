#pragma once
// The expression pedal: any joystick-class device (a USB pedal, a game
// controller's axis) read through SDL2's joystick subsystem, moving the auto
// wah in its "External pedal" mode.
//
// The chain polls the pedal once per block while the auto wah follows it;
// every fifth poll hands the wah the pedal position as a frequency,
// 100 Hz (position 0) to 4100 Hz (position 1000), or the other way round
// with JoyReverse.
//
// Threads: open(), close() and the lists belong to a controlling thread (the
// processing run's, before and after its loop). poll() runs on the audio
// thread. SDL's joystick update reads the devices and looks for new ones
// (directory scans and allocations on some systems) under a lock of its own,
// so it runs on a reader thread of ours instead: the fourth poll of each five
// asks it for a fresh reading (a semaphore post, which never blocks), the
// fifth hands on whatever it last read. The audio thread thus only loads an
// atomic and runs the wah's coefficient update.
#include "control/WakeSignal.h"
#include "engine/EffectStages.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

struct _SDL_Joystick;

namespace stravik {
struct Settings;
namespace effects {
class Wah;
}
} // namespace stravik

namespace stravik::control {

struct PedalDevice {
    std::string name;               // at most 80 characters
    std::array<uint8_t, 16> id{};   // the device's identifier (SDL's GUID)
};

// The joystick-class devices, at most 21, in the order JoyInDevice counts.
std::vector<PedalDevice> pedalDevices();
std::vector<std::string> pedalDeviceNames();

class PedalInput final : public PedalSource {
public:
    static constexpr int kMaxDevices = 21;
    static constexpr int kPollsPerReading = 5;

    // JoyReverse is read from settings at every reading.
    PedalInput(effects::Wah& wah, const Settings& settings);
    ~PedalInput() override;
    PedalInput(const PedalInput&) = delete;
    PedalInput& operator=(const PedalInput&) = delete;

    // Opens device `index` of pedalDevices() (an index past the end, the
    // first), reading axis 0 X, 1 Y or 2 Z. False when there is no device,
    // the device is not attached or has no such axis.
    bool open(int index, int axis);
    void close();
    bool isOpen() const { return joystick_ != nullptr; }

    // The chain's poll (audio thread).
    void poll() override;

    // The position last read, 0..1000 as the device reports it (before
    // JoyReverse); -1 before the first reading.
    int position() const { return position_.load(std::memory_order_acquire); }
    // SDL's axis value (-32768..32767) as a position 0..1000.
    static int positionOfAxis(int value);

private:
    void readerMain();
    void readDevice();

    effects::Wah& wah_;
    const Settings& settings_;
    _SDL_Joystick* joystick_ = nullptr;
    int axis_ = 0;
    bool subsystemHeld_ = false;

    std::thread reader_;
    WakeSignal readRequests_; // a post per reading asked for, and one to stop
    std::atomic<bool> stopping_{false};
    std::atomic<int> position_{-1};

    int polls_ = 0; // audio thread; counts on from run to run
};

} // namespace stravik::control
