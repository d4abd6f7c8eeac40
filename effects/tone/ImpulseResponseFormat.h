#pragma once
// The layout of one member of the impulse-response library archive, shared by
// the generator that writes the library at build time and the reader in the
// program. Everything is little-endian:
//
//   offset 0   "SIR1"                      magic
//   offset 4   uint32 code                 the entry's code (kept by presets)
//   offset 8   uint32 sample rate          Hz
//   offset 12  uint32 sample count
//   offset 16  uint32 name length          bytes, at most kMaxNameBytes
//   offset 20  name                        UTF-8, not terminated
//   then       sample count float32 values
//
// The members of the archive are the entries of the list, in list order.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace stravik::effects::irformat {

inline constexpr char kMagic[4] = {'S', 'I', 'R', '1'};
inline constexpr size_t kHeaderBytes = 20;
inline constexpr uint32_t kMaxNameBytes = 200;
// The entry that runs no cabinet convolution, and its code.
inline constexpr int kNoCabinetIndex = 40;
inline constexpr int kNoCabinetCode = 0;

inline uint32_t readU32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16)
           | (static_cast<uint32_t>(p[3]) << 24);
}

inline void appendU32(std::vector<uint8_t>& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

struct MemberHeader {
    int code = 0;
    int sampleRate = 0;
    int sampleCount = 0;
    std::string name;
    size_t samplesOffset = 0; // where the float32 values start
};

// Decodes the header at the start of a member of size bytes (the whole member
// or at least its header and name). False when the bytes are not a member.
inline bool parseHeader(const uint8_t* data, size_t size, MemberHeader& out)
{
    if (size < kHeaderBytes || std::memcmp(data, kMagic, 4) != 0) return false;
    const uint32_t nameBytes = readU32(data + 16);
    if (nameBytes > kMaxNameBytes || size < kHeaderBytes + nameBytes) return false;
    const uint32_t count = readU32(data + 12);
    if (count > 0x7FFFFFFFu / 4) return false;
    out.code = static_cast<int>(readU32(data + 4));
    out.sampleRate = static_cast<int>(readU32(data + 8) & 0x7FFFFFFFu);
    out.sampleCount = static_cast<int>(count);
    out.name.assign(reinterpret_cast<const char*>(data + kHeaderBytes), nameBytes);
    out.samplesOffset = kHeaderBytes + nameBytes;
    return true;
}

// Sample i of a member whose header was parsed from data.
inline float sampleAt(const uint8_t* data, const MemberHeader& h, int i)
{
    const uint32_t bits = readU32(data + h.samplesOffset + 4 * static_cast<size_t>(i));
    float v;
    std::memcpy(&v, &bits, sizeof(v));
    return v;
}

// The bytes of a member (used by the generator and by tests).
inline std::vector<uint8_t> encodeMember(int code, int sampleRate, const std::string& name, const float* samples,
                                         int count)
{
    std::vector<uint8_t> out(kMagic, kMagic + 4);
    appendU32(out, static_cast<uint32_t>(code));
    appendU32(out, static_cast<uint32_t>(sampleRate));
    appendU32(out, static_cast<uint32_t>(count));
    const std::string n = name.substr(0, kMaxNameBytes);
    appendU32(out, static_cast<uint32_t>(n.size()));
    out.insert(out.end(), n.begin(), n.end());
    for (int i = 0; i < count; ++i) {
        uint32_t bits;
        std::memcpy(&bits, &samples[i], sizeof(bits));
        appendU32(out, bits);
    }
    return out;
}

} // namespace stravik::effects::irformat
