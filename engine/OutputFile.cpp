#include "engine/OutputFile.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace stravik {
namespace {

constexpr size_t kStreamBuffer = 64 * 1024;

// Follows symbolic links that end at no file to the name where they end,
// which is where that file is to be made. False for a loop or a link that
// cannot be read.
bool followDanglingLinks(std::string& path)
{
    namespace fs = std::filesystem;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
        std::error_code ec;
        fs::path target = fs::read_symlink(path, ec);
        if (ec) return false;
        if (target.is_relative()) target = fs::path(path).parent_path() / target;
        path = target.string();
    }
    return false;
}

void put16(unsigned char* p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}

void put32(unsigned char* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

} // namespace

// ---- where the file goes

std::FILE* OutputPath::create(const std::string& path)
{
    target_ = path;
    temporary_.clear();
    seekable_ = true;
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    if (!exists && errno != ENOENT) return nullptr;
    if (exists && !S_ISREG(st.st_mode)) {
        if (!S_ISFIFO(st.st_mode) && !S_ISCHR(st.st_mode)) return nullptr; // a folder, a disk
        // Nothing to replace: the stream goes straight into the FIFO (which
        // waits here for its reader) or the device.
        const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) return nullptr;
        std::FILE* f = ::fdopen(fd, "wb");
        if (!f) ::close(fd);
        seekable_ = false;
        return f;
    }
    if (exists) {
        // The file that is there, at the end of any links: it is the one
        // replaced, and the temporary file goes beside it so that the rename
        // stays on its file system.
        char* real = ::realpath(path.c_str(), nullptr);
        if (!real) return nullptr;
        target_ = real;
        std::free(real);
    } else if (!followDanglingLinks(target_)) {
        return nullptr;
    }
    const mode_t mode = exists ? (st.st_mode & 0777) : 0666;
    const std::string base = OutputFile::partialName(target_);
    for (int n = 0; n < 1000; ++n) {
        const std::string name = n == 0 ? base : base + "." + std::to_string(n);
        // Always a file of our own making: O_EXCL refuses a name that is
        // taken, even by a link.
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, mode);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return nullptr;
        }
        // open() applied the umask; a replaced file keeps exactly its bits.
        if (exists) ::fchmod(fd, mode);
        std::FILE* f = ::fdopen(fd, "wb");
        if (!f) {
            ::close(fd);
            ::unlink(name.c_str());
            return nullptr;
        }
        temporary_ = name;
        return f;
    }
    return nullptr;
}

bool OutputPath::commit()
{
    if (temporary_.empty()) return true;
    const bool ok = std::rename(temporary_.c_str(), target_.c_str()) == 0;
    if (!ok) std::remove(temporary_.c_str());
    temporary_.clear();
    return ok;
}

void OutputPath::discard()
{
    if (!temporary_.empty()) std::remove(temporary_.c_str());
    temporary_.clear();
}

// ---- the file

OutputFile::~OutputFile() { abandon(); }

bool OutputFile::open(const std::string& path, SampleEncoding encoding, int channels, int rate)
{
    abandon();
    file_ = path_.create(path);
    if (!file_) return false;
    buffer_ = static_cast<char*>(std::malloc(kStreamBuffer));
    if (buffer_) std::setvbuf(file_, buffer_, _IOFBF, kStreamBuffer);
    encoding_ = encoding;
    bytesPerValue_ = encoding == SampleEncoding::Pcm16 ? 2 : encoding == SampleEncoding::Pcm24 ? 3 : 4;
    const uint32_t align = static_cast<uint32_t>(bytesPerValue_ * channels);

    // Sizes all ones ("unknown") until the file is closed. Float samples
    // are no PCM: their format chunk carries the (empty) extension size and
    // a fact chunk follows with the number of frames, as readers expect of
    // every format but PCM.
    const bool isFloat = encoding == SampleEncoding::Float32;
    unsigned char h[kFloatHeaderBytes] = {};
    size_t at = 0;
    const auto id = [&](const char* four) {
        std::memcpy(h + at, four, 4);
        at += 4;
    };
    const auto u32 = [&](uint32_t v) {
        put32(h + at, v);
        at += 4;
    };
    const auto u16 = [&](uint32_t v) {
        put16(h + at, v);
        at += 2;
    };
    id("RIFF");
    u32(0xFFFFFFFFu);
    id("WAVE");
    id("fmt ");
    u32(isFloat ? 18 : 16);
    u16(isFloat ? 3 : 1);
    u16(static_cast<uint32_t>(channels));
    u32(static_cast<uint32_t>(rate));
    u32(static_cast<uint32_t>(rate) * align);
    u16(align);
    u16(static_cast<uint32_t>(8 * bytesPerValue_));
    factAt_ = 0;
    if (isFloat) {
        u16(0);
        id("fact");
        u32(4);
        factAt_ = static_cast<long>(at);
        u32(0xFFFFFFFFu);
    }
    id("data");
    sizeAt_ = static_cast<long>(at);
    u32(0xFFFFFFFFu);
    headerBytes_ = at;
    frameBytes_ = align;
    // The RIFF size counts everything after its own 8 bytes.
    const uint64_t maxData = 0xFFFFFFFEu - (headerBytes_ - 8);
    fileLimit_ = std::min(limit_, maxData) / align * align;
    dataBytes_ = 0;
    full_ = false;
    failed_ = std::fwrite(h, 1, headerBytes_, file_) != headerBytes_;
    return true;
}

