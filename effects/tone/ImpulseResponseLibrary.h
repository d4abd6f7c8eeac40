#pragma once
// The built-in impulse-response library: a zip archive compiled into the
// program (made at build time by assets/ir/make_ir_library), read from memory
// with minizip. Its members are the responses in list order; each one holds a
// code, a display name, a sample rate and float samples
// (ImpulseResponseFormat.h).
//
// The table of names and codes is read once, when the library is opened;
// a member's samples are unpacked whenever a response is loaded. Every
// unpack opens the archive afresh (from memory, which is cheap), so loads on
// different threads never share a reader.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace stravik {
class UserMessages;
}

namespace stravik::effects {

// The archive compiled into the program.
std::span<const uint8_t> builtInIrArchive();

// One unpacked response, straight from the library (not yet converted or cut).
struct UnpackedResponse {
    int code = 0;
    int sampleRate = 0;
    int sampleCount = 0;  // samples written to the caller's buffer
    int storedCount = 0;  // samples the member holds
};

class ImpulseResponseLibrary {
public:
    // The scratch area a member is unpacked into.
    static constexpr size_t kScratchBytes = 256000;

    struct Entry {
        int code = 0;
        std::string name;
        int sampleRate = 0;
        int sampleCount = 0;
    };

    ImpulseResponseLibrary() = default;

    // Reads the table of the archive in memory (the bytes must outlive this
    // object). "Unpacking runtime error!" when the archive cannot be read at
    // all; "Unpack error: %x" with minizip's error number when a member
    // cannot be read, and the table then ends before that member. False in
    // both cases.
    bool open(std::span<const uint8_t> archive, UserMessages& messages);

    // The program's library, opened on first use (messages hear its errors).
    static const ImpulseResponseLibrary& builtIn(UserMessages& messages);

    int count() const { return static_cast<int>(entries_.size()); }
    const Entry& entry(int index) const { return entries_[static_cast<size_t>(index)]; }
    int code(int index) const { return index >= 0 && index < count() ? entry(index).code : -1; }
    std::string name(int index) const { return index >= 0 && index < count() ? entry(index).name : std::string(); }
    // The first entry with this code, or -1.
    int indexOfCode(int code) const;

    // Unpacks member index into scratch (kScratchBytes) and converts up to
    // maxSamples of its samples into out. False (nothing usable in out) when
    // the index is outside the table, the member cannot be read or is larger
    // than the scratch area, or its contents are not a response.
    bool unpack(int index, uint8_t* scratch, double* out, int maxSamples, UnpackedResponse& info) const;

private:
    std::span<const uint8_t> archive_;
    std::vector<Entry> entries_;
    // Where each member's entry sits in the archive's directory (minizip's
    // position and file number), so an unpack goes straight to it.
    std::vector<uint64_t> directoryOffsets_;
    std::vector<uint64_t> fileNumbers_;
};

} // namespace stravik::effects
