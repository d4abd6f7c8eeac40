// test-label: threads
// Impulse responses: the built-in library (its table, its members' level,
// shape and phase, damaged archives and their messages), WAV response files
// (every format of the table, channel mixing, the 32000-frame limit, every
// message, damaged files), and the cabinet convolver's loading (conversion to
// the processing rate, the 32000 cut, MaxPulseCnt and its reload, the level
// normalisation, failures that leave the response as it was) and its
// partitioned convolution against the direct form.
//
// WAV files are opened through the engine's own reader, as the amp receives
// it from the engine.
#include "effects/tone/CabinetConvolver.h"
#include "effects/tone/ImpulseResponseFormat.h"
#include "effects/tone/ImpulseResponseLevel.h"
#include "effects/tone/ImpulseResponseLibrary.h"
#include "effects/tone/ImpulseResponseWav.h"

#include "TestFiles.h"
#include "dsp/Fft.h"
#include "dsp/FirConvolver.h"
#include "dsp/RecordingMessages.h"
#include "engine/Engine.h"

#include <gtest/gtest.h>

#include <minizip/zip.h>
#include <samplerate.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <sys/stat.h>
#include <vector>

using namespace stravik;
using effects::CabinetConvolver;
using effects::ImpulseResponseLibrary;
namespace irformat = effects::irformat;

namespace {

// The engine's WAV reader as the amp gets it.
effects::WaveFileSource& waveFiles()
{
    static SilentMessages quiet;
    static std::unique_ptr<Engine> engine = std::make_unique<Engine>(quiet);
    return *engine->effects().ampUnit.waveFiles();
}

const ImpulseResponseLibrary& library()
{
    static SilentMessages quiet;
    return ImpulseResponseLibrary::builtIn(quiet);
}

std::vector<double> unpack(const ImpulseResponseLibrary& lib, int index)
{
    std::vector<uint8_t> scratch(ImpulseResponseLibrary::kScratchBytes);
    std::vector<double> out(64000);
    effects::UnpackedResponse info;
    if (!lib.unpack(index, scratch.data(), out.data(), static_cast<int>(out.size()), info)) return {};
    out.resize(static_cast<size_t>(info.sampleCount));
    return out;
}

double averageLevel(const std::vector<double>& h, int n, int fs)
{
    dsp::RealFft fft(effects::kLevelFftSize);
    return effects::averageMagnitude100To5k(h.data(), std::min<int>(n, static_cast<int>(h.size())), fs, fft);
}

// Magnitude of the response at f (direct DTFT).
double magnitudeAt(const std::vector<double>& h, double f, double fs)
{
    std::complex<double> s(0.0, 0.0);
    const std::complex<double> step = std::polar(1.0, -2.0 * M_PI * f / fs);
    std::complex<double> z(1.0, 0.0);
    for (double v : h) {
        s += v * z;
        z *= step;
    }
    return std::abs(s);
}

// The response's impulse response through the convolver (n outputs).
std::vector<double> impulseThrough(CabinetConvolver& c, int n)
{
    std::vector<double> out(static_cast<size_t>(n), 0.0);
    out[0] = 1.0;
    for (int i = 0; i < n; i += 128) c.process(out.data() + i, std::min(128, n - i));
    return out;
}

std::vector<double> prepared(const CabinetConvolver& c)
{
    std::vector<double> r(CabinetConvolver::kMaxResponse);
    r.resize(static_cast<size_t>(c.copyResponse(r.data(), static_cast<int>(r.size()))));
    return r;
}

// ---- zip archives built in the test

struct Member {
    std::string name;
    std::vector<uint8_t> bytes;
};

std::vector<uint8_t> makeArchive(const std::vector<Member>& members, bool stored = false)
{
    testfiles::TempDir dir;
    const std::string path = dir.file("lib.zip");
    zipFile zf = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
    EXPECT_NE(zf, nullptr);
    for (const Member& m : members) {
        zip_fileinfo info{};
        EXPECT_EQ(zipOpenNewFileInZip64(zf, m.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                        stored ? 0 : Z_DEFLATED, stored ? 0 : 6, 0),
                  ZIP_OK);
        EXPECT_EQ(zipWriteInFileInZip(zf, m.bytes.data(), static_cast<unsigned>(m.bytes.size())), ZIP_OK);
        EXPECT_EQ(zipCloseFileInZip(zf), ZIP_OK);
    }
    EXPECT_EQ(zipClose(zf, nullptr), ZIP_OK);
    return testfiles::readFile(path);
}

std::vector<uint8_t> member(int code, int rate, const std::string& name, int count, float scale = 0.5f)
{
    std::vector<float> s(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) s[static_cast<size_t>(i)] = scale * std::exp(-0.01f * i) * ((i % 3) - 1.0f);
    return irformat::encodeMember(code, rate, name, s.data(), count);
}

// ---- WAV files built byte by byte

std::vector<uint8_t> le(int64_t v, int bytes)
{
    std::vector<uint8_t> b;
    for (int i = 0; i < bytes; ++i) b.push_back(static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i)));
    return b;
}

std::vector<uint8_t> floatBytes(const std::vector<float>& v)
{
    std::vector<uint8_t> d;
    for (float f : v) {
        uint32_t u;
        std::memcpy(&u, &f, 4);
        testfiles::put32(d, u);
    }
    return d;
}

struct FileRig {
    testfiles::TempDir dir;
    RecordingMessages messages;
    std::vector<double> out = std::vector<double>(40000, -7.0);
    std::vector<uint8_t> raw = std::vector<uint8_t>(ImpulseResponseLibrary::kScratchBytes);

