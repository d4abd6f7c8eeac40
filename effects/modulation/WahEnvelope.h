#pragma once
// The envelope wah's ear: a follower that averages the level of the recent
// blocks of the untouched input, and the mapping from that level to a wah
// frequency through three (level, frequency) points, with an optional peak
// mode that opens the wah at each note start and lets it close slowly.

namespace stravik::effects {

class WahEnvelopeFollower {
public:
    // 16 blocks at 22050 Hz, 32 at 44100 Hz, 34 at 48000 Hz; higher rates
    // (a plug-in host's) get proportionally more, up to this capacity.
    static constexpr int kMaxRing = 256;
    // Blocks at or below this level (one step of a 24-bit mantissa) are
    // silence and do not dilute the average.
    static constexpr float kSilence = 5.960464477539063e-7f;

    static int ringLengthFor(int sampleRate);

    // The envelope reset: the ring length for the rate, every entry cleared.
    void reset(int sampleRate);
    // Measures one block (RMS) and updates the envelope.
    void follow(const double* buf, int n);

    double envelope() const { return envelope_; }
    int ringLength() const { return length_; }

private:
    float ring_[kMaxRing] = {};
    int length_ = 16;
    int pos_ = 0;
    double envelope_ = 0.0;
};

// The three points of the mapping: Start is the loudest, End the quietest.
struct WahEnvelopeShape {
    double levelStart, levelMid, levelEnd;
    double freqStart, freqMid, freqEnd;
};

// The level e the mapping works on, from the envelope E (RMS): either a log
// scale rising by 0.1 per 4 dB, 0 at about -64 dB and 0.7 at about -36 dB
// (never below 0), or simply 200 E.
double wahEnvelopeVolume(double envelope, bool logVolume);

// The frequency for level e (truncated to whole hertz, not yet limited).
int wahEnvelopeFrequency(double e, const WahEnvelopeShape& shape);

// Peak mode: a note start (a jump of more than 30 % over the previous
// block, and in mode 0 also above the Start level) sets the hold to the
// Start level; the hold then falls by 0.0003 every block, past every level.
class WahPeakHold {
public:
    static constexpr double kFallPerBlock = 0.0003;

    // Takes this block's e and returns the level to map instead.
    double apply(double e, int peakMode, double startLevel);
    double hold() const { return hold_; }
    double previous() const { return previous_; }

private:
    double hold_ = 0.0;
    double previous_ = 0.0;
};

} // namespace stravik::effects
