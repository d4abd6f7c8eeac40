#include "engine/RateConverter.h"

#include <samplerate.h>

namespace stravik {
namespace {

// Output room per call, in frames: the converter is called again until it
// has taken all of its input.
constexpr size_t kOutFrames = 8192;

} // namespace

RateConverter::~RateConverter()
{
    if (state_) src_delete(state_);
}

bool RateConverter::setup(int fromRate, int toRate, int channels, std::string& error)
{
    if (state_) state_ = src_delete(state_);
    if (fromRate <= 0 || toRate <= 0 || channels < 1) {
        error = "no sample rate conversion from " + std::to_string(fromRate) + " Hz to " + std::to_string(toRate) + " Hz";
        return false;
    }
    ratio_ = static_cast<double>(toRate) / fromRate;
    if (!src_is_valid_ratio(ratio_)) {
        error = "cannot convert " + std::to_string(fromRate) + " Hz to " + std::to_string(toRate) +
                " Hz (at most a factor of 256 either way)";
        return false;
    }
    int code = 0;
    state_ = src_new(SRC_SINC_BEST_QUALITY, channels, &code);
    if (!state_) {
        error = std::string("sample rate converter: ") + src_strerror(code);
        return false;
    }
    channels_ = channels;
    out_.resize(kOutFrames * static_cast<size_t>(channels));
    return true;
}

bool RateConverter::push(const double* in, size_t frames, std::vector<double>& out)
{
    // libsamplerate works on floats: 24 bits of mantissa, as much as the best
    // recordings carry.
    in_.resize(frames * static_cast<size_t>(channels_));
    for (size_t i = 0; i < in_.size(); ++i) in_[i] = static_cast<float>(in[i]);
    return run(in_.data(), frames, false, out);
}

bool RateConverter::finish(std::vector<double>& out)
{
    // No input, but a real pointer: given none, libsamplerate keeps the tail.
    static const float kNothing = 0.0f;
    return run(&kNothing, 0, true, out);
}

bool RateConverter::run(const float* in, size_t frames, bool end, std::vector<double>& out)
{
    if (!state_) return false;
    SRC_DATA d{};
    d.src_ratio = ratio_;
    d.end_of_input = end ? 1 : 0;
    for (;;) {
        d.data_in = in;
        d.input_frames = static_cast<long>(frames);
        d.data_out = out_.data();
        d.output_frames = static_cast<long>(kOutFrames);
        if (const int code = src_process(state_, &d); code != 0) {
            error_ = std::string("sample rate converter: ") + src_strerror(code);
            return false;
        }
        const size_t made = static_cast<size_t>(d.output_frames_gen) * static_cast<size_t>(channels_);
        out.insert(out.end(), out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(made));
        const size_t used = static_cast<size_t>(d.input_frames_used);
        in += used * static_cast<size_t>(channels_);
        frames -= used;
        // Done when the input is taken and nothing more comes out (at the
        // end: the held-back tail is out).
        if (frames == 0 && d.output_frames_gen == 0) return true;
        if (frames == 0 && !end) return true;
        // Neither taken nor made: the converter wants no more now.
        if (used == 0 && d.output_frames_gen == 0) return true;
    }
}

} // namespace stravik