    std::string write(const testfiles::WavRecipe& layout, const std::vector<uint8_t>& data, const char* name = "ir.wav")
    {
        const std::string path = dir.file(name);
        testfiles::writeFile(path, testfiles::wavBytes(layout, data));
        return path;
    }
    effects::WaveResponse read(const std::string& path)
    {
        return effects::readWaveResponse(waveFiles(), path, out.data(), static_cast<int>(out.size()), raw.data(),
                                         raw.size(), messages);
    }
};

testfiles::WavRecipe layout(int tag, int channels, int bits, int rate = 48000, int blockAlign = -1)
{
    testfiles::WavRecipe s;
    s.formatTag = tag;
    s.channels = channels;
    s.bits = bits;
    s.rate = rate;
    s.blockAlign = blockAlign;
    return s;
}

void writeFloatWav(const std::string& path, const std::vector<float>& v, int rate, int channels = 1)
{
    testfiles::writeFile(path, testfiles::wavBytes(layout(3, channels, 32, rate), floatBytes(v)));
}

// A decaying tone: something with a clear frequency to follow through a
// rate conversion.
std::vector<float> decayingTone(int n, double hz, int rate, float amplitude)
{
    std::vector<float> v(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
        v[static_cast<size_t>(i)] =
            amplitude * static_cast<float>(std::exp(-3.0 * i / n) * std::sin(2.0 * M_PI * hz * i / rate));
    return v;
}

} // namespace

// ---------------------------------------------------------------- library

TEST(IrLibrary, BuiltInTableHasTheEntriesPresetsReferTo)
{
    RecordingMessages messages;
    ImpulseResponseLibrary lib;
    ASSERT_TRUE(lib.open(effects::builtInIrArchive(), messages));
    EXPECT_EQ(messages.count(), 0u);
    ASSERT_GE(lib.count(), 41);
    const int legacy[12] = {101, 102, 103, 104, 105, 201, 202, 301, 302, 401, 501, 502};
    for (int i = 0; i < 12; ++i) EXPECT_EQ(lib.code(i), legacy[i]) << i;
    EXPECT_EQ(lib.code(40), 0);
    EXPECT_EQ(lib.name(40), "No cabinet");
    std::set<int> codes, rates;
    std::set<std::string> names;
    for (int i = 0; i < lib.count(); ++i) {
        const auto& e = lib.entry(i);
        EXPECT_TRUE(codes.insert(e.code).second) << "code " << e.code << " twice";
        EXPECT_TRUE(names.insert(e.name).second) << e.name;
        EXPECT_FALSE(e.name.empty());
        rates.insert(e.sampleRate);
        EXPECT_TRUE(e.sampleRate == 44100 || e.sampleRate == 48000) << i;
        EXPECT_GE(e.sampleCount, 2000) << i;
        EXPECT_LE(e.sampleCount, 16000) << i;
        EXPECT_EQ(lib.indexOfCode(e.code), i);
    }
    EXPECT_EQ(rates.size(), 2u); // both rates, so the conversion is exercised
    EXPECT_EQ(lib.indexOfCode(12345), -1);
    EXPECT_EQ(lib.code(-1), -1);
    EXPECT_EQ(lib.code(lib.count()), -1);
    // The program's instance is the same table.
    EXPECT_EQ(library().count(), lib.count());
}

TEST(IrLibrary, MembersAreDarkMinimumPhaseResponsesAtUnitLevel)
{
    const ImpulseResponseLibrary& lib = library();
    dsp::ComplexFft fft(65536);
    for (int i = 0; i < lib.count(); ++i) {
        const auto& e = lib.entry(i);
        const std::vector<double> h = unpack(lib, i);
        ASSERT_EQ(static_cast<int>(h.size()), e.sampleCount) << i;
        if (i == 40) {
            // "No cabinet": a unit impulse.
            EXPECT_EQ(h[0], 1.0);
            for (size_t k = 1; k < h.size(); ++k) ASSERT_EQ(h[k], 0.0);
            continue;
        }
        for (double v : h) ASSERT_TRUE(std::isfinite(v)) << i;
        // Stored so that a response played at its own rate (not normalised
        // then) is as loud as a converted one (normalised).
        EXPECT_NEAR(averageLevel(h, e.sampleCount, e.sampleRate), 1.0, 1e-3) << e.name;
        // A cabinet: the top octaves well below the guitar's range.
        double top = 0.0;
        for (double f = 9000.0; f <= 13000.0; f += 500.0) top += magnitudeAt(h, f, e.sampleRate) / 9.0;
        EXPECT_LT(top, 0.5) << e.name;
        // Minimum phase: the response rebuilt from its own magnitude by the
        // real cepstrum (which gives the minimum-phase one) is the response.
        std::complex<double>* d = fft.data();
        for (int k = 0; k < 65536; ++k) d[k] = k < e.sampleCount ? h[static_cast<size_t>(k)] : 0.0;
        fft.forward();
        for (int k = 0; k < 65536; ++k) d[k] = std::log(std::max(std::abs(d[k]), 1e-9));
        fft.inverse();
        for (int k = 0; k < 65536; ++k) {
            const double c = d[k].real() / 65536;
            d[k] = (k == 0 || k == 32768) ? c : (k < 32768 ? 2.0 * c : 0.0);
        }
        fft.forward();
        for (int k = 0; k < 65536; ++k) d[k] = std::exp(d[k]);
        fft.inverse();
        double err = 0.0, energy = 0.0;
        for (int k = 0; k < e.sampleCount; ++k) {
            const double r = d[k].real() / 65536;
            err += (r - h[static_cast<size_t>(k)]) * (r - h[static_cast<size_t>(k)]);
            energy += h[static_cast<size_t>(k)] * h[static_cast<size_t>(k)];
        }
        EXPECT_LT(std::sqrt(err / energy), 0.05) << e.name;
        // A loudspeaker answers at once: the peak within the first 5 ms.
        const auto peak = std::max_element(h.begin(), h.end(), [](double a, double b) { return std::fabs(a) < std::fabs(b); });
        EXPECT_LT(peak - h.begin(), e.sampleRate / 200) << e.name;
    }
}

