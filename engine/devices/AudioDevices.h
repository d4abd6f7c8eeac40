#pragma once
// The live audio devices of a processing run, as the run sees them: a
// capture device that hands over blocks of 16-bit samples, and an output
// device (engine/OutputDevice.h) that takes the chain's blocks. A backend
// lists the devices of one audio system and opens them; ALSA's is
// AlsaBackend, tests may bring their own.
//
// Threads: lists are read on the window's (or the command's) thread; open,
// start, fetch, stop and close run on the processing thread. Failures while
// opening are shown through UserMessages with the program's own texts;
// failures while running are only recorded (failed(), failureText()) for the
// run to report between blocks, because fetch and the output's writes are on
// the audio path and never print.
#include "dsp/UserMessages.h"
#include "engine/OutputDevice.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace stravik {

// A capture device opened for a run.
class InputDevice {
public:
    virtual ~InputDevice() = default;
    // 1, or 2 when the device only delivers two channels.
    virtual int channels() const = 0;
    // The rate the device runs at: the processing rate, or twice it when the
    // device refused 22050 Hz and runs at 44100 Hz.
    virtual int deviceRate() const = 0;
    // Frames per fetched block at the device rate (128, or 256 at twice the rate).
    virtual int blockFrames() const = 0;
    // Starts capturing. False (after showing why) when it cannot.
    virtual bool start(UserMessages& messages) = 0;
    // Waits for the next block and points data at its interleaved frames,
    // valid until the next call. Returns the number of frames (at the device
    // rate); 0 when stop was set while waiting (seen within a few ms) or when
    // the device failed (failed() then says so). Recovers from overruns by
    // itself, counting them.
    virtual int fetch(const int16_t*& data, const std::atomic<bool>& stop) = 0;
    // Stops capturing; the device closes when the object is destroyed.
    virtual void stop() = 0;
    virtual bool failed() const = 0;
    virtual std::string failureText() const = 0;
    // Overruns and other breaks in the captured stream so far.
    virtual long xruns() const = 0;
    // A device of the direct hardware path (no conversion between the
    // program and the driver).
    virtual bool direct() const { return false; }
};

// What a run asks of its output device.
struct OutputRequest {
    int rate = 48000;     // the processing rate
    int channels = 2;     // 2 when stereo output, else 1
    float maxDelayMs = 20; // MaxDelay: the write-ahead of the live writer is MaxDelay - 5 ms
    bool outFast = true;  // OutFast: measure from the play position (else from the write position)
    bool fileInput = false; // the input is a file: the output paces the run (half-buffer wait)
};

// An output device opened for a run: the chain's OutputDevice plus what the
// run needs around it.
class LiveOutputDevice : public OutputDevice {
public:
    // Starts playing (silence until the first block). False after showing why.
    virtual bool start(UserMessages& messages) = 0;
    // Stops playing at the end of a run, without a click where possible.
    virtual void stop() = 0;
    virtual bool failed() const = 0;
    virtual std::string failureText() const = 0;
    // Underruns and other breaks in the played stream so far.
    virtual long xruns() const = 0;
};

class AudioBackend {
public:
    virtual ~AudioBackend() = default;
    // Device names as the user picks them ("default" first), in list order.
    virtual std::vector<std::string> captureDevices() = 0;
    virtual std::vector<std::string> playbackDevices() = 0;
    // Opens capture device `index` of captureDevices() for a run at
    // processingRate (mono, 128-frame blocks; at 22050 Hz a device that
    // refuses the rate is opened at 44100 Hz with 256-frame blocks). nullptr
    // after showing the message.
    virtual std::unique_ptr<InputDevice> openInput(int index, int processingRate, UserMessages& messages) = 0;
    // Opens playback device `index` of playbackDevices(). nullptr after
    // showing the message.
    virtual std::unique_ptr<LiveOutputDevice> openOutput(int index, const OutputRequest& request,
                                                         UserMessages& messages) = 0;
};

} // namespace stravik
