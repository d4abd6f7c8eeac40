#include "effects/tone/ImpulseResponseLibrary.h"

#include "dsp/UserMessages.h"
#include "effects/tone/ImpulseResponseFormat.h"

#include <minizip/unzip.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace stravik::effects {

namespace generated {
// From the generated sources in the build tree (assets/ir/make_ir_library).
extern const unsigned char kIrLibraryArchive[];
extern const std::size_t kIrLibraryArchiveSize;
} // namespace generated

std::span<const uint8_t> builtInIrArchive()
{
    return {generated::kIrLibraryArchive, generated::kIrLibraryArchiveSize};
}

namespace {

// minizip reads the archive through these: a stream over bytes in memory.
struct MemoryStream {
    const uint8_t* data;
    uint64_t size;
    uint64_t pos;
};

voidpf ZCALLBACK memoryOpen(voidpf opaque, const void* /*name*/, int mode)
{
    if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ) return nullptr;
    const auto* bytes = static_cast<const std::span<const uint8_t>*>(opaque);
    return new MemoryStream{bytes->data(), bytes->size(), 0};
}

uLong ZCALLBACK memoryRead(voidpf /*opaque*/, voidpf stream, void* buf, uLong size)
{
    auto* s = static_cast<MemoryStream*>(stream);
    const uint64_t left = s->pos < s->size ? s->size - s->pos : 0;
    const uint64_t n = std::min<uint64_t>(size, left);
    if (n > 0) std::memcpy(buf, s->data + s->pos, static_cast<size_t>(n));
    s->pos += n;
    return static_cast<uLong>(n);
}

uLong ZCALLBACK memoryWrite(voidpf, voidpf, const void*, uLong) { return 0; }

ZPOS64_T ZCALLBACK memoryTell(voidpf /*opaque*/, voidpf stream) { return static_cast<MemoryStream*>(stream)->pos; }

long ZCALLBACK memorySeek(voidpf /*opaque*/, voidpf stream, ZPOS64_T offset, int origin)
{
    auto* s = static_cast<MemoryStream*>(stream);
    uint64_t base = 0;
    switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET: base = 0; break;
    case ZLIB_FILEFUNC_SEEK_CUR: base = s->pos; break;
    case ZLIB_FILEFUNC_SEEK_END: base = s->size; break;
    default: return -1;
    }
    if (offset > s->size || base > s->size - offset) return -1; // never past the end
    s->pos = base + offset;
    return 0;
}

int ZCALLBACK memoryClose(voidpf /*opaque*/, voidpf stream)
{
    delete static_cast<MemoryStream*>(stream);
    return 0;
}

int ZCALLBACK memoryError(voidpf, voidpf) { return 0; }

// An open archive, closed when it goes out of scope.
class Archive {
public:
    explicit Archive(std::span<const uint8_t> bytes) : bytes_(bytes)
    {
        if (bytes_.empty()) return;
        zlib_filefunc64_def io{};
        io.zopen64_file = memoryOpen;
        io.zread_file = memoryRead;
        io.zwrite_file = memoryWrite;
        io.ztell64_file = memoryTell;
        io.zseek64_file = memorySeek;
        io.zclose_file = memoryClose;
        io.zerror_file = memoryError;
        io.opaque = &bytes_;
        file_ = unzOpen2_64("ir-library", &io);
    }
    ~Archive()
    {
        if (file_) unzClose(file_);
    }
    Archive(const Archive&) = delete;
    Archive& operator=(const Archive&) = delete;
    unzFile get() const { return file_; }

private:
    std::span<const uint8_t> bytes_; // the stream's opaque points here
    unzFile file_ = nullptr;
};

// Reads the current member's first bytes (up to size); the count read, or
// minizip's (negative) error.
int readMemberStart(unzFile f, uint8_t* buf, unsigned size)
{
    int r = unzOpenCurrentFile(f);
    if (r != UNZ_OK) return r;
    int total = 0;
    while (static_cast<unsigned>(total) < size) {
        const int got = unzReadCurrentFile(f, buf + total, size - static_cast<unsigned>(total));
        if (got < 0) {
            unzCloseCurrentFile(f);
            return got;
        }
        if (got == 0) break;
        total += got;
    }
    r = unzCloseCurrentFile(f);
    // A partly read member is not checked against its CRC; a whole one is.
    return r == UNZ_OK ? total : r;
}

} // namespace