TEST(IrLibrary, UnpackRefusesIndexesOutsideTheTable)
{
    std::vector<uint8_t> scratch(ImpulseResponseLibrary::kScratchBytes);
    std::vector<double> out(100);
    effects::UnpackedResponse info;
    EXPECT_FALSE(library().unpack(-1, scratch.data(), out.data(), 100, info));
    EXPECT_FALSE(library().unpack(library().count(), scratch.data(), out.data(), 100, info));
    // A short buffer takes the first samples only.
    ASSERT_TRUE(library().unpack(3, scratch.data(), out.data(), 100, info));
    EXPECT_EQ(info.sampleCount, 100);
    EXPECT_EQ(info.storedCount, library().entry(3).sampleCount);
    EXPECT_EQ(out[5], unpack(library(), 3)[5]);
}

TEST(IrLibrary, AnArchiveThatCannotBeReadSaysSo)
{
    for (const std::vector<uint8_t>& bytes :
         {std::vector<uint8_t>{}, std::vector<uint8_t>(1000, 0x41), std::vector<uint8_t>{'P', 'K', 3, 4, 0, 0}}) {
        RecordingMessages messages;
        ImpulseResponseLibrary lib;
        EXPECT_FALSE(lib.open(bytes, messages));
        EXPECT_EQ(lib.count(), 0);
        EXPECT_EQ(messages.texts(), std::vector<std::string>{"Unpacking runtime error!"});
    }
    // The built-in archive without its central directory.
    const auto built = effects::builtInIrArchive();
    RecordingMessages messages;
    ImpulseResponseLibrary lib;
    EXPECT_FALSE(lib.open(built.first(built.size() - 2000), messages));
    EXPECT_EQ(messages.texts(), std::vector<std::string>{"Unpacking runtime error!"});
}

TEST(IrLibrary, AMemberThatIsNotAResponseEndsTheTableWithItsErrorNumber)
{
    std::vector<Member> members = {{"a", member(7, 48000, "first", 300)},
                                   {"b", member(8, 44100, "second", 200)},
                                   {"c", std::vector<uint8_t>(500, 0x33)},
                                   {"d", member(9, 48000, "fourth", 100)}};
    const std::vector<uint8_t> archive = makeArchive(members);
    RecordingMessages messages;
    ImpulseResponseLibrary lib;
    EXPECT_FALSE(lib.open(archive, messages));
    // UNZ_BADZIPFILE (-103), printed as %x prints it.
    EXPECT_EQ(messages.texts(), std::vector<std::string>{"Unpack error: ffffff99"});
    ASSERT_EQ(lib.count(), 2);
    EXPECT_EQ(lib.code(1), 8);
    EXPECT_EQ(lib.name(1), "second");
    EXPECT_EQ(lib.entry(1).sampleRate, 44100);
    EXPECT_EQ(lib.entry(1).sampleCount, 200);
    // A header that claims more samples than the member holds is no response either.
    std::vector<uint8_t> lying = member(10, 48000, "liar", 50);
    lying.resize(lying.size() - 4);
    RecordingMessages m2;
    ImpulseResponseLibrary lib2;
    EXPECT_FALSE(lib2.open(makeArchive({{"x", lying}}), m2));
    EXPECT_EQ(m2.texts(), std::vector<std::string>{"Unpack error: ffffff99"});
}

TEST(IrLibrary, AFailedUnpackShowsItsMessageAndKeepsTheOldResponse)
{
    // Stored members: flipping a sample byte keeps the header readable (the
    // table lists it) but fails the member's CRC when it is read whole.
    std::vector<Member> members = {{"a", member(1, 48000, "good", 400)}, {"b", member(2, 48000, "damaged", 400)}};
    std::vector<uint8_t> archive = makeArchive(members, true);
    const std::string name = "damaged";
    const auto at = std::search(archive.begin(), archive.end(), name.begin(), name.end());
    ASSERT_NE(at, archive.end());
    at[name.size() + 200] ^= 0x5A;
    // And a member larger than the 256000-byte unpack area.
    members.push_back({"c", member(3, 48000, "too big", 70000)});
    std::vector<uint8_t> big = makeArchive({members[2]});

    RecordingMessages messages;
    ImpulseResponseLibrary lib;
    ASSERT_TRUE(lib.open(archive, messages));
    ASSERT_EQ(lib.count(), 2);
    CabinetConvolver cab(messages);
    ASSERT_TRUE(cab.loadLibrary(lib, 0, 48000, 4000));
    const std::vector<double> before = prepared(cab);
    const std::vector<double> outBefore = impulseThrough(cab, 1024);
    messages.clear();
    EXPECT_FALSE(cab.loadLibrary(lib, 1, 48000, 4000));
    EXPECT_FALSE(cab.loadLibrary(lib, 2, 48000, 4000)); // not in the table
    EXPECT_EQ(messages.texts(), (std::vector<std::string>{"Runtime error unpacking!", "Runtime error unpacking!"}));
    EXPECT_EQ(cab.taps(), 400);
    EXPECT_EQ(prepared(cab), before);
    EXPECT_EQ(impulseThrough(cab, 1024), outBefore);

    ImpulseResponseLibrary bigLib;
    ASSERT_TRUE(bigLib.open(big, messages));
    ASSERT_EQ(bigLib.count(), 1);
    messages.clear();
    EXPECT_FALSE(cab.loadLibrary(bigLib, 0, 48000, 4000));
    EXPECT_EQ(messages.texts(), std::vector<std::string>{"Runtime error unpacking!"});
    EXPECT_EQ(prepared(cab), before);
}

