#pragma once
// Where the chain sends each converted block. The live writer places blocks
// ahead of the play position; the file-input writer fills the half of the
// buffer that is not playing, after waitForRoom() said which half is free.
#include <atomic>
#include <cstdint>

namespace stravik {

class OutputDevice {
public:
    virtual ~OutputDevice() = default;
    // Live operation: bytes of interleaved 16-bit samples.
    virtual void writeLive(const int16_t* samples, int bytes) = 0;
    // File-input operation.
    virtual void writeFileInput(const int16_t* samples, int bytes) = 0;
    // File-input operation, before each block: returns when the device can
    // take a block, or when stopRequest is set.
    virtual void waitForRoom(const std::atomic<bool>& stopRequest) = 0;
    // Size of the device's ring in bytes, or 0 when the program does not fill
    // a ring ahead of playback (the meters then assume a fixed delay).
    virtual int bufferBytes() const { return 0; }
    // A kernel-streaming style pin that paces itself (no half-buffer wait).
    virtual bool isPacedPin() const { return false; }
};

// Takes everything and waits for nothing: render mode runs as fast as the
// machine allows.
class NullOutputDevice final : public OutputDevice {
public:
    void writeLive(const int16_t*, int) override {}
    void writeFileInput(const int16_t*, int) override {}
    void waitForRoom(const std::atomic<bool>&) override {}
};

} // namespace stravik
