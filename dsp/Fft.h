#pragma once
// Fourier transforms of fixed sizes, built on FFTW. A transform owns its
// buffers and its plan, made once (planning is slow and not thread-safe, so
// it is serialised here); running it is cheap, allocation-free and may
// happen on any thread, one call at a time per object.
#include <complex>
#include <cstddef>

namespace stravik::dsp {

// Real input of n samples <-> n/2 + 1 complex bins, unnormalised both ways
// (forward then inverse multiplies by n).
class RealFft {
public:
    explicit RealFft(int n);
    ~RealFft();
    RealFft(const RealFft&) = delete;
    RealFft& operator=(const RealFft&) = delete;

    int size() const { return n_; }
    double* time() { return time_; }                      // n values
    std::complex<double>* spectrum() { return freq_; }    // n/2 + 1 bins
    void forward();  // time -> spectrum
    void inverse();  // spectrum -> time

private:
    int n_;
    double* time_;
    std::complex<double>* freq_;
    void* forwardPlan_;
    void* inversePlan_;
};

// Complex n-point transform in place, unnormalised.
class ComplexFft {
public:
    explicit ComplexFft(int n);
    ~ComplexFft();
    ComplexFft(const ComplexFft&) = delete;
    ComplexFft& operator=(const ComplexFft&) = delete;

    int size() const { return n_; }
    std::complex<double>* data() { return data_; }
    void forward(); // exp(-i...)
    void inverse(); // exp(+i...)

private:
    int n_;
    std::complex<double>* data_;
    void* forwardPlan_;
    void* inversePlan_;
};

} // namespace stravik::dsp