// ---------------------------------------------------------------- WAV files

TEST(IrWav, ReadsEveryFormatOfTheTable)
{
    FileRig rig;
    struct Case {
        int tag, bits, align;
        std::vector<uint8_t> data;
        std::vector<double> want;
    };
    std::vector<Case> cases;
    {
        std::vector<uint8_t> d;
        for (int v : {16384, -32768, 1, 32767}) {
            auto b = le(v, 2);
            d.insert(d.end(), b.begin(), b.end());
        }
        cases.push_back({1, 16, 2, d, {0.5, -1.0, 1.0 / 32768, 32767.0 / 32768}});
    }
    {
        std::vector<uint8_t> d;
        for (int v : {4194304, -8388608, -1, 8388607}) {
            auto b = le(v, 3);
            d.insert(d.end(), b.begin(), b.end());
        }
        cases.push_back({1, 24, 3, d, {0.5, -1.0, -1.0 / 8388608, 8388607.0 / 8388608}});
    }
    {
        // 24 bits in 4-byte frames: the 32-bit value over 8388608.
        std::vector<uint8_t> d;
        for (int v : {4194304, -8388608, -2, 8388607}) {
            auto b = le(v, 4);
            d.insert(d.end(), b.begin(), b.end());
        }
        cases.push_back({1, 24, 4, d, {0.5, -1.0, -2.0 / 8388608, 8388607.0 / 8388608}});
    }
    {
        std::vector<uint8_t> d;
        for (int64_t v : {1073741824LL, -2147483648LL, -1LL, 2147483647LL}) {
            auto b = le(v, 4);
            d.insert(d.end(), b.begin(), b.end());
        }
        cases.push_back({1, 32, 4, d, {0.5, -1.0, -1.0 / 2147483648.0, 2147483647.0 / 2147483648.0}});
    }
    cases.push_back({3, 32, 4, floatBytes({0.25f, -1.5f, 3.0e-8f, 0.0f}), {0.25, -1.5, static_cast<double>(3.0e-8f), 0.0}});
    for (const Case& c : cases) {
        SCOPED_TRACE("format " + std::to_string(c.tag) + " bits " + std::to_string(c.bits) + " align " +
                     std::to_string(c.align));
        const auto r = rig.read(rig.write(layout(c.tag, 1, c.bits, 44100, c.align), c.data));
        ASSERT_EQ(r.error, effects::WaveResponseError::None);
        EXPECT_EQ(r.sampleRate, 44100);
        ASSERT_EQ(r.length, 4);
        for (int i = 0; i < 4; ++i) EXPECT_DOUBLE_EQ(rig.out[static_cast<size_t>(i)], c.want[static_cast<size_t>(i)]);
        EXPECT_EQ(rig.out[4], -7.0); // nothing beyond the file's frames
    }
    EXPECT_EQ(rig.messages.count(), 0u);
}

TEST(IrWav, ChannelsAreAveraged)
{
    FileRig rig;
    // Two channels, 16 bit: (L + R) / 2.
    std::vector<uint8_t> d;
    for (int v : {16384, -8192, -32768, -32768, 100, 300}) {
        auto b = le(v, 2);
        d.insert(d.end(), b.begin(), b.end());
    }
    auto r = rig.read(rig.write(layout(1, 2, 16), d));
    ASSERT_EQ(r.length, 3);
    EXPECT_DOUBLE_EQ(rig.out[0], 0.5 / 2 - 0.25 / 2);
    EXPECT_DOUBLE_EQ(rig.out[1], -1.0);
    EXPECT_DOUBLE_EQ(rig.out[2], 200.0 / 32768);
    // Two channels of floats, and of 24 bits in 4-byte frames.
    r = rig.read(rig.write(layout(3, 2, 32), floatBytes({1.0f, 0.0f, -0.5f, 0.25f}), "f.wav"));
    ASSERT_EQ(r.length, 2);
    EXPECT_DOUBLE_EQ(rig.out[0], 0.5);
    EXPECT_DOUBLE_EQ(rig.out[1], -0.125);
    d.clear();
    for (int v : {4194304, 0, -8388608, 8388607}) {
        auto b = le(v, 4);
        d.insert(d.end(), b.begin(), b.end());
    }
    r = rig.read(rig.write(layout(1, 2, 24, 48000, 8), d, "p.wav"));
    ASSERT_EQ(r.length, 2);
    EXPECT_DOUBLE_EQ(rig.out[0], 0.25);
    EXPECT_DOUBLE_EQ(rig.out[1], (-1.0 + 8388607.0 / 8388608) / 2);
    // Four channels: the mean of all four.
    r = rig.read(rig.write(layout(3, 4, 32), floatBytes({1.0f, 0.5f, 0.25f, 0.25f}), "q.wav"));
    ASSERT_EQ(r.length, 1);
    EXPECT_DOUBLE_EQ(rig.out[0], 0.5);
    EXPECT_EQ(rig.messages.count(), 0u);
}

TEST(IrWav, AtMost32000FramesAreRead)
{
    FileRig rig;
    std::vector<float> v(40000);
    for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<float>(i) / 65536.0f;
    writeFloatWav(rig.dir.file("long.wav"), v, 48000);
    const auto r = rig.read(rig.dir.file("long.wav"));
    ASSERT_EQ(r.length, 32000);
    EXPECT_EQ(rig.out[31999], 31999.0 / 65536.0);
    EXPECT_EQ(rig.out[32000], -7.0);
}

