#pragma once
// An output device that keeps what it is given, for tests. Storage is
// reserved up front so that writing does not allocate until it is full.
#include "engine/OutputDevice.h"

#include <cstring>
#include <mutex>
#include <vector>

namespace stravik {

class MemoryOutputDevice final : public OutputDevice {
public:
    explicit MemoryOutputDevice(size_t reserveSamples = 1 << 20) { samples_.reserve(reserveSamples); }

    void writeLive(const int16_t* s, int bytes) override { append(s, bytes, false); }
    void writeFileInput(const int16_t* s, int bytes) override { append(s, bytes, true); }
    void waitForRoom(const std::atomic<bool>&) override
    {
        std::lock_guard lock(mutex_);
        ++waits_;
    }
    int bufferBytes() const override { return bufferBytes_; }
    void setBufferBytes(int b) { bufferBytes_ = b; }

    std::vector<int16_t> samples() const
    {
        std::lock_guard lock(mutex_);
        return samples_;
    }
    int liveWrites() const
    {
        std::lock_guard lock(mutex_);
        return liveWrites_;
    }
    int fileInputWrites() const
    {
        std::lock_guard lock(mutex_);
        return fileWrites_;
    }
    int waits() const
    {
        std::lock_guard lock(mutex_);
        return waits_;
    }
    std::vector<int> writeSizes() const
    {
        std::lock_guard lock(mutex_);
        return sizes_;
    }
    void clear()
    {
        std::lock_guard lock(mutex_);
        samples_.clear();
        sizes_.clear();
        liveWrites_ = fileWrites_ = waits_ = 0;
    }

private:
    void append(const int16_t* s, int bytes, bool fileInput)
    {
        std::lock_guard lock(mutex_);
        samples_.insert(samples_.end(), s, s + bytes / 2);
        sizes_.push_back(bytes);
        (fileInput ? fileWrites_ : liveWrites_)++;
    }

    mutable std::mutex mutex_;
    std::vector<int16_t> samples_;
    std::vector<int> sizes_;
    int liveWrites_ = 0, fileWrites_ = 0, waits_ = 0;
    int bufferBytes_ = 0;
};

} // namespace stravik
