#pragma once
// Test helpers: a temporary directory that cleans up after itself, and WAV
// files built byte by byte (so that malformed ones can be made too).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace testfiles {

class TempDir {
public:
    TempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "stravik-test-XXXXXX").string();
        char* made = mkdtemp(pattern.data());
        path_ = made ? made : "";
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

inline void put16(std::vector<uint8_t>& b, uint16_t v)
{
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
inline void put32(std::vector<uint8_t>& b, uint32_t v)
{
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void putId(std::vector<uint8_t>& b, const char* id)
{
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(id[i]));
}

struct WavRecipe {
    int rate = 48000;
    int channels = 1;
    int bits = 16;
    int formatTag = 1;
    int blockAlign = -1; // -1: channels * bits / 8
    // Chunks inserted between "fmt " and "data": id and payload.
    std::vector<std::pair<std::string, std::vector<uint8_t>>> extraChunks;
    int64_t dataSizeOverride = -1; // write this data size instead of the real one
};

// A WAV file image with the given sample bytes.
inline std::vector<uint8_t> wavBytes(const WavRecipe& s, const std::vector<uint8_t>& data)
{
    std::vector<uint8_t> b;
    const int align = s.blockAlign >= 0 ? s.blockAlign : s.channels * s.bits / 8;
    putId(b, "RIFF");
    put32(b, 0); // patched below
    putId(b, "WAVE");
    putId(b, "fmt ");
    put32(b, 16);
    put16(b, static_cast<uint16_t>(s.formatTag));
    put16(b, static_cast<uint16_t>(s.channels));
    put32(b, static_cast<uint32_t>(s.rate));
    put32(b, static_cast<uint32_t>(s.rate * align));
    put16(b, static_cast<uint16_t>(align));
    put16(b, static_cast<uint16_t>(s.bits));
    for (const auto& [id, payload] : s.extraChunks) {
        putId(b, id.c_str());
        put32(b, static_cast<uint32_t>(payload.size()));
        b.insert(b.end(), payload.begin(), payload.end());
        if (payload.size() & 1) b.push_back(0); // RIFF pads chunks to even sizes
    }
    putId(b, "data");
    put32(b, static_cast<uint32_t>(s.dataSizeOverride >= 0 ? s.dataSizeOverride : static_cast<int64_t>(data.size())));
    b.insert(b.end(), data.begin(), data.end());
    const uint32_t riff = static_cast<uint32_t>(b.size() - 8);
    for (int i = 0; i < 4; ++i) b[4 + i] = static_cast<uint8_t>(riff >> (8 * i));
    return b;
}

inline std::vector<uint8_t> pcm16Bytes(const std::vector<int16_t>& samples)
{
    std::vector<uint8_t> d;
    for (int16_t v : samples) put16(d, static_cast<uint16_t>(v));
    return d;
}

inline void writeFile(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<uint8_t> readFile(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// A 16-bit PCM file with these samples (interleaved when channels is 2).
inline void writeWav(const std::string& path, const std::vector<int16_t>& samples, int rate = 48000, int channels = 1)
{
    WavRecipe s;
    s.rate = rate;
    s.channels = channels;
    writeFile(path, wavBytes(s, pcm16Bytes(samples)));
}

// The 16-bit samples of a file written by the program (data from byte 44).
inline std::vector<int16_t> readSamples(const std::string& path)
{
    const std::vector<uint8_t> b = readFile(path);
    std::vector<int16_t> s;
    for (size_t i = 44; i + 1 < b.size(); i += 2) s.push_back(static_cast<int16_t>(b[i] | (b[i + 1] << 8)));
    return s;
}

inline uint32_t get32(const std::vector<uint8_t>& b, size_t at)
{
    return static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8)
           | (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
inline uint16_t get16(const std::vector<uint8_t>& b, size_t at)
{
    return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}

} // namespace testfiles