TEST(IrWav, EveryFailureHasItsMessage)
{
    FileRig rig;
    using E = effects::WaveResponseError;
    struct Case {
        std::string path;
        E error;
        std::string text; // "" for no message
    };
    const std::string missing = rig.dir.file("nowhere.wav");
    // A folder, a FIFO (without waiting for a writer) and an endless device
    // are files that cannot be opened.
    const std::string fifo = rig.dir.file("fifo.wav");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const auto cannotOpen = [](const std::string& path) {
        return "Error opening impulse file!\n '" + path + "' not found.";
    };
    std::vector<Case> cases = {
        {missing, E::NotFound, cannotOpen(missing)},
        {rig.dir.path(), E::NotFound, cannotOpen(rig.dir.path())},
        {fifo, E::NotFound, cannotOpen(fifo)},
        {"/dev/zero", E::NotFound, cannotOpen("/dev/zero")},
        {rig.write(layout(2, 1, 4, 48000, 256), std::vector<uint8_t>(512, 1), "adpcm.wav"), E::FormatUnsupported,
         "IR WAVE format not supported!"},
        {rig.write(layout(0xFFFE, 1, 16), std::vector<uint8_t>(64, 1), "ext.wav"), E::FormatUnsupported,
         "IR WAVE format not supported!"},
        {rig.write(layout(1, 1, 8), std::vector<uint8_t>(64, 1), "u8.wav"), E::DepthUnsupported, "Unsupported bpp format!"},
        {rig.write(layout(1, 1, 20, 48000, 3), std::vector<uint8_t>(63, 1), "b20.wav"), E::DepthUnsupported,
         "Unsupported bpp format!"},
        {rig.write(layout(3, 1, 64), std::vector<uint8_t>(64, 0), "f64.wav"), E::DepthUnsupported, "Unsupported bpp format!"},
        // A frame that cannot hold its channels, a rate of 0, a sample that is no number.
        {rig.write(layout(1, 2, 16, 48000, 3), std::vector<uint8_t>(60, 1), "align.wav"), E::Corrupted,
         "Error opening impulse file! Unknown format or file corrupted."},
        {rig.write(layout(1, 1, 16, 0), std::vector<uint8_t>(60, 1), "rate0.wav"), E::Corrupted,
         "Error opening impulse file! Unknown format or file corrupted."},
        {rig.write(layout(3, 1, 32), floatBytes({0.5f, std::nanf(""), 0.1f}), "nan.wav"), E::Corrupted,
         "Error opening impulse file! Unknown format or file corrupted."},
        {rig.write(layout(3, 1, 32), floatBytes({0.5f, INFINITY}), "inf.wav"), E::Corrupted,
         "Error opening impulse file! Unknown format or file corrupted."},
    };
    // No sample data at all; not a RIFF file.
    rig.write(layout(1, 1, 16), {}, "empty.wav");
    cases.push_back({rig.dir.file("empty.wav"), E::Corrupted, "Error opening impulse file! Unknown format or file corrupted."});
    testfiles::writeFile(rig.dir.file("text.wav"), std::vector<uint8_t>(100, 'x'));
    cases.push_back({rig.dir.file("text.wav"), E::Corrupted, "Error opening impulse file! Unknown format or file corrupted."});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        rig.messages.clear();
        const auto r = rig.read(c.path);
        EXPECT_EQ(r.error, c.error);
        EXPECT_EQ(r.length, 0);
        EXPECT_EQ(rig.messages.texts(), std::vector<std::string>{c.text});
    }
}

TEST(IrWav, OtherOpenFailuresShowNothing)
{
    // An open failure with another system error: no message, no response.
    struct Refusing final : effects::WaveFileSource {
        int open(const std::string&, effects::WaveLayout&) override { return 13; }
        size_t read(void*, size_t) override { return 0; }
        void close() override {}
    } refusing;
    RecordingMessages messages;
    std::vector<double> out(10);
    std::vector<uint8_t> raw(ImpulseResponseLibrary::kScratchBytes);
    const auto r = effects::readWaveResponse(refusing, "x.wav", out.data(), 10, raw.data(), raw.size(), messages);
    EXPECT_EQ(r.error, effects::WaveResponseError::OtherOpenError);
    EXPECT_EQ(messages.count(), 0u);
}

// ---------------------------------------------------------------- loading

TEST(CabinetLoading, ALibraryResponseAtTheProcessingRateIsUsedAsStored)
{
    RecordingMessages messages;
    CabinetConvolver cab(messages);
    const int index = 0; // 48000 Hz
    ASSERT_EQ(library().entry(index).sampleRate, 48000);
    ASSERT_TRUE(cab.loadLibrary(library(), index, 48000, 16000));
    const std::vector<double> stored = unpack(library(), index);
    EXPECT_EQ(prepared(cab), stored);
    EXPECT_FALSE(cab.responseNormalised());
    EXPECT_EQ(cab.responseRate(), 48000);
    EXPECT_EQ(cab.taps(), static_cast<int>(stored.size()));
    // The filter is that response: an impulse brings it back (in single precision).
    const std::vector<double> out = impulseThrough(cab, 4096);
    for (size_t i = 0; i < out.size(); ++i)
        ASSERT_NEAR(out[i], i < stored.size() ? stored[i] : 0.0, 2e-6) << i;
    EXPECT_EQ(messages.count(), 0u);
    EXPECT_EQ(cab.fileName(), "");
}

