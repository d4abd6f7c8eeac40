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

#include <mutex>
#include <string>

namespace stravik {

// A text setting (file names and the like) shared between the window and the
// threads that read it at the start of a run. Never touched by the audio path.
class TextParam {
public:
    TextParam() = default;
    TextParam(const char* v) : value_(v) {} // NOLINT: implicit on purpose
    TextParam(const TextParam& other) : value_(other.get()) {}
    TextParam& operator=(const TextParam& other)
    {
        set(other.get());
        return *this;
    }
    TextParam& operator=(const std::string& v)
    {
        set(v);
        return *this;
    }
    TextParam& operator=(const char* v)
    {
        set(v);
        return *this;
    }

    std::string get() const
    {
        std::lock_guard lock(mutex_);
        return value_;
    }
    void set(const std::string& v)
    {
        std::lock_guard lock(mutex_);
        value_ = v;
    }

private:
    mutable std::mutex mutex_;
    std::string value_;
};

} // namespace stravik
