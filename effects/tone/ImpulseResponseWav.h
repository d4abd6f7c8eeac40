#pragma once
// Impulse responses from WAV files. The file itself is opened and walked by
// the engine's WAV reader, which the amp receives through WaveFileSource (the
// effects never reach up into the engine); this unit decodes the sample
// formats a response may come in and mixes the channels down to one.
//
// Formats read (anything else is refused with a message):
//   PCM 16 bit                     value / 32768
//   PCM 24 bit in 3 bytes          value / 8388608
//   PCM 24 bit in 4-byte frames    the 32-bit value / 8388608
//   PCM 32 bit                     value / 2147483648
//   float 32 bit                   as stored
// Two channels are averaged (each scaled, halved and added); files with more
// channels are averaged over all of them. At most kMaxFrames frames are read.
#include <cstddef>
#include <cstdint>
#include <string>

namespace stravik {
class UserMessages;
}

namespace stravik::effects {

// What the RIFF header says about the samples.
struct WaveLayout {
    int formatTag = 1; // 1 PCM, 3 float
    int channels = 1;
    int sampleRate = 0;
    int blockAlign = 0; // bytes per frame
    int bitsPerSample = 16;
    int64_t frames = 0;
};

// A WAV file opened for reading (the engine's WavReader behind it).
class WaveFileSource {
public:
    // System error numbers of a failed open.
    static constexpr int kNotFound = 2;
    static constexpr int kBadFormat = 11;

    virtual ~WaveFileSource() = default;
    // Opens path and positions at the first sample: 0, or the system error
    // (kNotFound, kBadFormat or another).
    virtual int open(const std::string& path, WaveLayout& layout) = 0;
    // Reads up to bytes of sample data; the count read (short at the end).
    virtual size_t read(void* dst, size_t bytes) = 0;
    virtual void close() = 0;
};

enum class WaveResponseError {
    None,
    NotFound,          // "Error opening impulse file!\n '%s' not found."
    Corrupted,         // "Error opening impulse file! Unknown format or file corrupted."
    OtherOpenError,    // the reader failed for another reason: no message
    FormatUnsupported, // "IR WAVE format not supported!"
    DepthUnsupported,  // "Unsupported bpp format!"
};

struct WaveResponse {
    int sampleRate = 0;
    int length = 0; // samples written
    WaveResponseError error = WaveResponseError::None;
};

inline constexpr int kMaxResponseFrames = 32000;

// Reads the response in path into out (room for maxFrames doubles, at most
// kMaxResponseFrames are used), showing the message for every failure. The
// raw file bytes pass through raw (rawBytes of room, at least 65535). On a
// failure out may hold part of the file: load into a staging buffer.
WaveResponse readWaveResponse(WaveFileSource& source, const std::string& path, double* out, int maxFrames,
                              uint8_t* raw, size_t rawBytes, UserMessages& messages);

// Decodes count frames of raw sample bytes in the given layout into mono
// doubles (the layout must already have been accepted by readWaveResponse's
// checks: checkWaveLayout returns None). Returns false when a sample is not a
// finite number.
bool decodeWaveFrames(const WaveLayout& layout, const uint8_t* bytes, int count, double* out);

// Whether a layout is one of the readable formats (None) or why not.
WaveResponseError checkWaveLayout(const WaveLayout& layout);

} // namespace stravik::effects
