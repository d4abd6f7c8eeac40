#pragma once
// An ALSA capture PCM as the run's input: mono 16-bit frames at the device
// rate, fetched in blocks of 128 frames (256 when a device that refused
// 22050 Hz runs at 44100 Hz).
//
// The PCM is non-blocking; fetch() waits for a block in steps of a few
// milliseconds (snd_pcm_wait) and looks at the stop flag between them, so a
// stop is seen within about 5 ms. An overrun (the run fell behind) restarts
// capture and counts a break; a device that reports itself gone, keeps
// failing, or delivers nothing for half a second (a dead sound server) is
// marked failed and fetch() returns 0.
//
// Threads: start, fetch and stop run on the processing thread; failed(),
// failureText() and xruns() may be read from any thread.
#include "engine/devices/AlsaSupport.h"
#include "engine/devices/AudioDevices.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

extern "C" {
typedef struct _snd_pcm snd_pcm_t;
}

namespace stravik {

class AlsaInput final : public InputDevice {
public:
    // Takes over an open, configured and prepared PCM (AlsaBackend::openInput)
    // and the block buffer (blockFrames x channels samples).
    AlsaInput(snd_pcm_t* pcm, int deviceRate, int blockFrames, int channels, std::unique_ptr<int16_t[]> block);
    ~AlsaInput() override;
    AlsaInput(const AlsaInput&) = delete;
    AlsaInput& operator=(const AlsaInput&) = delete;

    int channels() const override { return channels_; }
    int deviceRate() const override { return deviceRate_; }
    int blockFrames() const override { return blockFrames_; }
    bool start(UserMessages& messages) override;
    int fetch(const int16_t*& data, const std::atomic<bool>& stop) override;
    void stop() override;
    bool failed() const override { return failure_.load() != 0; }
    std::string failureText() const override;
    long xruns() const override { return xruns_.load(std::memory_order_relaxed); }

private:
    // Restarts capture after an overrun or a suspend; false when it cannot.
    bool restart(int error);
    void fail(int error);

    snd_pcm_t* pcm_;
    int deviceRate_;
    int blockFrames_;
    int channels_;
    std::unique_ptr<int16_t[]> block_;
    long captured_ = 0;
    int failuresInARow_ = 0;
    alsa::StallWatch watch_;
    std::atomic<int> failure_{0};
    std::atomic<long> xruns_{0};
};

} // namespace stravik
