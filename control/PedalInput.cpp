#include "control/PedalInput.h"

#include "control/DeviceNames.h"
#include "effects/modulation/Wah.h"
#include "engine/Settings.h"

#include <SDL.h>

#include <algorithm>
#include <cstring>
#include <mutex>

namespace stravik::control {
namespace {

// SDL's subsystem start and end are not safe against each other from two
// threads; ours (the device list, a run's pedal) go one at a time.
std::mutex subsystemLock;

bool holdJoysticks()
{
    std::lock_guard lock(subsystemLock);
    // The joystick subsystem brings SDL's event subsystem along, which would
    // otherwise take over SIGINT and SIGTERM from the program.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    if (SDL_InitSubSystem(SDL_INIT_JOYSTICK) != 0) return false;
    // Nobody takes SDL's events: without this every movement would pile up
    // in its queue. We update the devices ourselves.
    SDL_JoystickEventState(SDL_IGNORE);
    return true;
}

void releaseJoysticks()
{
    std::lock_guard lock(subsystemLock);
    SDL_QuitSubSystem(SDL_INIT_JOYSTICK);
}

int listedCount() { return std::min(SDL_NumJoysticks(), PedalInput::kMaxDevices); }

} // namespace

std::vector<PedalDevice> pedalDevices()
{
    std::vector<PedalDevice> list;
    if (!holdJoysticks()) return list;
    SDL_JoystickUpdate(); // devices plugged in since the subsystem started
    SDL_LockJoysticks();
    const int n = listedCount();
    for (int i = 0; i < n; ++i) {
        PedalDevice d;
        const char* name = SDL_JoystickNameForIndex(i);
        d.name = listedName(name ? name : "");
        const SDL_JoystickGUID guid = SDL_JoystickGetDeviceGUID(i);
        std::memcpy(d.id.data(), guid.data, d.id.size());
        list.push_back(std::move(d));
    }
    SDL_UnlockJoysticks();
    releaseJoysticks();
    return list;
}

std::vector<std::string> pedalDeviceNames()
{
    std::vector<std::string> names;
    for (auto& d : pedalDevices()) names.push_back(std::move(d.name));
    return names;
}

PedalInput::PedalInput(effects::Wah& wah, const Settings& settings) : wah_(wah), settings_(settings) {}

PedalInput::~PedalInput() { close(); }

int PedalInput::positionOfAxis(int value)
{
    // The axis's whole travel onto 0..1000, rounded, ends exact.
    return ((std::clamp(value, -32768, 32767) + 32768) * 1000 + 32767) / 65535;
}

bool PedalInput::open(int index, int axis)
{
    close();
    if (!holdJoysticks()) return false;
    subsystemHeld_ = true;
    SDL_JoystickUpdate();
    SDL_LockJoysticks();
    const int n = listedCount();
    if (n > 0) {
        if (index < 0 || index >= n) index = 0;
        joystick_ = SDL_JoystickOpen(index);
    }
    SDL_UnlockJoysticks();
    axis_ = axis == 1 || axis == 2 ? axis : 0;
    if (joystick_ == nullptr || !SDL_JoystickGetAttached(joystick_) || SDL_JoystickNumAxes(joystick_) <= axis_) {
        close();
        return false;
    }
    readDevice(); // the first poll already has a position
    readRequests_.takeAll(); // none left over from an earlier run
    stopping_ = false;
    reader_ = std::thread([this] { readerMain(); });
    return true;
}

void PedalInput::close()
{
    if (reader_.joinable()) {
        stopping_ = true;
        readRequests_.post();
        reader_.join();
    }
    if (joystick_ != nullptr) {
        SDL_JoystickClose(joystick_);
        joystick_ = nullptr;
    }
    if (subsystemHeld_) {
        releaseJoysticks();
        subsystemHeld_ = false;
    }
    position_.store(-1, std::memory_order_release);
}

void PedalInput::poll()
{
    // One block ahead of the reading the reader is asked to refresh it.
    ++polls_;
    if (polls_ == kPollsPerReading - 1) readRequests_.post();
    if (polls_ < kPollsPerReading) return;
    polls_ = 0;
    int v = position_.load(std::memory_order_acquire);
    if (v < 0) return;
    if (settings_.JoyReverse) v = 1000 - v;
    wah_.setPedalFrequency(v * 4 + 100);
}

void PedalInput::readerMain()
{
    // Each post is kept until taken, so a request made before this thread
    // first waits (it may start late) still wakes it, the stop among them.
    for (;;) {
        readRequests_.wait();
        // Requests that piled up: one reading serves them all. Taken before
        // the stop is looked at, so that a stop posted among them is seen.
        readRequests_.takeAll();
        if (stopping_) return;
        readDevice();
    }
}

void PedalInput::readDevice()
{
    SDL_JoystickUpdate();
    // An unplugged pedal reads as 0: keep its last position instead, so the
    // wah stays where the foot left it.
    if (!SDL_JoystickGetAttached(joystick_)) return;
    position_.store(positionOfAxis(SDL_JoystickGetAxis(joystick_, axis_)), std::memory_order_release);
}

} // namespace stravik::control
