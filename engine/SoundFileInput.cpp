#include "engine/SoundFileInput.h"

#include "dsp/RegularFile.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace stravik {
namespace {

// Frames decoded at a time.
constexpr sf_count_t kDecodeFrames = 4096;

uint32_t le32(const unsigned char* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

// libsndfile reads a WAV file whose data chunk claims more than the file
// holds as if it were complete (only its log says otherwise). A recording
// cut off by a full disk or a broken copy should not be reamped as if
// nothing were missing, so the data chunk's size is checked here. 0 when the
// file is whole (or no RIFF WAVE file, or its size is the "unknown" of a
// stream), else the bytes the chunk claims.
uint64_t truncatedWavClaim(int fd, int64_t fileSize)
{
    unsigned char h[12];
    if (::pread(fd, h, sizeof(h), 0) != static_cast<ssize_t>(sizeof(h))) return 0;
    if (std::memcmp(h, "RIFF", 4) != 0 || std::memcmp(h + 8, "WAVE", 4) != 0) return 0;
    // Every step moves on by at least 8 bytes: the walk ends with the file.
    for (int64_t chunk = 12; chunk + 8 <= fileSize;) {
        unsigned char c[8];
        if (::pread(fd, c, sizeof(c), chunk) != static_cast<ssize_t>(sizeof(c))) return 0;
        const uint32_t size = le32(c + 4);
        if (std::memcmp(c, "data", 4) == 0) {
            if (size == 0xFFFFFFFFu) return 0;
            return static_cast<int64_t>(size) > fileSize - (chunk + 8) ? size : 0;
        }
        chunk += 8 + static_cast<int64_t>(size) + (size & 1);
    }
    return 0;
}

std::string formatName(int format)
{
    SF_FORMAT_INFO info{};
    info.format = format;
    if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof(info)) != 0 || !info.name) return "unknown";
    return info.name;
}

} // namespace

SoundFileInput::~SoundFileInput() { close(); }

void SoundFileInput::close()
{
    if (file_) sf_close(file_);
    file_ = nullptr;
}

bool SoundFileInput::open(const std::string& path, int channel, std::string& error)
{
    close();
    path_ = path;
    error_.clear();
    const auto fail = [&](const std::string& why) {
        error = "'" + path + "': " + why;
        close();
        return false;
    };
    std::string why;
    std::FILE* f = openRegularFile(path, &why);
    if (!f) return fail(why);
    struct stat st {};
    const int fd = ::dup(fileno(f));
    const bool examined = ::fstat(fileno(f), &st) == 0;
    std::fclose(f);
    if (fd < 0 || !examined) {
        if (fd >= 0) ::close(fd);
        return fail("cannot be read");
    }
    if (const uint64_t claim = truncatedWavClaim(fd, st.st_size)) {
        ::close(fd);
        return fail("truncated: its data chunk claims " + std::to_string(claim) + " bytes, the file ends after " +
                    std::to_string(st.st_size) + " bytes in all");
    }
    SF_INFO info{};
    file_ = sf_open_fd(fd, SFM_READ, &info, SF_TRUE); // closes fd, also on failure
    if (!file_) return fail(std::string("not a recording this program can read (") + sf_strerror(nullptr) + ")");
    if (info.channels < 1 || info.samplerate < 1 || info.frames < 1)
        return fail(info.frames < 1 ? "holds no samples" : "not a recording this program can read");
    channels_ = info.channels;
    fileRate_ = info.samplerate;
    // Some streams do not tell their length (libsndfile's "as long as it
    // goes"): they are read to their end, without a truncation check.
    fileFrames_ = info.frames == SF_COUNT_MAX ? kUnknownLength : info.frames;
    encoding_ = formatName(info.format & SF_FORMAT_SUBMASK) + ", " + formatName(info.format & SF_FORMAT_TYPEMASK);
    if (channel < 0 || channel > channels_)
        return fail("has " + std::to_string(channels_) + (channels_ == 1 ? " channel" : " channels") +
                    ": there is no channel " + std::to_string(channel));
    channel_ = channel;
    rate_ = fileRate_;
    converting_ = false;
    decodedFrames_ = 0;
    delivered_ = 0;
    fileEnded_ = false;
    pending_.clear();
    pendingAt_ = 0;
    return true;
}

bool SoundFileInput::convertTo(int rate, std::string& error)
{
    converting_ = false;
    rate_ = fileRate_;
    if (rate <= 0 || rate == fileRate_) return true;
    if (!converter_.setup(fileRate_, rate, 1, error)) {
        error = "'" + path_ + "': " + error;
        return false;
    }
    converting_ = true;
    rate_ = rate;
    return true;
}

int64_t SoundFileInput::frames() const
{
    if (!converting_ || fileFrames_ == kUnknownLength) return fileFrames_;
    return static_cast<int64_t>(std::llround(static_cast<double>(fileFrames_) * converter_.ratio()));
}

bool SoundFileInput::decodeMore()
{
    if (!file_ || fileEnded_ || failed()) return false;
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(pendingAt_));
    pendingAt_ = 0;
    raw_.resize(static_cast<size_t>(kDecodeFrames) * static_cast<size_t>(channels_));
    const sf_count_t got = sf_readf_double(file_, raw_.data(), kDecodeFrames);
    if (got < kDecodeFrames) {
        fileEnded_ = true;
        if (sf_error(file_) != SF_ERR_NO_ERROR) {
            error_ = "'" + path_ + "': truncated or damaged: it cannot be read to the end (" + sf_strerror(file_) + ")";
            return false;
        }
        if (fileFrames_ != kUnknownLength && decodedFrames_ + got < fileFrames_) {
            error_ = "'" + path_ + "': truncated or damaged: it ends after " + std::to_string(decodedFrames_ + got) +
                     " of its " + std::to_string(fileFrames_) + " frames";
            return false;
        }
    }
    decodedFrames_ += got;
    mono_.resize(static_cast<size_t>(got));
    const size_t stride = static_cast<size_t>(channels_);
    for (size_t i = 0; i < mono_.size(); ++i) {
        const double* frame = raw_.data() + i * stride;
        double x;
        if (channel_ != kAverageOfFirstTwo)
            x = frame[channel_ - 1];
        else
            x = channels_ > 1 ? (frame[0] + frame[1]) / 2.0 : frame[0];
        // A float recording may hold anything: nothing beyond full scale
        // (what a 16-bit recording could carry), and no NaN that would stay
        // in the chain's filters for good.
        if (!std::isfinite(x)) x = 0.0;
        mono_[i] = std::clamp(x, -1.0, 1.0);
    }
    if (!converting_) {
        pending_.insert(pending_.end(), mono_.begin(), mono_.end());
    } else {
        const bool ok = converter_.push(mono_.data(), mono_.size(), pending_) && (!fileEnded_ || converter_.finish(pending_));
        if (!ok) {
            error_ = "'" + path_ + "': " + converter_.error();
            return false;
        }
    }
    return true;
}

size_t SoundFileInput::read(double* dst, size_t n)
{
    size_t done = 0;
    while (done < n) {
        if (pendingAt_ == pending_.size() && !decodeMore()) break;
        const size_t take = std::min(n - done, pending_.size() - pendingAt_);
        std::copy_n(pending_.begin() + static_cast<std::ptrdiff_t>(pendingAt_), take, dst + done);
        pendingAt_ += take;
        done += take;
    }
    delivered_ += static_cast<int64_t>(done);
    return done;
}

} // namespace stravik
