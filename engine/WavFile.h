#pragma once
// WAV files: a writer for 16-bit output and a reader that finds the sample
// data of any RIFF WAVE file and describes its format.
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace stravik {

// The 16 bytes of a format chunk: how the samples are laid out.
struct WavFormat {
    uint16_t formatTag = 1; // 1 PCM, 3 float
    uint16_t channels = 1;
    uint32_t sampleRate = 48000;
    uint32_t byteRate = 96000;
    uint16_t blockAlign = 2;
    uint16_t bitsPerSample = 16;

    static WavFormat pcm16(int channels, int sampleRate);
};

// Writes the 44-byte header first (with the sizes unknown) and the sizes
// when closed.
//
// The sizes are 32-bit and the RIFF size counts 36 header bytes besides the
// data, so a file holds a little under 4 GiB of samples (6.2 hours of 48 kHz
// stereo). The writer stops there, at a whole frame, rather than let the
// sizes wrap round: what it was given beyond that is not written, and
// reachedLimit() says so.
class WavWriter {
public:
    // One below the 32-bit maximum: all ones is the "unknown" size of a file
    // still being written.
    static constexpr uint64_t kMaxRiffSize = 0xFFFFFFFEu;
    static constexpr uint64_t kMaxDataBytes = kMaxRiffSize - 36;

    WavWriter() = default;
    ~WavWriter(); // closes (writing the sizes) if still open
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    // Creates path for writing; bufferBytes > 0 gives the stream a buffer of
    // that size. False when the file cannot be created.
    bool create(const std::string& path, const WavFormat& format, size_t bufferBytes = 0);
    // Writes into a stream the caller opened for writing; close() closes it.
    // seekable false: the stream cannot go back (a FIFO, a device), so
    // close() leaves the header's sizes "unknown". False for no stream.
    bool start(std::FILE* stream, const WavFormat& format, size_t bufferBytes, bool seekable);
    // Appends raw sample bytes (16-bit values are written little-endian), as
    // far as the size limit allows.
    void append(const int16_t* samples, size_t count);
    // Writes the sizes and closes. False when any write failed on the way.
    bool close();
    bool isOpen() const { return file_ != nullptr; }
    uint32_t dataBytes() const { return dataBytes_; }

    // Lowers the size limit for the next file (whole frames are kept below
    // it), so that tests reach it without writing gigabytes.
    void limitDataBytes(uint64_t bytes) { limit_ = bytes < kMaxDataBytes ? bytes : kMaxDataBytes; }
    // Samples were refused because the file was full.
    bool reachedLimit() const { return full_; }

private:
    std::FILE* file_ = nullptr;
    char* buffer_ = nullptr;
    uint32_t dataBytes_ = 0;
    uint64_t limit_ = kMaxDataBytes;
    uint32_t fileLimit_ = 0; // limit_ in whole frames of the open file
    bool seekable_ = true;
    bool failed_ = false;
    bool full_ = false;
};

// Why an open failed, as system error numbers: 2 the file cannot be opened
// (missing, not readable, or no regular file: a folder, a FIFO, a device),
// 11 the file is not a readable WAV file.
enum WavError : int { kWavOk = 0, kWavNotFound = 2, kWavBadFormat = 11 };

// Reads the sample data block by block. The data chunk is found by walking
// the chunks from the start of the file; the format is the 16 bytes at offset
// 20 (where the format chunk of every common writer puts it), or those of a
// "fmt " chunk found later in the walk. Positions are counted from the start
// of the sample data, wherever that is in the file.
class WavReader {
public:
    WavReader() = default;
    ~WavReader();
    WavReader(const WavReader&) = delete;
    WavReader& operator=(const WavReader&) = delete;

    // Opens path and positions at the first sample. On failure returns the
    // error (kWavNotFound or kWavBadFormat) and leaves the reader closed;
    // why (may be null) then receives the reason a file could not be opened
    // ("No such file or directory", "not a regular file", ...).
    WavError open(const std::string& path, size_t bufferBytes = 0, std::string* why = nullptr);
    void close();
    bool isOpen() const { return file_ != nullptr; }

    const WavFormat& format() const { return format_; }
    // Frames in the data chunk, or in the file when the file is shorter than
    // its data chunk claims (an unfinished recording, a truncated copy).
    int64_t frames() const { return frames_; }
    // Byte offset of the sample data in the file.
    int64_t dataOffset() const { return dataOffset_; }

    // Reads up to bytes; returns the number read (short at the end of data).
    size_t read(void* dst, size_t bytes);
    // Positions at byteOffset bytes into the sample data.
    bool seek(int64_t byteOffset);

private:
    std::FILE* file_ = nullptr;
    char* buffer_ = nullptr;
    WavFormat format_;
    int64_t frames_ = 0;
    int64_t dataOffset_ = 0;
    int64_t dataBytes_ = 0;
    int64_t position_ = 0; // bytes into the data
};

} // namespace stravik
