#pragma once
// Level meters and clip indicators. The chain measures on the audio thread
// and hands meter values here; the window implements MeterDisplay.
#include <atomic>

namespace stravik {

// What the window shows. Called from the audio thread: implementations must
// not block (store into atomics and repaint from the window's own thread).
class MeterDisplay {
public:
    enum Meter { kInput = 0, kOutput = 1 };
    virtual ~MeterDisplay() = default;
    // A meter's bar moved to another of its 16 steps; value is 0..100.
    virtual void showLevel(Meter meter, int value, int step) = 0;
    virtual void showClip(bool inputLit, bool outputLit) = 0;
    // Everything back to 0 and unlit.
    virtual void resetMeters() = 0;
};

// Keeps a clip lamp lit for a number of blocks after the last clip.
class ClipHold {
public:
    void load(int holdBlocks) { count_ = holdBlocks; }
    void countDown()
    {
        if (count_ > 0) --count_;
    }
    // A clip seen this block loads the counter; otherwise it counts down.
    void update(bool clipped, int holdBlocks)
    {
        if (clipped)
            load(holdBlocks);
        else
            countDown();
    }
    bool lit() const { return count_ > 0; }
    int count() const { return count_; }
    void clear() { count_ = 0; }

private:
    int count_ = 0;
};

// Blocks a clip lamp stays lit: 200 at 48000 Hz, 183 at 44100, 91 at 22050.
inline int clipHoldLength(int sampleRate) { return sampleRate * 200 / 48000; }

// A level in whole dB as a meter value: -50 dB -> 0, 0 dB -> 100.
inline int meterValue(int levelDb) { return static_cast<int>(2.0 * (levelDb + 50)); }

// Delay, in blocks, between computing a block and hearing it when a file is
// played through a buffered output: half the output buffer (at least 1, at
// most 100); 50 when the output is not a buffer the program fills ahead.
int meterDelayLength(int outputBufferBytes, int channels);

// Averages meter values five at a time and tells the display when a bar
// changes step; lamps are passed on when they change.
class LevelMeters {
public:
    void setDisplay(MeterDisplay* display) { display_.store(display); }
    void setValues(int inputValue, int outputValue);
    void setClip(bool inputLit, bool outputLit);
    void reset();

private:
    struct Meter {
        double sum = 0.0;
        int count = 0;
        int step = -1; // unknown: the first average is always shown
    };
    void add(Meter& m, MeterDisplay::Meter which, int value, MeterDisplay* d);

    std::atomic<MeterDisplay*> display_{nullptr};
    Meter meters_[2];
    int clipState_ = -1; // bit 0 input, bit 1 output; -1 unknown
};

// Meter values waiting to be shown in file-input mode, so the meters move
// with what is heard rather than with what is computed.
class MeterDelayLine {
public:
    static constexpr int kCapacity = 100;
    void clear();
    void setLength(int blocks);
    int length() const { return length_; }
    // Stores a pair and returns the pair stored length() blocks ago.
    void push(int inputValue, int outputValue, int& delayedInput, int& delayedOutput);

private:
    int input_[kCapacity] = {};
    int output_[kCapacity] = {};
    int index_ = 0;
    int length_ = 50;
};

} // namespace stravik