TEST(CabinetLoading, ALibraryResponseAtAnotherRateIsConvertedAndNormalised)
{
    RecordingMessages messages;
    CabinetConvolver cab(messages);
    const int index = 2; // 44100 Hz, 4000 samples
    ASSERT_EQ(library().entry(index).sampleRate, 44100);
    ASSERT_TRUE(cab.loadLibrary(library(), index, 48000, 16000));
    const int stored = library().entry(index).sampleCount;
    EXPECT_NEAR(cab.responseLength(), stored * 48000.0 / 44100.0, 2.0);
    EXPECT_TRUE(cab.responseNormalised());
    EXPECT_EQ(cab.responseRate(), 44100);
    const std::vector<double> r = prepared(cab);
    EXPECT_NEAR(averageLevel(r, cab.taps(), 48000), 1.0, 1e-9);
    // At 22050 Hz the same member comes out about half as long.
    ASSERT_TRUE(cab.loadLibrary(library(), index, 22050, 16000));
    EXPECT_NEAR(cab.responseLength(), stored * 22050.0 / 44100.0, 2.0);
}

TEST(CabinetLoading, AFileAtAnotherRateIsConvertedNormalisedAndCutToMaxPulseCnt)
{
    testfiles::TempDir dir;
    RecordingMessages messages;
    CabinetConvolver cab(messages);
    const std::vector<float> tone = decayingTone(6000, 1000.0, 44100, 0.3f);
    writeFloatWav(dir.file("ir.wav"), tone, 44100);
    ASSERT_TRUE(cab.loadFile(waveFiles(), dir.file("ir.wav"), 48000, 1500));
    EXPECT_EQ(cab.taps(), 1500);
    EXPECT_TRUE(cab.responseNormalised());
    EXPECT_EQ(cab.fileName(), dir.file("ir.wav"));

    // The conversion is libsamplerate's medium-quality sinc converter at the
    // ratio 48000/44100, and the level is set on the 1500 samples in use.
    std::vector<float> converted(20000);
    SRC_DATA d{};
    d.data_in = tone.data();
    d.input_frames = static_cast<long>(tone.size());
    d.data_out = converted.data();
    d.output_frames = static_cast<long>(converted.size());
    d.src_ratio = 48000.0 / 44100.0;
    ASSERT_EQ(src_simple(&d, SRC_SINC_MEDIUM_QUALITY, 1), 0);
    const std::vector<double> r = prepared(cab);
    ASSERT_EQ(static_cast<long>(r.size()), d.output_frames_gen);
    std::vector<double> expect(converted.begin(), converted.begin() + d.output_frames_gen);
    const double gain = 1.0 / averageLevel(expect, 1500, 48000);
    for (size_t i = 0; i < r.size(); ++i) ASSERT_NEAR(r[i], expect[i] * gain, 1e-9 * gain) << i;
    EXPECT_NEAR(averageLevel(r, 1500, 48000), 1.0, 1e-9);
    // Still a 1 kHz tone at the new rate.
    EXPECT_GT(magnitudeAt(r, 1000.0, 48000), 5.0 * magnitudeAt(r, 1300.0, 48000));
    // The filter is the first 1500 samples.
    const std::vector<double> out = impulseThrough(cab, 2048);
    for (int i = 0; i < 2048; ++i) ASSERT_NEAR(out[static_cast<size_t>(i)], i < 1500 ? r[static_cast<size_t>(i)] : 0.0, 1e-5 * gain) << i;
}

TEST(CabinetLoading, AFileAtTheProcessingRateIsNormalisedToo)
{
    testfiles::TempDir dir;
    RecordingMessages messages;
    CabinetConvolver cab(messages);
    const std::vector<float> tone = decayingTone(3000, 700.0, 48000, 0.05f);
    writeFloatWav(dir.file("ir.wav"), tone, 48000);
    ASSERT_TRUE(cab.loadFile(waveFiles(), dir.file("ir.wav"), 48000, 4000));
    const std::vector<double> r = prepared(cab);
    ASSERT_EQ(r.size(), tone.size());
    const double gain = r[100] / tone[100];
    EXPECT_GT(gain, 1.5);
    for (size_t i = 0; i < r.size(); ++i) ASSERT_NEAR(r[i], tone[i] * gain, 1e-12 * gain);
    EXPECT_NEAR(averageLevel(r, 3000, 48000), 1.0, 1e-9);
}

TEST(CabinetLoading, TheConvertedResponseIsCutTo32000Samples)
{
    testfiles::TempDir dir;
    RecordingMessages messages;
    CabinetConvolver cab(messages);
    writeFloatWav(dir.file("ir.wav"), decayingTone(32000, 300.0, 22050, 0.5f), 22050);
    ASSERT_TRUE(cab.loadFile(waveFiles(), dir.file("ir.wav"), 48000, 16000));
    EXPECT_EQ(cab.responseLength(), 32000);
    EXPECT_EQ(cab.taps(), 16000);
}

