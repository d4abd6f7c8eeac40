#pragma once
// A stream of interleaved frames from one sample rate to another with
// libsamplerate's best sinc converter, for render and tune: recordings made
// at rates the chain does not run at, and renders delivered at the project's
// rate. Not for the audio path: it allocates as the stream grows.
//
// The converter keeps the signal in time (its first output is the first
// input's instant) and holds back what its filter still needs; finish()
// lets out the rest.
#include <string>
#include <vector>

typedef struct SRC_STATE_tag SRC_STATE;

namespace stravik {

class RateConverter {
public:
    RateConverter() = default;
    ~RateConverter();
    RateConverter(const RateConverter&) = delete;
    RateConverter& operator=(const RateConverter&) = delete;

    // False with the reason when the rates are out of the converter's range
    // (a ratio beyond 256 either way) or it cannot be made.
    bool setup(int fromRate, int toRate, int channels, std::string& error);

    // Converts frames interleaved frames and appends what comes out to out.
    // False when the converter reports an error (error() says which).
    bool push(const double* in, size_t frames, std::vector<double>& out);
    // The end of the stream: appends the frames still held back.
    bool finish(std::vector<double>& out);

    double ratio() const { return ratio_; }
    const std::string& error() const { return error_; }

private:
    bool run(const float* in, size_t frames, bool end, std::vector<double>& out);

    SRC_STATE* state_ = nullptr;
    int channels_ = 1;
    double ratio_ = 1.0;
    std::vector<float> in_;
    std::vector<float> out_;
    std::string error_;
};

} // namespace stravik
