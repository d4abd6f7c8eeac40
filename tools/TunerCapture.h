#pragma once
// The tuner's own capture: mono 16-bit at 44100 Hz from a capture device,
// independent of the effect engine. A thread of its own fills buffers of
// 32768 samples (about 0.74 s) one after the other and hands each to the
// tuner's analysis; what falls between (while a buffer is analysed) is not
// heard, as the analysis needs whole buffers only.
#include "dsp/UserMessages.h"
#include "engine/devices/AudioDevices.h"
#include "tools/Tuner.h"

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace stravik::tools {

class TunerCapture {
public:
    static constexpr int kRate = 44100;

    TunerCapture(AudioBackend& audio, Tuner& tuner) : audio_(audio), tuner_(tuner) {}
    ~TunerCapture() { stop(); }

    // Opens capture device `device` and starts. False, after "Cannot open
    // audio input device!" (or the analysis's own message), when it cannot.
    bool start(int device, UserMessages& messages);
    // Stops capturing, waits for the analysis in progress, closes the device.
    void stop();
    bool running() const { return thread_.joinable(); }
    // The device failed while capturing (it then stops by itself).
    bool failed() const { return failed_.load(); }

private:
    void capture();

    AudioBackend& audio_;
    Tuner& tuner_;
    std::unique_ptr<InputDevice> input_;
    std::vector<int16_t> buffer_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> failed_{false};
    std::thread thread_;
};

} // namespace stravik::tools
