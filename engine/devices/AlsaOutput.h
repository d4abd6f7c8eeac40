#pragma once
// An ALSA playback PCM as the run's output device: 16-bit interleaved frames,
// 1 or 2 channels at the processing rate, periods of 128 frames and a ring of
// B frames (at least 8 periods and four times the write-ahead; a device whose
// ring is smaller keeps as much write-ahead as fits beside two blocks).
//
// Live operation writes through the LiveWriter (DriftCompensation.h): the
// first block of a run, and the first after an underrun, queues the
// write-ahead of silence in front of it; later blocks measure the queue with
// snd_pcm_delay() (frames written but not played: the distance between the
// write offset and the play position) and keep it steady against the input's
// clock. With OutFast off the writer counts from one period beyond the play
// position, the block the device has already taken, so the latency is that
// much larger, as with a device whose write position runs ahead of its play
// position.
//
// File-input operation appends each block after waitForRoom() found half the
// ring free; the output then paces the chain.
//
// stop() lets what is queued play to its end, then a fade of 64 frames from
// the last frame to zero and a period of silence, and drops the PCM once
// only that silence is left: a PCM has no volume of its own to turn down,
// and dropping a ring full of sound would click. The wait is bounded by the
// queue's length (and ends at once on a failed device).
//
// The PCM is non-blocking: a full ring takes what fits and the rest is
// dropped (counted), so the processing thread never waits on the device
// inside a block. A device that stops taking or playing frames for half a
// second (a sound server that died leaves the PCM "running" for ever) or that
// reports itself gone is marked failed; writes then do nothing.
//
// Threads: the writes, waitForRoom, start and stop run on the processing
// thread; failed(), failureText(), xruns() and droppedFrames() may be read
// from any thread.
#include "engine/devices/AlsaSupport.h"
#include "engine/devices/AudioDevices.h"
#include "engine/devices/DriftCompensation.h"

#include <atomic>
#include <cstdint>
#include <string>

extern "C" {
typedef struct _snd_pcm snd_pcm_t;
}

namespace stravik {

class AlsaOutput final : public LiveOutputDevice {
public:
    struct Config {
        int rate = 48000;
        int channels = 2;
        long periodFrames = 128;
        long bufferFrames = 1024; // B
        int writeAheadFrames = 0;
        bool outFast = true;
        bool fileInput = false;
    };

    // Takes over an open PCM whose hardware and software parameters are set
    // and which is prepared (AlsaBackend::openOutput does that).
    AlsaOutput(snd_pcm_t* pcm, const Config& config);
    ~AlsaOutput() override;
    AlsaOutput(const AlsaOutput&) = delete;
    AlsaOutput& operator=(const AlsaOutput&) = delete;

    // OutputDevice
    void writeLive(const int16_t* samples, int bytes) override;
    void writeFileInput(const int16_t* samples, int bytes) override;
    void waitForRoom(const std::atomic<bool>& stopRequest) override;
    int bufferBytes() const override;

    // LiveOutputDevice
    bool start(UserMessages& messages) override;
    void stop() override;
    bool failed() const override { return failure_.load() != 0; }
    std::string failureText() const override;
    long xruns() const override;

    const Config& config() const { return config_; }
    const LiveWriter& writer() const { return writer_; }
    long droppedFrames() const;

private:
    // The PCM behind the live writer, with the watch for a device that
    // stopped playing.
    class Queue final : public PlaybackQueue {
    public:
        Queue(snd_pcm_t* pcm, int channels) : pcm_(pcm), channels_(channels) {}
        long queuedFrames() override;
        long write(const int16_t* data, long frames) override;
        int recover(int error) override;

        // 0, or a negative errno when the device is gone or stood still
        // (alsa::kStalled) while it should have been playing.
        int watch(long queued);
        void resetWatch() { watch_.reset(); }
        const int16_t* lastFrame() const { return last_; }

    private:
        snd_pcm_t* pcm_;
        int channels_;
        long written_ = 0; // frames taken since the PCM was opened
        alsa::StallWatch watch_;
        int16_t last_[2] = {0, 0};
    };

    void fail(int error);
    void fileInputUnderrun(int error);
    // Queues a short fade from the last frame to silence, then a period of
    // silence, and lets it play out (bounded in time).
    void playOut();

    snd_pcm_t* pcm_;
    Config config_;
    LiveWriter writer_;
    Queue queue_;
    std::atomic<int> failure_{0};
    std::atomic<long> fileXruns_{0};
    std::atomic<long> fileDropped_{0};
    bool stopped_ = false;
};

} // namespace stravik