TEST(CabinetLoading, MaxPulseCntReloadsFromTheWholeNormalisedResponse)
{
    testfiles::TempDir dir;
    RecordingMessages messages;
    CabinetConvolver cab(messages);
    const std::vector<float> tone = decayingTone(9000, 440.0, 48000, 0.2f);
    writeFloatWav(dir.file("ir.wav"), tone, 48000);
    ASSERT_TRUE(cab.loadFile(waveFiles(), dir.file("ir.wav"), 48000, 1000));
    EXPECT_EQ(cab.taps(), 1000);
    EXPECT_FALSE(cab.setMaxPulseCount(1000)); // the same length: nothing to do
    EXPECT_TRUE(cab.setMaxPulseCount(20000)); // more than the response: all of it
    EXPECT_EQ(cab.taps(), 9000);
    // The samples beyond the first 1000 carry the same scale as the first ones.
    const std::vector<double> r = prepared(cab);
    const double gain = r[10] / tone[10];
    for (int i : {500, 999, 1000, 1001, 5000, 8999})
        EXPECT_NEAR(r[static_cast<size_t>(i)], tone[static_cast<size_t>(i)] * gain, 1e-12) << i;
    // The filter follows: now the whole response.
    cab.setMaxPulseCount(7000);
    EXPECT_EQ(cab.taps(), 7000);
    std::vector<double> out = impulseThrough(cab, 8192);
    for (int i = 0; i < 8192; ++i) ASSERT_NEAR(out[static_cast<size_t>(i)], i < 7000 ? r[static_cast<size_t>(i)] : 0.0, 2e-6) << i;
    cab.setMaxPulseCount(500);
    out = impulseThrough(cab, 1024);
    for (int i = 0; i < 1024; ++i) ASSERT_NEAR(out[static_cast<size_t>(i)], i < 500 ? r[static_cast<size_t>(i)] : 0.0, 2e-6) << i;
}

TEST(CabinetLoading, FailedLoadsLeaveTheConvolverAsItWas)
{
    testfiles::TempDir dir;
    RecordingMessages messages;
    CabinetConvolver cab(messages);
    ASSERT_TRUE(cab.loadLibrary(library(), 5, 48000, 4000));
    const std::vector<double> before = prepared(cab);
    const int taps = cab.taps();
    // Some history in the convolver: it must survive a failed load too.
    std::vector<double> noise(1000);
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> u(-0.5, 0.5);
    for (double& v : noise) v = u(rng);
    CabinetConvolver twin(messages);
    ASSERT_TRUE(twin.loadLibrary(library(), 5, 48000, 4000));
    std::vector<double> a = noise, b = noise;
    cab.process(a.data(), 1000);
    twin.process(b.data(), 1000);

    testfiles::writeFile(dir.file("bad.wav"), std::vector<uint8_t>(100, 'x'));
    testfiles::writeFile(dir.file("adpcm.wav"), testfiles::wavBytes(layout(2, 1, 4, 48000, 256), std::vector<uint8_t>(512, 1)));
    writeFloatWav(dir.file("rate.wav"), {0.5f, 0.25f}, 1); // no conversion reaches 48000 from 1 Hz
    messages.clear();
    EXPECT_FALSE(cab.loadFile(waveFiles(), dir.file("missing.wav"), 48000, 4000));
    EXPECT_FALSE(cab.loadFile(waveFiles(), dir.file("bad.wav"), 48000, 4000));
    EXPECT_FALSE(cab.loadFile(waveFiles(), dir.file("adpcm.wav"), 48000, 4000));
    EXPECT_FALSE(cab.loadFile(waveFiles(), dir.file("rate.wav"), 48000, 4000));
    EXPECT_FALSE(cab.loadLibrary(library(), 999, 48000, 4000));
    EXPECT_EQ(messages.texts(),
              (std::vector<std::string>{"Error opening impulse file!\n '" + dir.file("missing.wav") + "' not found.",
                                        "Error opening impulse file! Unknown format or file corrupted.",
                                        "IR WAVE format not supported!",
                                        "Error opening impulse file! Unknown format or file corrupted.",
                                        "Runtime error unpacking!"}));
    EXPECT_EQ(cab.taps(), taps);
    EXPECT_EQ(prepared(cab), before);
    a = noise;
    b = noise;
    cab.process(a.data(), 1000);
    twin.process(b.data(), 1000);
    EXPECT_EQ(a, b);
}

TEST(CabinetLoading, ASilentResponseStaysSilent)
{
    testfiles::TempDir dir;
    RecordingMessages messages;
    CabinetConvolver cab(messages);
    writeFloatWav(dir.file("zero.wav"), std::vector<float>(3000, 0.0f), 44100);
    ASSERT_TRUE(cab.loadFile(waveFiles(), dir.file("zero.wav"), 48000, 4000));
    std::vector<double> buf(512, 0.3);
    cab.process(buf.data(), 512);
    for (double v : buf) ASSERT_EQ(v, 0.0);
}

TEST(CabinetLoading, WithoutAResponseBlocksPassUntouched)
{
    RecordingMessages messages;
    CabinetConvolver cab(messages);
    std::vector<double> buf = {0.1, -0.2, 1e-300, 3.0};
    const std::vector<double> in = buf;
    cab.process(buf.data(), 4);
    EXPECT_EQ(buf, in);
    EXPECT_EQ(cab.taps(), 0);
    EXPECT_FALSE(cab.setMaxPulseCount(100));
}

// ---------------------------------------------------------------- partitioned form

