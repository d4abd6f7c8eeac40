#include "engine/WavFile.h"

#include "dsp/RegularFile.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace stravik {
namespace {

void put16(unsigned char* p, uint16_t v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}

void put32(unsigned char* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

uint16_t get16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t get32(const unsigned char* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16)
           | (static_cast<uint32_t>(p[3]) << 24);
}

// The header as first written: sizes unknown (all ones) until the file closes.
const unsigned char kTemplate[44] = {'R', 'I', 'F', 'F', 0xFF, 0xFF, 0xFF, 0xFF, 'W', 'A', 'V', 'E',
                                     'f', 'm', 't', ' ', 16,   0,    0,    0,    1,   0,   1,   0,
                                     0x44, 0xAC, 0, 0, 0x88, 0x58, 0x01, 0, 2,   0,   16,  0,
                                     'd', 'a', 't', 'a', 0xFF, 0xFF, 0xFF, 0xFF};

void encodeFormat(unsigned char* p, const WavFormat& f)
{
    put16(p + 0, f.formatTag);
    put16(p + 2, f.channels);
    put32(p + 4, f.sampleRate);
    put32(p + 8, f.byteRate);
    put16(p + 12, f.blockAlign);
    put16(p + 14, f.bitsPerSample);
}

WavFormat decodeFormat(const unsigned char* p)
{
    WavFormat f;
    f.formatTag = get16(p + 0);
    f.channels = get16(p + 2);
    f.sampleRate = get32(p + 4);
    f.byteRate = get32(p + 8);
    f.blockAlign = get16(p + 12);
    f.bitsPerSample = get16(p + 14);
    return f;
}

// The chunk headers of a file, read through a window of it: one read serves
// every header inside the window, so that a file of many small chunks costs
// a read per window rather than one per chunk.
class ChunkWindow {
public:
    ChunkWindow(int fd, int64_t fileSize) : fd_(fd), fileSize_(fileSize) {}

    // The n bytes (at most the window's size) at pos; nullptr when the file
    // ends before them or cannot be read.
    const unsigned char* at(int64_t pos, size_t n)
    {
        const auto count = static_cast<int64_t>(n);
        if (pos < 0 || pos + count > fileSize_) return nullptr;
        if (start_ < 0 || pos < start_ || pos + count > start_ + length_) {
            const ssize_t got = ::pread(fd_, bytes_, sizeof(bytes_), static_cast<off_t>(pos));
            if (got < count) {
                start_ = -1;
                return nullptr;
            }
            start_ = pos;
            length_ = got;
        }
        return bytes_ + (pos - start_);
    }

private:
    int fd_;
    int64_t fileSize_;
    int64_t start_ = -1;
    int64_t length_ = 0;
    unsigned char bytes_[4096];
};

} // namespace

WavFormat WavFormat::pcm16(int channels, int sampleRate)
{
    WavFormat f;
    f.formatTag = 1;
    f.channels = static_cast<uint16_t>(channels);
    f.sampleRate = static_cast<uint32_t>(sampleRate);
    f.blockAlign = static_cast<uint16_t>(2 * channels);
    f.byteRate = f.blockAlign * f.sampleRate;
    f.bitsPerSample = 16;
    return f;
}

// ---- writer

WavWriter::~WavWriter()
{
    if (file_) close();
}

bool WavWriter::create(const std::string& path, const WavFormat& format, size_t bufferBytes)
{
    if (file_) close();
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    return start(f, format, bufferBytes, true);
}

bool WavWriter::start(std::FILE* stream, const WavFormat& format, size_t bufferBytes, bool seekable)
{
    if (file_) close();
    file_ = stream;
    if (!file_) return false;
    seekable_ = seekable;
    if (bufferBytes > 0) {
        buffer_ = static_cast<char*>(std::malloc(bufferBytes));
        if (buffer_) std::setvbuf(file_, buffer_, _IOFBF, bufferBytes);
    }
    unsigned char header[44];
    std::memcpy(header, kTemplate, sizeof(header));
    encodeFormat(header + 20, format);
    dataBytes_ = 0;
    full_ = false;
    const uint64_t align = std::max<uint64_t>(format.blockAlign, 2);
    fileLimit_ = static_cast<uint32_t>(limit_ / align * align);
    failed_ = std::fwrite(header, 1, sizeof(header), file_) != sizeof(header);
    return true;
}

void WavWriter::append(const int16_t* samples, size_t count)
{
    if (!file_ || count == 0) return;
    const size_t room = (fileLimit_ - dataBytes_) / 2;
    if (count > room) {
        // The limit is a whole number of frames: the frames that fit go in.
        count = room;
        full_ = true;
        if (count == 0) return;
    }
    size_t written;
    if constexpr (std::endian::native == std::endian::little) {
        written = std::fwrite(samples, sizeof(int16_t), count, file_);
    } else {
        written = 0;
        for (size_t i = 0; i < count; ++i) {
            unsigned char b[2];
            put16(b, static_cast<uint16_t>(samples[i]));
            written += std::fwrite(b, 2, 1, file_);
        }
    }
    if (written != count) failed_ = true;
    dataBytes_ += static_cast<uint32_t>(written * 2);
}

