#pragma once
// The render side of the direct hardware path: blocks of 128 frames queued
// to a device that plays them as they come, with no conversion in between.
//
// Start: the device is opened with one silent block queued and does not
// play yet. Blocks are queued until MaxDelay - 5 ms have passed since the
// run opened its devices; then playback starts, and what was queued by then
// is the output delay (with MaxDelay at 5 ms or less, playback starts with
// the first block).
//
// Queue level control while playing: before each block the frames still
// queued are measured (the level).
//  - The first 300-block average after the start is the reference; every
//    301st block compares the average with it and moves the RateAdapter's
//    target by 1 Hz, as the standard path's live writer does.
//  - A level more than 512 frames over the reference drops the block: a
//    token of 4 bytes of silence is queued instead, and catch-up starts.
//    While catching up, a level more than 126 frames over the reference
//    drops the block again (the token instead), one more than 126 under it
//    queues the block twice, and anything in between ends the catch-up. (A
//    queue of driver packets is measured in whole packets and wants an
//    average over several blocks; ALSA counts the queued frames exactly.)
//  - While the target differs from the nominal rate, blocks go through the
//    RateAdapter; a result larger than a packet (128 frames and 50 bytes)
//    is "Internal error: 0001!" and the run stops.
//  - A block that finds the queue full is dropped.
//
// The device is seen only through PacketQueue, so tests run it on an
// in-memory queue; AlsaDirectOutput puts an ALSA hw: PCM behind it.
//
// Threads: the processing thread only, except the counters (atomics).
// Nothing allocates.
#include "engine/devices/DriftCompensation.h"

#include <atomic>
#include <cstdint>

namespace stravik {

class PacketQueue {
public:
    virtual ~PacketQueue() = default;
    // Frames queued but not played yet.
    virtual long queuedFrames() = 0;
    // Whether `frames` more fit.
    virtual bool hasRoom(long frames) = 0;
    // Queues interleaved frames; 0, or a negative errno.
    virtual int submit(const int16_t* data, long frames) = 0;
    // Starts playing what is queued; 0, or a negative errno.
    virtual int startPlaying() = 0;
};

class DirectRenderWriter {
public:
    static constexpr int kBlockFrames = 128;
    static constexpr long kDropAboveFrames = 512;
    static constexpr long kCatchUpToleranceFrames = 126;
    static constexpr int kPacketSpareBytes = 50;
    static constexpr int kTokenBytes = 4;

    enum class Result { Ok, Failed, InternalError };

    // A run starts at time `now` (seconds, any steady clock): the adapter at
    // the nominal rate, nothing measured, waiting for the start delay.
    void begin(int rate, int channels, double maxDelayMs, double now);

    // One block of the live chain (at most 128 frames) at time `now`.
    Result writeLive(const int16_t* samples, int frames, double now, PacketQueue& queue, int* error = nullptr);
    // One block of a run from the input file: queued when it fits.
    Result writeFileInput(const int16_t* samples, int frames, PacketQueue& queue, int* error = nullptr);

    bool starting() const { return starting_; }
    bool catchingUp() const { return catchingUp_; }
    // The level over the reference at the last block of a catch-up.
    long deviation() const { return deviation_; }
    const DriftMeasurement& drift() const { return drift_; }
    const RateAdapter& adapter() const { return adapter_; }
    int packetBytes() const { return 2 * channels_ * kBlockFrames + kPacketSpareBytes; }
    // Blocks dropped by the level control, and blocks that found the queue full.
    long droppedBlocks() const { return dropped_.load(std::memory_order_relaxed); }
    long fullBlocks() const { return full_.load(std::memory_order_relaxed); }
    long doubledBlocks() const { return doubled_.load(std::memory_order_relaxed); }

private:
    int submitToken(PacketQueue& queue);
    int submitBlock(const int16_t* data, long frames, PacketQueue& queue);

    int rate_ = 48000;
    int channels_ = 1;
    double startDelaySeconds_ = 0;
    double startTime_ = 0;
    bool starting_ = true;
    bool catchingUp_ = false;
    long deviation_ = 0;
    RateAdapter adapter_;
    DriftMeasurement drift_;
    int16_t warped_[2 * RateAdapter::kStretchedFrames] = {};
    std::atomic<long> dropped_{0};
    std::atomic<long> full_{0};
    std::atomic<long> doubled_{0};
};

} // namespace stravik