void OutputFile::write(const unsigned char* bytes, size_t count)
{
    const uint64_t room = fileLimit_ - dataBytes_;
    if (count > room) {
        // The limit is a whole number of frames: the frames that fit go in.
        count = static_cast<size_t>(room);
        full_ = true;
    }
    if (count == 0) return;
    const size_t written = std::fwrite(bytes, 1, count, file_);
    if (written != count) failed_ = true;
    dataBytes_ += written;
}

void OutputFile::append(const int16_t* values, size_t count)
{
    assert(encoding_ == SampleEncoding::Pcm16 && "16-bit values go into 16-bit files");
    if (!file_) return;
    const size_t perPass = sizeof(scratch_) / 2;
    for (size_t i = 0; i < count && !full_; i += perPass) {
        const size_t n = std::min(count - i, perPass);
        for (size_t k = 0; k < n; ++k) put16(scratch_ + 2 * k, static_cast<uint16_t>(values[i + k]));
        write(scratch_, 2 * n);
    }
}

void OutputFile::append(const double* steps, size_t count)
{
    if (!file_) return;
    const size_t width = static_cast<size_t>(bytesPerValue_);
    const size_t perPass = sizeof(scratch_) / width;
    for (size_t i = 0; i < count && !full_; i += perPass) {
        const size_t n = std::min(count - i, perPass);
        unsigned char* p = scratch_;
        for (size_t k = 0; k < n; ++k, p += width) {
            double v = steps[i + k];
            if (!std::isfinite(v)) v = 0.0;
            switch (encoding_) {
            case SampleEncoding::Pcm16:
                put16(p, static_cast<uint16_t>(static_cast<int16_t>(std::lround(std::clamp(v, -32767.0, 32767.0)))));
                break;
            case SampleEncoding::Pcm24: {
                // A 16-bit step is 256 steps of 24 bits.
                const long s = std::lround(std::clamp(v * 256.0, -8388607.0, 8388607.0));
                p[0] = static_cast<unsigned char>(s);
                p[1] = static_cast<unsigned char>(s >> 8);
                p[2] = static_cast<unsigned char>(s >> 16);
                break;
            }
            case SampleEncoding::Float32: {
                const float f = static_cast<float>(v / 32768.0);
                uint32_t bits;
                std::memcpy(&bits, &f, 4);
                put32(p, bits);
                break;
            }
            }
        }
        write(scratch_, n * width);
    }
}

bool OutputFile::closeStream()
{
    bool ok = true;
    if (path_.seekable()) {
        unsigned char v[4];
        const auto patch = [&](long at, uint64_t value) {
            put32(v, static_cast<uint32_t>(value));
            return std::fseek(file_, at, SEEK_SET) == 0 && std::fwrite(v, 1, 4, file_) == 4;
        };
        ok = patch(4, dataBytes_ + headerBytes_ - 8) && patch(sizeAt_, dataBytes_);
        if (factAt_ > 0) ok = patch(factAt_, dataBytes_ / frameBytes_) && ok;
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

bool OutputFile::close()
{
    if (!file_) return false;
    if (!closeStream()) {
        path_.discard();
        return false;
    }
    return path_.commit();
}

void OutputFile::abandon()
{
    if (!file_) return;
    closeStream();
    path_.discard();
}

} // namespace stravik
