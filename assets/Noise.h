#pragma once
// A small deterministic noise source for the generators: the same sequence
// on every machine and every build, so generated data never changes by itself.
#include <cstdint>

namespace stravik::assets {

class Noise {
public:
    explicit Noise(uint64_t seed) : state_(seed) {}
    // Uniform in [-1, 1).
    double next()
    {
        state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(state_ >> 11) / static_cast<double>(1ULL << 53) * 2.0 - 1.0;
    }

private:
    uint64_t state_;
};

} // namespace stravik::assets