bool ImpulseResponseLibrary::open(std::span<const uint8_t> archive, UserMessages& messages)
{
    archive_ = archive;
    entries_.clear();
    directoryOffsets_.clear();
    fileNumbers_.clear();
    Archive a(archive);
    unz_global_info64 global{};
    if (!a.get() || unzGetGlobalInfo64(a.get(), &global) != UNZ_OK) {
        messages.show("Unpacking runtime error!", {}, MessageIcon::Error);
        return false;
    }
    uint8_t head[irformat::kHeaderBytes + irformat::kMaxNameBytes];
    int r = unzGoToFirstFile(a.get());
    for (uint64_t i = 0; i < global.number_entry && r != UNZ_END_OF_LIST_OF_FILE; ++i) {
        int error = r;
        unz64_file_pos pos{};
        unz_file_info64 info{};
        irformat::MemberHeader h;
        if (error == UNZ_OK) error = unzGetFilePos64(a.get(), &pos);
        if (error == UNZ_OK) error = unzGetCurrentFileInfo64(a.get(), &info, nullptr, 0, nullptr, 0, nullptr, 0);
        if (error == UNZ_OK) {
            const int got = readMemberStart(a.get(), head, sizeof(head));
            if (got < 0)
                error = got;
            else if (!irformat::parseHeader(head, static_cast<size_t>(got), h) || h.sampleRate <= 0
                     || h.sampleCount <= 0
                     || info.uncompressed_size != h.samplesOffset + 4 * static_cast<uint64_t>(h.sampleCount))
                error = UNZ_BADZIPFILE; // readable, but not a response
        }
        if (error != UNZ_OK) {
            char text[64];
            std::snprintf(text, sizeof(text), "Unpack error: %x", static_cast<unsigned>(error));
            messages.show(text, {}, MessageIcon::Error);
            return false;
        }
        entries_.push_back({h.code, h.name, h.sampleRate, h.sampleCount});
        directoryOffsets_.push_back(pos.pos_in_zip_directory);
        fileNumbers_.push_back(pos.num_of_file);
        r = unzGoToNextFile(a.get());
    }
    return true;
}

const ImpulseResponseLibrary& ImpulseResponseLibrary::builtIn(UserMessages& messages)
{
    static const ImpulseResponseLibrary library = [&] {
        ImpulseResponseLibrary l;
        l.open(builtInIrArchive(), messages);
        return l;
    }();
    return library;
}

int ImpulseResponseLibrary::indexOfCode(int code) const
{
    for (int i = 0; i < count(); ++i)
        if (entries_[static_cast<size_t>(i)].code == code) return i;
    return -1;
}

bool ImpulseResponseLibrary::unpack(int index, uint8_t* scratch, double* out, int maxSamples,
                                    UnpackedResponse& info) const
{
    info = {};
    if (index < 0 || index >= count() || maxSamples <= 0) return false;
    Archive a(archive_);
    if (!a.get()) return false;
    unz64_file_pos pos{directoryOffsets_[static_cast<size_t>(index)], fileNumbers_[static_cast<size_t>(index)]};
    unz_file_info64 fileInfo{};
    if (unzGoToFilePos64(a.get(), &pos) != UNZ_OK
        || unzGetCurrentFileInfo64(a.get(), &fileInfo, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK
        || fileInfo.uncompressed_size > kScratchBytes)
        return false;
    const int got = readMemberStart(a.get(), scratch, static_cast<unsigned>(kScratchBytes));
    if (got < 0 || static_cast<uint64_t>(got) != fileInfo.uncompressed_size) return false;
    irformat::MemberHeader h;
    if (!irformat::parseHeader(scratch, static_cast<size_t>(got), h) || h.sampleRate <= 0 || h.sampleCount <= 0
        || h.samplesOffset + 4 * static_cast<uint64_t>(h.sampleCount) > static_cast<uint64_t>(got))
        return false;
    const int n = std::min(h.sampleCount, maxSamples);
    for (int i = 0; i < n; ++i) {
        const double v = irformat::sampleAt(scratch, h, i);
        if (!std::isfinite(v)) return false; // one such sample would poison the convolution for good
        out[i] = v;
    }
    info.code = h.code;
    info.sampleRate = h.sampleRate;
    info.sampleCount = n;
    info.storedCount = h.sampleCount;
    return true;
}

} // namespace stravik::effects
