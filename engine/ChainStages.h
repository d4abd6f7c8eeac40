#pragma once
// Everything the block chain calls at its steps, behind one interface: the
// engine's own effect units implement it (EffectStages), and tests substitute
// a recorder to check the order and the buffers of every call.
#include <cstdint>

namespace stravik {

class ChainStages {
public:
    virtual ~ChainStages() = default;

    // Each stage's start operation, at the start of a run.
    virtual void startRun(int sampleRate) = 0;

    // Resets of idle delay-line stages (called for every block in which the
    // stage is switched off; cheap when already clear).
    virtual void phaserReset() = 0;
    virtual void chorusReset() = 0;
    virtual void echoReset() = 0;

    // Mono stages on the work buffer (n samples at the base rate).
    virtual void noiseGate(double* buf, int n) = 0;
    virtual void inputControl(double* buf, int n) = 0;
    virtual void envelopeFollow(const double* buf, int n) = 0;
    virtual void inputCompressor(double* buf, int n) = 0;
    virtual void volumeSwell(double* buf, int n) = 0;
    virtual void pitchShifter(double* buf, int n) = 0;
    virtual void wah(double* buf, int n) = 0;
    virtual void phaser(double* buf, int n) = 0;
    virtual void ampPreStage(double* buf, int n) = 0;
    virtual void outputCompressor(double* buf, int n) = 0;
    virtual void cabinet(double* buf, int n) = 0;
    virtual void tremolo(double* buf, int n) = 0;
    virtual void chorusMono(double* buf, int n) = 0;
    virtual void outputControl(double* buf, int n) = 0;
    virtual void echoMono(double* buf, int n) = 0;

    // Oversampled stages (4n samples at four times the rate).
    virtual void distortion(double* buf, int n4) = 0;
    virtual void amp(double* buf, int n4) = 0;

    // Stereo stages on interleaved frames.
    virtual void chorusStereo(double* stereo, int frames) = 0;
    virtual void echoSpread(double* stereo, int frames) = 0;
    virtual void echoMonoOnStereo(double* stereo, int frames) = 0;

    // The finish. The reverb reads the mono source and writes the output
    // block (mono, or interleaved stereo when stereoOut).
    virtual void reverb(double* out, const double* monoIn, int frames, bool stereoOut) = 0;
    virtual void metronome(double* buf, int frames, bool stereo) = 0;

    // The external wah pedal, polled once per block while it drives the wah.
    virtual void pollPedal() = 0;
};

// The three file roles as the chain sees them.
class ChainFiles {
public:
    virtual ~ChainFiles() = default;
    // Reads the next frames of the input file as mono samples; false when the
    // read came up short (end of the data).
    virtual bool readInputBlock(int16_t* dst, int frames) = 0;
    // Input position (frames, advanced by every read) and length in frames.
    virtual int64_t inputPosition() const = 0;
    virtual int64_t inputFrames() const = 0;
    // Adds the background block read after the previous block.
    virtual void mixBackground(int16_t* out, int frames, bool stereoOut) = 0;
    virtual void readBackgroundBlock(int frames) = 0;
    // Appends count 16-bit values to the output file.
    virtual void appendOutput(const int16_t* samples, int count) = 0;
    // After every block: progress of the input and background files.
    virtual void reportProgress() = 0;
};

} // namespace stravik
