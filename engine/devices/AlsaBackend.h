#pragma once
// The standard audio path on ALSA: capture and playback through the PCMs
// ALSA names in its device hints ("default", "pipewire", "pulse",
// "plughw:CARD=PCH,DEV=0", ...), with ALSA's conversion plugins between the
// program and the hardware.
//
// Lists: the NAME of every PCM hint whose direction suits (no IOID, or
// "Input" for capture, "Output" for playback), in ALSA's order, "default"
// first (added when ALSA does not list it), each once, ALSA's "null" left
// out; then the direct hardware path's devices, the hints' "hw:" names
// (AlsaDirect.h), which are opened without ALSA's plugins. (The capture
// list of the direct hardware input of some old cards would sit between
// the two; Linux has none.) Opening by index uses the list as it was last
// returned, so an index means what the user picked.
//
// Threads: the lists on the window's (or the command's) thread, the opens on
// the processing thread; a lock keeps the two apart.
#include "engine/devices/AlsaInput.h"
#include "engine/devices/AlsaOutput.h"
#include "engine/devices/AudioDevices.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace stravik {

class AlsaBackend final : public AudioBackend {
public:
    // Capture blocks: 128 frames, or 256 at 44100 Hz when a device refuses
    // 22050 Hz. The capture ring holds this many blocks.
    static constexpr int kBlockFrames = 128;
    static constexpr int kCaptureRingBlocks = 8;
    static constexpr int kPlaybackPeriodFrames = 128;
    static constexpr int kMinPlaybackPeriods = 8;

    std::vector<std::string> captureDevices() override;
    std::vector<std::string> playbackDevices() override;
    std::unique_ptr<InputDevice> openInput(int index, int processingRate, UserMessages& messages) override;
    std::unique_ptr<LiveOutputDevice> openOutput(int index, const OutputRequest& request,
                                                 UserMessages& messages) override;

    // The same by PCM name (any name ALSA knows, listed or not).
    std::unique_ptr<AlsaInput> openInputNamed(const std::string& name, int processingRate, UserMessages& messages);
    std::unique_ptr<AlsaOutput> openOutputNamed(const std::string& name, const OutputRequest& request,
                                                UserMessages& messages);

    // The PCM names of ALSA's device hints for one direction, as listed
    // above: the standard path's, or the direct path's "hw:" devices.
    static std::vector<std::string> hintedPcms(bool capture, bool hardware = false);
    // Direct path devices are opened by their "hw:" names.
    static bool isDirect(const std::string& name) { return name.rfind("hw:", 0) == 0; }

    // The text of the output device's result table that stands for an ALSA
    // error code (negative errno) where no more particular message exists.
    static const char* outputResultText(int alsaError);

private:
    std::mutex mutex_;
    std::vector<std::string> capture_;
    std::vector<std::string> playback_;
    bool captureListed_ = false;
    bool playbackListed_ = false;
};

} // namespace stravik
