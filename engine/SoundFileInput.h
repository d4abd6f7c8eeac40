#pragma once
// A recording of any common kind (WAV in every usual encoding, FLAC, AIFF,
// and whatever else libsndfile reads) as one channel of doubles at the rate
// asked for: what `korvex render` feeds the chain and `korvex tune` the
// tuner. Full scale is +-1.0, so a 16-bit sample s reads as exactly
// s / 32768, as the chain's own input conversion has it, and 24-bit or float
// recordings keep every bit they have.
//
// Only regular files are opened (a FIFO or a device would block or never
// end). A file whose header promises more than it holds, or whose decoding
// stops early, is reported as truncated rather than read as if it were
// complete. Every message names the file.
//
// Not for the audio path: reading and converting allocate.
#include "engine/RateConverter.h"

#include <cstdint>
#include <string>
#include <vector>

typedef struct sf_private_tag SNDFILE;

namespace stravik {

class SoundFileInput {
public:
    // The channel argument of open(): the average of the first two channels
    // (of a mono file, its one channel).
    static constexpr int kAverageOfFirstTwo = 0;
    // The length of a stream that does not tell it.
    static constexpr int64_t kUnknownLength = -1;

    SoundFileInput() = default;
    ~SoundFileInput();
    SoundFileInput(const SoundFileInput&) = delete;
    SoundFileInput& operator=(const SoundFileInput&) = delete;

    // Opens path and picks channel (1 = the first) or kAverageOfFirstTwo.
    // False with the reason in error, which names the file.
    bool open(const std::string& path, int channel, std::string& error);
    void close();

    // From here on read() delivers samples at rate (converted when the file
    // has another rate). False with the reason for a rate the converter
    // cannot reach.
    bool convertTo(int rate, std::string& error);

    int fileRate() const { return fileRate_; }
    int channels() const { return channels_; }
    int64_t fileFrames() const { return fileFrames_; } // or kUnknownLength
    // A few words on the encoding ("24-bit PCM", "32-bit float", ...).
    const std::string& encoding() const { return encoding_; }

    // The rate read() delivers, and how many samples it will deliver (exact
    // without conversion, within a sample or two with it; kUnknownLength
    // when the file does not tell).
    int rate() const { return rate_; }
    int64_t frames() const;

    // Reads up to n samples; fewer only at the end of the recording or when
    // reading failed (failed() then says so, and error() why).
    size_t read(double* dst, size_t n);
    // Samples delivered so far.
    int64_t position() const { return delivered_; }
    bool failed() const { return !error_.empty(); }
    const std::string& error() const { return error_; }

private:
    // Decodes the next piece of the file into pending_; false at the end or
    // on a failure.
    bool decodeMore();

    SNDFILE* file_ = nullptr;
    std::string path_;
    int channel_ = kAverageOfFirstTwo;
    int channels_ = 1;
    int fileRate_ = 0;
    int rate_ = 0;
    int64_t fileFrames_ = 0;
    int64_t decodedFrames_ = 0;
    int64_t delivered_ = 0;
    bool fileEnded_ = false;
    std::string encoding_;
    std::string error_;
    bool converting_ = false;
    RateConverter converter_;
    std::vector<double> raw_;     // interleaved frames as decoded
    std::vector<double> mono_;    // the chosen channel of them
    std::vector<double> pending_; // samples ready for read()
    size_t pendingAt_ = 0;
};

} // namespace stravik
