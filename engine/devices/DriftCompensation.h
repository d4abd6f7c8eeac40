#pragma once
// Keeping the live output a steady distance ahead of playback.
//
// The input and the output device run on clocks of their own. However close
// they are, they drift apart, and the frames waiting to be played slowly pile
// up or run dry. The live writer therefore places the first block of a run
// the write-ahead (MaxDelay - 5 ms) ahead of playback, then measures how much
// is queued in front of every later block. Every 301st block it takes the
// average of the last stretch; the first average becomes the reference, and
// when a later one keeps falling below (or rising above) it by more than a
// hair (0.0001 of the rate), the target rate moves by 1 Hz. The RateAdapter
// turns the target into "one block in P is one frame longer (or shorter)",
// with the frame spread over the block along half a cosine, so no step is
// heard. 1 Hz in 44100 Hz gives P = 44100: one stretched block per second.
//
// The arithmetic sees the device only through PlaybackQueue (how much is
// queued, append frames, get going again after an underrun), so tests drive
// it with an in-memory queue; AlsaOutput puts an ALSA PCM behind it.
//
// Threads: everything here runs on the processing thread, except the counters
// (atomics), which the run may read from its own thread. Nothing allocates
// after construction.
#include <atomic>
#include <cstdint>

namespace stravik {

// The device as the live writer sees it.
class PlaybackQueue {
public:
    virtual ~PlaybackQueue() = default;
    // Frames written but not played yet, or a negative errno (-EPIPE after an
    // underrun).
    virtual long queuedFrames() = 0;
    // Appends up to `frames` interleaved frames; returns how many were taken
    // (fewer when the ring is full), or a negative errno.
    virtual long write(const int16_t* data, long frames) = 0;
    // After -EPIPE (underrun) or -ESTRPIPE (suspend): gets the device ready to
    // be written again, empty. 0 on success, else a negative errno.
    virtual int recover(int error) = 0;
};

// Warps one block in P by a frame, after a target rate.
class RateAdapter {
public:
    static constexpr int kBlockFrames = 128;
    static constexpr int kStretchedFrames = kBlockFrames + 1;
    static constexpr int kShrunkFrames = kBlockFrames - 1;

    RateAdapter();

    // nominal = target = rate; no warping.
    void reset(int nominalRate);
    // Clamps t to nominal +- nominal/128 and derives the period from it.
    void setTarget(float t);
    // Warps the block when its turn has come: returns the frames written to
    // out (129 stretched, 127 shrunk), or 0 when the block stays as it is.
    // Only full 128-frame blocks are warped; shorter ones just count.
    int process(const int16_t* in, int frames, int channels, int16_t* out);

    int nominal() const { return nominal_; }
    float target() const { return target_; }
    long period() const { return period_; }
    long counter() const { return counter_; }
    // Read positions within the block (tests look at the figures).
    double stretchPosition(int i) const { return stretch_[i]; }
    double shrinkPosition(int i) const { return shrink_[i]; }

private:
    static int side(float t, int nominal) { return t > nominal ? 1 : (t < nominal ? -1 : 0); }
    static void warp(const int16_t* in, int channels, const double* positions, int count, int16_t* out);

    double stretch_[kStretchedFrames];
    double shrink_[kShrunkFrames];
    int nominal_ = 48000;
    float target_ = 48000.0f;
    long period_ = 0;
    long counter_ = 0;
};

// The average queued distance over 300 blocks, and the target it moves.
class DriftMeasurement {
public:
    static constexpr int kBlocksPerAverage = 300;

    // A run at this rate: tolerance floor(rate x 0.0001) frames.
    void setup(int rate);
    // The next average becomes the reference (first block, after an underrun).
    void restart();
    // One block's distance in frames. Returns true when it closed an average
    // (which may have moved the adapter's target).
    bool add(long distanceFrames, RateAdapter& adapter);

    static int toleranceFor(int rate);
    int tolerance() const { return tolerance_; }
    long reference() const { return reference_; }
    long previousAverage() const { return previous_; }
    bool referenceTaken() const { return !first_; }

private:
    long sum_ = 0;
    int count_ = 0;
    long reference_ = 0;
    long previous_ = 0;
    bool first_ = true;
    int tolerance_ = 4;
};

// The live writer: positions, measures, warps and writes each block.
class LiveWriter {
public:
    struct Setup {
        int rate = 48000;
        int channels = 2;
        int writeAheadFrames = 0;
        // Frames between the play position and the position the writer
        // counts from: 0 with OutFast, the device's transfer granularity
        // otherwise (the block it has already taken).
        int cursorGapFrames = 0;
    };

    // floor((MaxDelay - 5 ms) / 1000 x rate), 0 below 5 ms.
    static int writeAheadFrames(double maxDelayMs, int rate);

    // A run starts: the adapter back to the nominal rate, the next block is a
    // first block.
    void begin(const Setup& setup);
    // The next block is positioned afresh (after the device lost its queue).
    void restart() { positioned_ = false; }

    // One block of interleaved frames (at most 128). Returns 0, or the
    // queue's negative errno when it failed beyond an underrun.
    int write(const int16_t* samples, int frames, PlaybackQueue& queue);

    const Setup& setup() const { return setup_; }
    const RateAdapter& adapter() const { return adapter_; }
    const DriftMeasurement& drift() const { return drift_; }
    long xruns() const { return xruns_.load(std::memory_order_relaxed); }
    // Frames that did not fit into a full ring.
    long droppedFrames() const { return dropped_.load(std::memory_order_relaxed); }

private:
    enum class Outcome { Written, Underrun, Failed };
    Outcome tryWrite(const int16_t* samples, int frames, PlaybackQueue& queue, int& error);
    // Appends as much as fits; returns frames taken or a negative errno.
    long append(PlaybackQueue& queue, const int16_t* data, long frames);
    long appendSilence(PlaybackQueue& queue, long frames);

    Setup setup_;
    RateAdapter adapter_;
    DriftMeasurement drift_;
    bool positioned_ = false;
    std::atomic<long> xruns_{0};
    std::atomic<long> dropped_{0};
    int16_t warped_[2 * RateAdapter::kStretchedFrames] = {};
};

} // namespace stravik
