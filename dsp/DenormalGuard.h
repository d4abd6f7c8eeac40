#pragma once
// Keeps denormal numbers out of recursive filters and feedback lines: a tiny
// offset of 1e-15 is added to every sample, its sign flipping every 10 samples
// of the running stream (so it carries no DC and no audible tone). Each user
// keeps its own counter and value.

namespace stravik::dsp {

class DenormalGuard {
public:
    void process(double* buf, int n)
    {
        for (int i = 0; i < n; ++i) {
            if (++counter_ == 10) { // the count runs modulo 10
                counter_ = 0;
                offset_ = -offset_;
            }
            buf[i] += offset_;
        }
    }
    void reset()
    {
        offset_ = 1e-15;
        counter_ = 0;
    }
    double offset() const { return offset_; }
    int counter() const { return counter_; }

private:
    double offset_ = 1e-15;
    int counter_ = 0;
};

} // namespace stravik::dsp