bool WavWriter::close()
{
    if (!file_) return false;
    bool ok = true;
    if (seekable_) {
        unsigned char v[4];
        put32(v, dataBytes_ + 36);
        ok = std::fseek(file_, 4, SEEK_SET) == 0 && std::fwrite(v, 1, 4, file_) == 4;
        put32(v, dataBytes_);
        ok = ok && std::fseek(file_, 40, SEEK_SET) == 0 && std::fwrite(v, 1, 4, file_) == 4;
    } else {
        // What went into a FIFO or a device has gone; the header that went
        // first keeps its "unknown" sizes, which readers of a stream take as
        // "until the end".
        ok = std::fflush(file_) == 0;
    }
    ok = std::fclose(file_) == 0 && ok && !failed_;
    file_ = nullptr;
    std::free(buffer_);
    buffer_ = nullptr;
    return ok;
}

// ---- reader

WavReader::~WavReader() { close(); }

void WavReader::close()
{
    if (file_) std::fclose(file_);
    file_ = nullptr;
    std::free(buffer_);
    buffer_ = nullptr;
}

WavError WavReader::open(const std::string& path, size_t bufferBytes, std::string* why)
{
    close();
    // Regular files only: a FIFO would keep us waiting here for a writer,
    // /dev/zero would never end.
    std::FILE* f = openRegularFile(path, why);
    if (!f) return kWavNotFound;
    const auto fail = [&] {
        std::fclose(f);
        return kWavBadFormat;
    };
    struct stat st {};
    if (fstat(fileno(f), &st) != 0) return fail();
    const int64_t fileSize = st.st_size;

    unsigned char header[44];
    if (std::fread(header, 1, sizeof(header), f) != sizeof(header)) return fail();
    format_ = decodeFormat(header + 20);

    // Walk the chunks that follow the RIFF header ("fmt ", "LIST", ...) to
    // the data chunk. Chunks are padded to an even size. Every step moves at
    // least 8 bytes on, so the walk ends at the end of the file whatever the
    // sizes say: a hostile file costs no more than reading it through.
    ChunkWindow window(fileno(f), fileSize);
    int64_t chunk = 12;
    int64_t dataBytes = -1;
    while (chunk + 8 <= fileSize) {
        const unsigned char* ch = window.at(chunk, 8);
        if (!ch) break;
        const uint32_t size = get32(ch + 4);
        if (std::memcmp(ch, "fmt ", 4) == 0 && size >= 16 && chunk != 12) {
            // A format chunk that is not the first chunk (after a "JUNK"
            // chunk, say) is where the format really is.
            if (const unsigned char* fmt = window.at(chunk, 24)) format_ = decodeFormat(fmt + 8);
            ch = window.at(chunk, 8);
        }
        if (std::memcmp(ch, "data", 4) == 0) {
            dataBytes = size;
            dataOffset_ = chunk + 8;
            break;
        }
        chunk += 8 + static_cast<int64_t>(size) + (size & 1);
    }
    if (dataBytes <= 0 || format_.blockAlign == 0) return fail();
    // Never believe a data size beyond the end of the file.
    if (dataBytes > fileSize - dataOffset_) dataBytes = fileSize - dataOffset_;
    frames_ = dataBytes / format_.blockAlign;
    if (frames_ <= 0) return fail();
    dataBytes_ = frames_ * format_.blockAlign;
    if (std::fseek(f, static_cast<long>(dataOffset_), SEEK_SET) != 0) return fail();
    file_ = f;
    position_ = 0;
    if (bufferBytes > 0) {
        buffer_ = static_cast<char*>(std::malloc(bufferBytes));
        if (buffer_) std::setvbuf(file_, buffer_, _IOFBF, bufferBytes);
    }
    return kWavOk;
}

size_t WavReader::read(void* dst, size_t bytes)
{
    if (!file_) return 0;
    const int64_t left = dataBytes_ - position_;
    if (left <= 0) return 0;
    if (static_cast<int64_t>(bytes) > left) bytes = static_cast<size_t>(left);
    const size_t got = std::fread(dst, 1, bytes, file_);
    position_ += static_cast<int64_t>(got);
    if constexpr (std::endian::native != std::endian::little) {
        auto* p = static_cast<unsigned char*>(dst);
        for (size_t i = 0; i + 1 < got; i += 2) std::swap(p[i], p[i + 1]);
    }
    return got;
}

bool WavReader::seek(int64_t byteOffset)
{
    if (!file_ || byteOffset < 0) return false;
    if (byteOffset > dataBytes_) byteOffset = dataBytes_;
    if (std::fseek(file_, static_cast<long>(dataOffset_ + byteOffset), SEEK_SET) != 0) return false;
    position_ = byteOffset;
    return true;
}

} // namespace stravik
