#include "dsp/Fft.h"

#include <fftw3.h>

#include <cassert>
#include <cstring>
#include <mutex>

namespace stravik::dsp {
namespace {

// FFTW's planner keeps global state: plans are made and destroyed one at a time.
std::mutex& plannerLock()
{
    static std::mutex m;
    return m;
}

} // namespace

RealFft::RealFft(int n) : n_(n)
{
    assert(n >= 2);
    std::lock_guard lock(plannerLock());
    time_ = fftw_alloc_real(static_cast<size_t>(n));
    freq_ = reinterpret_cast<std::complex<double>*>(fftw_alloc_complex(static_cast<size_t>(n / 2 + 1)));
    std::memset(time_, 0, sizeof(double) * static_cast<size_t>(n));
    std::memset(static_cast<void*>(freq_), 0, sizeof(std::complex<double>) * static_cast<size_t>(n / 2 + 1));
    auto* f = reinterpret_cast<fftw_complex*>(freq_);
    forwardPlan_ = fftw_plan_dft_r2c_1d(n, time_, f, FFTW_ESTIMATE);
    inversePlan_ = fftw_plan_dft_c2r_1d(n, f, time_, FFTW_ESTIMATE | FFTW_PRESERVE_INPUT);
    if (inversePlan_ == nullptr) inversePlan_ = fftw_plan_dft_c2r_1d(n, f, time_, FFTW_ESTIMATE);
}

RealFft::~RealFft()
{
    std::lock_guard lock(plannerLock());
    fftw_destroy_plan(static_cast<fftw_plan>(forwardPlan_));
    fftw_destroy_plan(static_cast<fftw_plan>(inversePlan_));
    fftw_free(time_);
    fftw_free(freq_);
}

void RealFft::forward() { fftw_execute(static_cast<fftw_plan>(forwardPlan_)); }
void RealFft::inverse() { fftw_execute(static_cast<fftw_plan>(inversePlan_)); }

ComplexFft::ComplexFft(int n) : n_(n)
{
    assert(n >= 1);
    std::lock_guard lock(plannerLock());
    data_ = reinterpret_cast<std::complex<double>*>(fftw_alloc_complex(static_cast<size_t>(n)));
    std::memset(static_cast<void*>(data_), 0, sizeof(std::complex<double>) * static_cast<size_t>(n));
    auto* d = reinterpret_cast<fftw_complex*>(data_);
    forwardPlan_ = fftw_plan_dft_1d(n, d, d, FFTW_FORWARD, FFTW_ESTIMATE);
    inversePlan_ = fftw_plan_dft_1d(n, d, d, FFTW_BACKWARD, FFTW_ESTIMATE);
}

ComplexFft::~ComplexFft()
{
    std::lock_guard lock(plannerLock());
    fftw_destroy_plan(static_cast<fftw_plan>(forwardPlan_));
    fftw_destroy_plan(static_cast<fftw_plan>(inversePlan_));
    fftw_free(data_);
}

void ComplexFft::forward() { fftw_execute(static_cast<fftw_plan>(forwardPlan_)); }
void ComplexFft::inverse() { fftw_execute(static_cast<fftw_plan>(inversePlan_)); }

} // namespace stravik::dsp