namespace {

// The cabinet convolver against a plain direct-form FirConvolver with the
// same (prepared) taps, over random input in random block sizes, and both
// against the convolution in double precision over the last outputs.
struct Difference {
    double toDirect;       // largest |cabinet - direct|, relative to the largest output
    double cabinetError;   // largest |cabinet - exact| over the last outputs
    double directError;    // largest |direct - exact| there
};

Difference compare(int taps, unsigned seed)
{
    RecordingMessages messages;
    CabinetConvolver cab(messages);
    std::mt19937 rng(seed);
    std::normal_distribution<double> g(0.0, 1.0);
    std::vector<double> h(static_cast<size_t>(taps));
    for (int i = 0; i < taps; ++i) h[static_cast<size_t>(i)] = g(rng) * std::exp(-4.0 * i / taps) * 0.05;
    EXPECT_TRUE(cab.loadSamples(h.data(), taps, 48000, 48000, taps));
    const std::vector<double> coefficients = prepared(cab);
    dsp::FirConvolver direct(dsp::FirConvolver::Threading::CallerOnly);
    direct.setPathOverride(dsp::FirConvolver::Path::Scalar);
    direct.setCoefficients(coefficients.data(), taps);

    std::uniform_int_distribution<int> size(1, 128);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    const int total = 2 * taps + 3000;
    std::vector<double> input, fromCabinet, fromDirect;
    while (static_cast<int>(input.size()) < total) {
        const int n = size(rng);
        std::vector<double> a(static_cast<size_t>(n));
        for (double& v : a) v = u(rng);
        input.insert(input.end(), a.begin(), a.end());
        std::vector<double> b = a;
        cab.process(a.data(), n);
        direct.process(b.data(), n);
        fromCabinet.insert(fromCabinet.end(), a.begin(), a.end());
        fromDirect.insert(fromDirect.end(), b.begin(), b.end());
    }
    Difference d{0.0, 0.0, 0.0};
    double peak = 0.0;
    for (size_t i = 0; i < input.size(); ++i) {
        d.toDirect = std::max(d.toDirect, std::fabs(fromCabinet[i] - fromDirect[i]));
        peak = std::max(peak, std::fabs(fromDirect[i]));
    }
    d.toDirect /= peak;
    for (size_t i = input.size() - 1000; i < input.size(); ++i) {
        double exact = 0.0;
        for (int k = 0; k < taps && static_cast<size_t>(k) <= i; ++k)
            exact += coefficients[static_cast<size_t>(k)] * input[i - static_cast<size_t>(k)];
        d.cabinetError = std::max(d.cabinetError, std::fabs(fromCabinet[i] - exact));
        d.directError = std::max(d.directError, std::fabs(fromDirect[i] - exact));
    }
    return d;
}

void expectSinglePrecision(int taps, unsigned seed)
{
    SCOPED_TRACE(std::to_string(taps) + " taps");
    const Difference d = compare(taps, seed);
    // The direct form sums in single precision; the FFT does no worse.
    EXPECT_LT(d.toDirect, 3e-5);
    EXPECT_LE(d.cabinetError, 1.5 * d.directError + 1e-9);
}

} // namespace

TEST(CabinetPartitioned, EqualsTheDirectFormToSinglePrecision)
{
    // The default length, long responses, a response just over one
    // partition and short ones.
    expectSinglePrecision(4000, 1);
    expectSinglePrecision(16000, 2);
    expectSinglePrecision(130, 3);
    expectSinglePrecision(1000, 4);
    expectSinglePrecision(500, 5);
}

TEST(CabinetPartitioned, MaxLenKeepsTheHistoryAtEveryLength)
{
    // One cabinet moves from 500 taps to 4000 and on to 16000 while it
    // plays; its twin had each length all along. From the block after each
    // change they must sound the same: the tail of what was played before
    // the change rings on through the longer response.
    RecordingMessages messages;
    std::mt19937 rng(11);
    std::normal_distribution<double> g(0.0, 1.0);
    std::vector<double> h(16000);
    for (size_t i = 0; i < h.size(); ++i) h[i] = g(rng) * std::exp(-3.0 * static_cast<double>(i) / 16000.0) * 0.05;
    std::vector<double> input(48000);
    for (double& v : input) v = 0.3 * g(rng);
    CabinetConvolver moving(messages);
    ASSERT_TRUE(moving.loadSamples(h.data(), 16000, 48000, 48000, 500));
    int at = 0;
    const auto play = [&](CabinetConvolver& cab, int blocks, std::vector<double>& out) {
        for (int b = 0; b < blocks; ++b, at += 128) {
            std::vector<double> block(input.begin() + at, input.begin() + at + 128);
            cab.process(block.data(), 128);
            out.insert(out.end(), block.begin(), block.end());
        }
    };
    std::vector<double> past;
    play(moving, 40, past); // at 500 taps
    for (int length : {4000, 16000}) {
        const int start = at;
        CabinetConvolver twin(messages); // the same response (and level), at the new length from the start
        ASSERT_TRUE(twin.loadSamples(h.data(), 16000, 48000, 48000, 500));
        ASSERT_TRUE(twin.setMaxPulseCount(length));
        at = 0;
        play(twin, start / 128, past); // the twin hears the same past
        ASSERT_TRUE(moving.setMaxPulseCount(length));
        std::vector<double> a, b;
        at = start;
        play(moving, 40, a);
        at = start;
        play(twin, 40, b);
        for (size_t i = 0; i < a.size(); ++i) ASSERT_NEAR(a[i], b[i], 1e-9) << length << " " << i;
    }
}

TEST(CabinetPartitioned, ANewResponseStartsFromSilence)
{
    RecordingMessages messages;
    CabinetConvolver cab(messages);
    std::vector<double> h(3000, 0.0);
    h[0] = 1.0;
    h[2999] = 0.5;
    ASSERT_TRUE(cab.loadSamples(h.data(), 3000, 48000, 48000, 3000));
    std::vector<double> loud(2000, 0.9);
    cab.process(loud.data(), 100);
    cab.process(loud.data() + 100, 1900);
    // A new response: nothing of the loud past may come out of its tail.
    ASSERT_TRUE(cab.loadSamples(h.data(), 3000, 48000, 48000, 3000));
    std::vector<double> quiet(4000, 0.0);
    for (int i = 0; i < 4000; i += 128) cab.process(quiet.data() + i, std::min(128, 4000 - i));
    for (double v : quiet) ASSERT_EQ(v, 0.0);
}
