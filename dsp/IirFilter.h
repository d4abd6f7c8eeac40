#pragma once
// A recursive filter of order 1 to 4 with its design operations.
//
// The 25 values are kept in one array in a fixed order: 11 coefficients
// (b0 b1 b2 a1 a2 b3 a3 b4 a4 and two spares; a first-order filter uses b0 b1
// a1), 6 past scaled inputs, 6 past outputs (newest last), the input gain and
// the dry gain. The recursion is
//   x = in * inputGain
//   y = b0 x[n] + b1 x[n-1] + ... - a1 y[n-1] - ...
//   out = in * dryGain + y
// so the history holds the scaled input while the dry path uses the raw one.
#include <cstdint>

namespace stravik {
class UserMessages;
}

namespace stravik::dsp {

class IirFilter {
public:
    // Positions in values_.
    enum : int {
        kB0 = 0, kB1 = 1, kB2 = 2, kA1 = 3, kA2 = 4, kB3 = 5, kA3 = 6, kB4 = 7, kA4 = 8,
        kInputHistory = 11,  // 6 values, newest last
        kOutputHistory = 17, // 6 values, newest last
        kInputGain = 23,
        kDryGain = 24,
        kValueCount = 25,
    };

    IirFilter();

    // --- designs (frequencies in Hz, fs the sample rate). Each sets the
    // coefficients and the order, and stores gain as the input gain (except
    // the all-pass, which leaves the input gain alone).
    void designFirstOrderHighPass(int f, double gain, int fs);
    void designFirstOrderLowPass(double f, double gain, int fs);
    void designHighPass(int f, double q, double gain, int fs);
    void designLowPass(int f, double q, double gain, int fs);
    void designBandPass(int f, double q, double gain, int fs);
    void designLowShelf(int f, double slope, double dbGain, double gain, int fs);
    void designHighShelf(int f, double slope, double dbGain, double gain, int fs);
    void designPeaking(int f, double q, double dbGain, double gain, int fs);
    void designAllPass(int f, double widthFactor, int fs);
    void designButterworthLowPass(int f, double gain, int fs);
    void designSteepLowPass(int f, double gain, int fs);
    // Shows "Filter Unstable!" through messages when f is too close to fs/2
    // for the bilinear mapping, and still designs the filter.
    void designBesselLowPass(int f, int gain, int fs, UserMessages& messages);

    // Sets the coefficients directly (used by effects that derive their own
    // circuit models). b has order+1 values, a has order values (a1..).
    void setCoefficients(int order, const double* b, const double* a);

    // --- processing
    // In place over a block; uses the routine for the filter's order.
    void process(double* buf, int n);
    void process1(double* buf, int n);
    void process2(double* buf, int n);
    void process3(double* buf, int n);
    void process4(double* buf, int n);
    // The same filter eight samples at a time, where the processor has AVX2
    // and FMA (otherwise it is process()). Each group of eight outputs is
    // its inputs through the filter's impulse response plus the response to
    // the outputs before the group, so a group waits on the one before it for
    // two multiply-adds instead of eight whole recursions. The results agree
    // with process() to a few units in the last place; the long oversampled
    // blocks and the filters in series of one stage gain most.
    void processFast(double* buf, int n);
    // One sample (orders 1 and 2; other orders use the second-order recursion
    // of their first coefficients, as the block routines would not).
    double processSample(double in);
    // In place over 16-bit samples with the second-order recursion; results
    // are truncated toward zero.
    void processInt16(int16_t* buf, int n);

    // The second-order recursion's state as the block routines keep it (the
    // last two scaled inputs and outputs, newest first), for a loop that runs
    // several filters sample by sample on its own and hands the state back.
    struct State2 {
        double x1, x2, y1, y2;
    };
    State2 state2() const
    {
        return {v_[kInputHistory + 5], v_[kInputHistory + 4], v_[kOutputHistory + 5], v_[kOutputHistory + 4]};
    }
    void setState2(const State2& s)
    {
        v_[kInputHistory + 5] = s.x1;
        v_[kInputHistory + 4] = s.x2;
        v_[kOutputHistory + 5] = s.y1;
        v_[kOutputHistory + 4] = s.y2;
    }

    // Clears both histories; coefficients and gains stay.
    void reset();
    // Fills the histories as if the filter had long been fed a constant: past
    // scaled inputs = input, past outputs = output.
    void fillHistory(double input, double output);

    int order() const { return order_; }
    void setOrder(int order) { order_ = order; }
    double inputGain() const { return v_[kInputGain]; }
    void setInputGain(double g) { v_[kInputGain] = g; }
    double dryGain() const { return v_[kDryGain]; }
    void setDryGain(double g) { v_[kDryGain] = g; }
    double coefficient(int index) const { return v_[index]; }
    const double* values() const { return v_; }

    // The limit the second-order designs apply to their corner frequency.
    static int limitFrequency(int f, int fs);

private:
    void setSecondOrder(double b0, double b1, double b2, double a0, double a1, double a2);
    template <typename Sample, typename Store>
    void runSecondOrder(Sample* buf, int n, Store store);

    double v_[kValueCount];
    int order_ = 2;

public:
    // The tables processFast works from, made from the coefficients they
    // were made for (kept, with them, until the coefficients change).
    struct LookAhead {
        static constexpr int kGroup = 8;
        double made[9] = {}; // b0..a4 when the tables were made
        int madeOrder = 0;
        bool valid = false;
        double g[kGroup] = {};        // impulse response of the recursive part
        double p[4][kGroup] = {};     // p[k][j]: output j of the group for y[-1-k] = 1
    };

private:
    const LookAhead& lookAhead();
    LookAhead lookAhead_;
};

} // namespace stravik::dsp
