#pragma once
// The output file of a render: a WAV file of 16-bit, 24-bit or 32-bit float
// samples, made under the same rules as the Files role's output file:
//
//  - it is written under a temporary name (OUT.partial, or OUT.partial.1, .2,
//    ... when that name is taken by a file that is not ours) and gets its
//    real name only when complete, so a failed or interrupted render never
//    leaves a half-written file, nor spoils an older one;
//  - a symbolic link is followed to the file it names, which is replaced
//    (keeping its permission bits) while the link stays;
//  - a FIFO or a character device (/dev/null) is not replaced: the WAV
//    stream goes straight into it, its sizes left "unknown" in the header;
//  - a folder or a block device cannot be an output file;
//  - the 32-bit sizes of the format end a file a little under 4 GiB: the
//    writer stops there at a whole frame and says so.
//
// 16 and 24-bit files have the 44-byte header of the Files role's writer
// (format tag 1, PCM); float files (format tag 3) a 58-byte one with the
// fact chunk that formats other than PCM carry.
#include <cstdint>
#include <cstdio>
#include <string>

namespace stravik {

enum class SampleEncoding { Pcm16, Pcm24, Float32 };

// Where an output file goes, apart from what is written into it: the
// temporary name, the links, FIFOs and devices of the rules above.
class OutputPath {
public:
    // Opens the stream to write path into. nullptr when it cannot be.
    std::FILE* create(const std::string& path);
    // False for a FIFO or a device: the stream cannot go back to the header.
    bool seekable() const { return seekable_; }
    // Where the file is written until it is complete ("" when in place).
    const std::string& temporary() const { return temporary_; }
    // After the stream was closed: gives the file its real name. False when
    // that fails; the temporary file is then removed.
    bool commit();
    // Removes the temporary file.
    void discard();

private:
    std::string target_;    // the file the recording ends up in
    std::string temporary_; // where it is written until then
    bool seekable_ = true;
};

class OutputFile {
public:
    static constexpr uint64_t kMaxDataBytes = 0xFFFFFFFEu - 36;
    static constexpr size_t kFloatHeaderBytes = 58;

    OutputFile() = default;
    ~OutputFile(); // abandons a file still open
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Opens path (see above) and writes the header. False when the file
    // cannot be made.
    bool open(const std::string& path, SampleEncoding encoding, int channels, int rate);

    // Appends count values: 16-bit ones to a 16-bit file as they are, or
    // values in 16-bit steps (full scale 32768) to a file of any encoding,
    // which keep whatever lies between two steps in 24 bits and float and
    // are rounded to the nearest step in 16 bits.
    void append(const int16_t* values, size_t count);
    void append(const double* steps, size_t count);

    // The file is full (see above): what was given beyond it is not written.
    bool reachedLimit() const { return full_; }
    // Lowers the size limit for the next file, so that tests reach it.
    void limitDataBytes(uint64_t bytes) { limit_ = bytes < kMaxDataBytes ? bytes : kMaxDataBytes; }

    // Writes the sizes and gives the file its name. False when a write failed
    // on the way or the name could not be given (the temporary file is then
    // removed).
    bool close();
    // Closes and throws the file away (an older file of that name stays).
    void abandon();

    bool isOpen() const { return file_ != nullptr; }
    // Where the file is written until it is complete ("" when in place).
    const std::string& temporary() const { return path_.temporary(); }
    static std::string partialName(const std::string& path) { return path + ".partial"; }

private:
    void write(const unsigned char* bytes, size_t count);
    // Writes the sizes (when the stream can go back) and closes the stream.
    bool closeStream();

    OutputPath path_;
    std::FILE* file_ = nullptr;
    char* buffer_ = nullptr;
    SampleEncoding encoding_ = SampleEncoding::Pcm16;
    int bytesPerValue_ = 2;
    size_t headerBytes_ = 44;
    uint32_t frameBytes_ = 2;
    long sizeAt_ = 40; // where the data chunk's size is
    long factAt_ = 0;  // where the fact chunk's frame count is (0: none)
    uint64_t limit_ = kMaxDataBytes;
    uint64_t fileLimit_ = 0; // limit_ in whole frames of the open file
    uint64_t dataBytes_ = 0;
    bool failed_ = false;
    bool full_ = false;
    unsigned char scratch_[8192];
};

} // namespace stravik
