#pragma once
// A parameter that the user interface (or a MIDI or preset thread) writes while
// the audio thread reads it. Relaxed atomics: no ordering is needed between
// parameters, only freedom from torn reads and data races.
#include <atomic>

namespace stravik {

template <typename T>
class Param {
public:
    constexpr Param() noexcept : value_(T{}) {}
    constexpr Param(T v) noexcept : value_(v) {} // NOLINT: implicit on purpose
    Param(const Param& other) noexcept : value_(other.get()) {}
    Param& operator=(const Param& other) noexcept
    {
        set(other.get());
        return *this;
    }
    Param& operator=(T v) noexcept
    {
        set(v);
        return *this;
    }

    T get() const noexcept { return value_.load(std::memory_order_relaxed); }
    void set(T v) noexcept { value_.store(v, std::memory_order_relaxed); }
    operator T() const noexcept { return get(); } // NOLINT: reads like the plain value

private:
    std::atomic<T> value_;
};

} // namespace stravik
