#include "app/DevicesCommand.h"

#include "control/MidiInput.h"
#include "control/PedalInput.h"
#include "engine/devices/AlsaBackend.h"
#include "engine/devices/JackDriver.h"

#include <cstdio>
#include <cstring>

namespace stravik::app {
namespace {

const char kUsage[] =
    "usage: korvex devices\n"
    "\n"
    "Lists the devices a run can use, one a line: 'input N: NAME' for capture\n"
    "devices and 'output N: NAME' for playback devices, 'pedal N: NAME' for\n"
    "expression pedals (joystick-class devices) and 'midi N: NAME' for MIDI inputs.\n"
    "N is the index the settings use: WaveInDevice and DSDevice (korvex run --input\n"
    "and --output take N or NAME), JoyInDevice, MidiInDevice and ProgMidiInDevice.\n"
    "'jack N: NAME' lines are the JACK servers korvex can reach (ASIO_dev;\n"
    "korvex run --jack takes N or NAME).\n";

} // namespace

int devicesCommand(int argc, char** argv)
{
    if (argc >= 1 && (std::strcmp(argv[0], "--help") == 0 || std::strcmp(argv[0], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc > 0) {
        std::fprintf(stderr, "korvex devices: unknown argument '%s'\n\n", argv[0]);
        std::fputs(kUsage, stderr);
        return 2;
    }
    AlsaBackend alsa;
    int i = 0;
    for (const auto& name : alsa.captureDevices()) std::printf("input %d: %s\n", i++, name.c_str());
    i = 0;
    for (const auto& name : alsa.playbackDevices()) std::printf("output %d: %s\n", i++, name.c_str());
    // The JACK servers this user can reach (ASIO_dev; korvex run --jack).
    i = 0;
    for (const auto& name : JackDriver::servers()) std::printf("jack %d: %s\n", i++, name.c_str());
    i = 0;
    for (const auto& name : control::pedalDeviceNames()) std::printf("pedal %d: %s\n", i++, name.c_str());
    i = 0;
    for (const auto& name : control::midiInputDevices()) std::printf("midi %d: %s\n", i++, name.c_str());
    return 0;
}

} // namespace stravik::app
