#include "engine/devices/DirectRender.h"

#include <algorithm>

namespace stravik {

void DirectRenderWriter::begin(int rate, int channels, double maxDelayMs, double now)
{
    rate_ = rate;
    channels_ = channels == 2 ? 2 : 1;
    startDelaySeconds_ = std::max(0.0, (maxDelayMs - 5.0) / 1000.0);
    startTime_ = now;
    starting_ = true;
    catchingUp_ = false;
    deviation_ = 0;
    adapter_.reset(rate);
    drift_.setup(rate);
    dropped_.store(0, std::memory_order_relaxed);
    full_.store(0, std::memory_order_relaxed);
    doubled_.store(0, std::memory_order_relaxed);
}

int DirectRenderWriter::submitToken(PacketQueue& queue)
{
    // A packet that carries almost nothing keeps the queue moving while the
    // block itself is left out.
    static const int16_t kSilence[kTokenBytes / 2] = {};
    const long frames = kTokenBytes / (2 * channels_);
    if (!queue.hasRoom(frames)) return 0;
    return queue.submit(kSilence, frames);
}

int DirectRenderWriter::submitBlock(const int16_t* data, long frames, PacketQueue& queue)
{
    if (!queue.hasRoom(frames)) {
        full_.fetch_add(1, std::memory_order_relaxed);
        return 0;
    }
    return queue.submit(data, frames);
}

DirectRenderWriter::Result DirectRenderWriter::writeLive(const int16_t* samples, int frames, double now,
                                                         PacketQueue& queue, int* error)
{
    const auto failed = [error](int code) {
        if (error) *error = code;
        return Result::Failed;
    };
    if (frames <= 0) return Result::Ok;

    if (starting_) {
        // Blocks pile up until the start delay has passed: that is the
        // output delay the run keeps.
        if (now - startTime_ >= startDelaySeconds_) {
            if (const int err = queue.startPlaying(); err < 0) return failed(err);
            starting_ = false;
            drift_.restart(); // the first average from here is the reference
        }
    } else {
        const long level = queue.queuedFrames();
        if (level < 0) return failed(static_cast<int>(level));
        drift_.add(level, adapter_);
        if (drift_.referenceTaken()) {
            const long reference = drift_.reference();
            if (level - reference > kDropAboveFrames) {
                deviation_ = level - reference;
                catchingUp_ = true;
                dropped_.fetch_add(1, std::memory_order_relaxed);
                const int err = submitToken(queue);
                return err < 0 ? failed(err) : Result::Ok;
            }
            if (catchingUp_) {
                // The queue's level is known to the frame here, so the
                // catch-up follows it block by block: dropping goes on
                // until the level is within 126 frames of the reference.
                deviation_ = level - reference;
                if (deviation_ > kCatchUpToleranceFrames) {
                    dropped_.fetch_add(1, std::memory_order_relaxed);
                    const int err = submitToken(queue);
                    return err < 0 ? failed(err) : Result::Ok;
                }
                if (deviation_ < -kCatchUpToleranceFrames) {
                    // Too little left: the block goes in twice.
                    doubled_.fetch_add(1, std::memory_order_relaxed);
                    if (const int err = submitBlock(samples, frames, queue); err < 0) return failed(err);
                } else {
                    catchingUp_ = false;
                }
            }
        }
    }

    const int16_t* out = samples;
    long n = frames;
    if (static_cast<int>(adapter_.target()) != rate_) {
        const int warped = adapter_.process(samples, frames, channels_, warped_);
        if (warped > 0) {
            if (2L * channels_ * warped > packetBytes()) return Result::InternalError;
            out = warped_;
            n = warped;
        }
    }
    if (const int err = submitBlock(out, n, queue); err < 0) return failed(err);
    return Result::Ok;
}

DirectRenderWriter::Result DirectRenderWriter::writeFileInput(const int16_t* samples, int frames, PacketQueue& queue,
                                                              int* error)
{
    if (frames <= 0) return Result::Ok;
    if (starting_) {
        // Nothing to keep in step with: playback starts with the first block.
        if (const int err = queue.startPlaying(); err < 0) {
            if (error) *error = err;
            return Result::Failed;
        }
        starting_ = false;
    }
    if (const int err = submitBlock(samples, frames, queue); err < 0) {
        if (error) *error = err;
        return Result::Failed;
    }
    return Result::Ok;
}

} // namespace stravik
