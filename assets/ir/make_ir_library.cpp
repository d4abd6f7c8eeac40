// Builds the impulse-response library at build time and writes it as C++
// source: a zip archive (made with minizip) whose members are the responses
// in list order, compiled into the program as a byte array.
//
//   make_ir_library OUT.cpp [--list]
//
// Every response comes from the cabinet model (CabinetModel.h); the catalogue
// below says what each one models. Members 0 to 11 keep the codes older
// presets refer to (101, 102, 103, 104, 105, 201, 202, 301, 302, 401, 501,
// 502) and member 40 is "No cabinet" with code 0. Codes name families:
// 1xx 4x12 closed, 2xx 2x12 closed, 3xx 1x12 open, 4xx 2x12 open, 5xx 4x10
// open, 6xx 1x10 open, 7xx 2x10 closed, 8xx 15" closed, 9xx 1x12 closed.
// Some responses are stored at 44100 Hz and some at 48000 Hz.
//
// The archive is read back before the source is written: the build fails
// when a member does not come back exactly as written. The archive itself is
// left beside the source as OUT.cpp.zip. --list prints the catalogue (index,
// code, rate, length, name).
#include "assets/ir/CabinetModel.h"
#include "effects/tone/ImpulseResponseFormat.h"

#include <minizip/unzip.h>
#include <minizip/zip.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

using stravik::assets::CabinetDesign;
using stravik::assets::MicKind;
namespace irformat = stravik::effects::irformat;

// One line of the catalogue.
struct Entry {
    int code;
    const char* name;
    int rate;
    int length;
    int speakers;
    double cone;
    bool open;
    MicKind mic;
    double position; // 0 cap centre .. 1 cone edge
    double distance; // m
    double angle;    // degrees off axis
    double room;     // m, 0 none
    double decay;    // s
    double resonance;
    double breakup;
};

constexpr MicKind D = MicKind::Dynamic, C = MicKind::Condenser, R = MicKind::Ribbon;

// clang-format off
const Entry kCatalogue[] = {
    // code name                                                        rate   len   spk cone  open   mic pos  dist   angle room decay  res   breakup
    {101, "4x12 closed back, dynamic mic at the cap centre, close",     48000, 3000,  4, 12.0, false, D, 0.0, 0.02,  0.0, 0.0, 0.0,   85.0, 2600.0},
    {102, "4x12 closed back, dynamic mic at the cap edge, close",       48000, 3000,  4, 12.0, false, D, 0.5, 0.02,  0.0, 0.0, 0.0,   85.0, 2600.0},
    {103, "4x12 closed back, dynamic mic on the cone, 10 cm",           44100, 4000,  4, 12.0, false, D, 1.0, 0.10,  0.0, 0.0, 0.0,   85.0, 2600.0},
    {104, "4x12 closed back, dynamic mic 45 degrees off axis, close",   48000, 3000,  4, 12.0, false, D, 0.5, 0.02, 45.0, 0.0, 0.0,   85.0, 2600.0},
    {105, "4x12 closed back, condenser at 1 m, studio room",            44100, 12000, 4, 12.0, false, C, 0.5, 1.00,  0.0, 5.0, 0.35,  85.0, 2600.0},
    {201, "2x12 closed back, dynamic mic at the cap edge, close",       48000, 3000,  2, 12.0, false, D, 0.5, 0.02,  0.0, 0.0, 0.0,   95.0, 2400.0},
    {202, "2x12 closed back, ribbon mic at 30 cm",                      44100, 6000,  2, 12.0, false, R, 0.5, 0.30,  0.0, 4.0, 0.25,  95.0, 2400.0},
    {301, "1x12 open back, dynamic mic at the cap edge, close",         48000, 2500,  1, 12.0, true,  D, 0.5, 0.02,  0.0, 0.0, 0.0,  105.0, 2200.0},
    {302, "1x12 open back, condenser at 50 cm, small room",             44100, 8000,  1, 12.0, true,  C, 0.5, 0.50,  0.0, 3.5, 0.30, 105.0, 2200.0},
    {401, "2x12 open back, dynamic mic on the cone, close",             48000, 3000,  2, 12.0, true,  D, 1.0, 0.02,  0.0, 0.0, 0.0,  100.0, 2300.0},
    {501, "4x10 open back, dynamic mic at the cap edge, close",         44100, 3000,  4, 10.0, true,  D, 0.5, 0.02,  0.0, 0.0, 0.0,  110.0, 3000.0},
    {502, "4x10 open back, condenser at 1 m, live room",                48000, 16000, 4, 10.0, true,  C, 0.5, 1.00,  0.0, 7.0, 0.60, 110.0, 3000.0},
    {106, "4x12 closed back, ribbon mic at the cap edge, 5 cm",         48000, 3500,  4, 12.0, false, R, 0.5, 0.05,  0.0, 0.0, 0.0,   85.0, 2600.0},
    {107, "4x12 closed back, condenser at 2 m, large hall",             48000, 16000, 4, 12.0, false, C, 0.5, 2.00,  0.0, 12.0, 0.80, 85.0, 2600.0},
    {108, "4x12 closed back, dynamic mic at the cap edge, 30 cm",       44100, 5000,  4, 12.0, false, D, 0.5, 0.30,  0.0, 4.0, 0.25,  85.0, 2600.0},
    {203, "2x12 closed back, dynamic mic at the cap centre, close",     48000, 2500,  2, 12.0, false, D, 0.0, 0.02,  0.0, 0.0, 0.0,   95.0, 2400.0},
    {204, "2x12 closed back, condenser at 1 m, small room",             44100, 10000, 2, 12.0, false, C, 0.5, 1.00,  0.0, 3.5, 0.35,  95.0, 2400.0},
    {303, "1x12 open back, ribbon mic at 20 cm",                        48000, 4000,  1, 12.0, true,  R, 0.5, 0.20,  0.0, 0.0, 0.0,  105.0, 2200.0},
    {304, "1x12 open back, dynamic mic 30 degrees off axis, close",     44100, 2500,  1, 12.0, true,  D, 0.5, 0.02, 30.0, 0.0, 0.0,  105.0, 2200.0},
    {402, "2x12 open back, dynamic mic at the cap edge, close",         44100, 3000,  2, 12.0, true,  D, 0.5, 0.02,  0.0, 0.0, 0.0,  100.0, 2300.0},
    {403, "2x12 open back, condenser at 1 m, studio room",              48000, 12000, 2, 12.0, true,  C, 0.5, 1.00,  0.0, 5.0, 0.35, 100.0, 2300.0},
    {503, "4x10 open back, ribbon mic at 30 cm",                        44100, 6000,  4, 10.0, true,  R, 0.5, 0.30,  0.0, 4.0, 0.25, 110.0, 3000.0},
    {601, "1x10 open back, dynamic mic at the cap edge, close",         48000, 2000,  1, 10.0, true,  D, 0.5, 0.02,  0.0, 0.0, 0.0,  120.0, 3200.0},
    {602, "1x10 open back, condenser at 40 cm, small room",             44100, 7000,  1, 10.0, true,  C, 0.5, 0.40,  0.0, 3.0, 0.30, 120.0, 3200.0},
    {701, "2x10 closed back, dynamic mic at the cap edge, close",       48000, 2500,  2, 10.0, false, D, 0.5, 0.02,  0.0, 0.0, 0.0,  100.0, 3100.0},
    {702, "2x10 closed back, ribbon mic at 20 cm",                      44100, 4000,  2, 10.0, false, R, 0.5, 0.20,  0.0, 0.0, 0.0,  100.0, 3100.0},
    {801, "1x15 closed back, dynamic mic at the cap edge, close",       48000, 3000,  1, 15.0, false, D, 0.5, 0.02,  0.0, 0.0, 0.0,   65.0, 1800.0},
    {802, "1x15 closed back, condenser at 1 m, studio room",            44100, 12000, 1, 15.0, false, C, 0.5, 1.00,  0.0, 5.0, 0.35,  65.0, 1800.0},
    {803, "2x15 closed back, dynamic mic on the cone, close",           48000, 3500,  2, 15.0, false, D, 1.0, 0.02,  0.0, 0.0, 0.0,   60.0, 1700.0},
    {901, "1x12 closed back, dynamic mic at the cap edge, close",       44100, 2500,  1, 12.0, false, D, 0.5, 0.02,  0.0, 0.0, 0.0,   95.0, 2500.0},
    {902, "1x12 closed back, dynamic mic 45 degrees off axis, 5 cm",    48000, 2500,  1, 12.0, false, D, 0.5, 0.05, 45.0, 0.0, 0.0,   95.0, 2500.0},
    {903, "1x12 closed back, condenser at 60 cm, small room",           44100, 8000,  1, 12.0, false, C, 0.5, 0.60,  0.0, 3.5, 0.30,  95.0, 2500.0},
    {109, "4x12 closed back, dynamic mic at the cap edge, close, vintage speakers", 48000, 3000, 4, 12.0, false, D, 0.5, 0.02, 0.0, 0.0, 0.0, 75.0, 2000.0},
    {110, "4x12 closed back, dynamic mic at the cap centre, close, modern speakers", 44100, 3000, 4, 12.0, false, D, 0.0, 0.02, 0.0, 0.0, 0.0, 90.0, 3200.0},
    {205, "2x12 closed back, dynamic mic at the cap edge, 15 cm, bright speakers", 48000, 4000, 2, 12.0, false, D, 0.5, 0.15, 0.0, 0.0, 0.0, 95.0, 3400.0},
    {305, "1x12 open back, dynamic mic behind the cabinet, close",      44100, 3000,  1, 12.0, true,  D, 0.5, 0.05,  0.0, 0.0, 0.0,  105.0, 2200.0},
    {404, "2x12 open back, ribbon mic at 1 m, live room",               48000, 16000, 2, 12.0, true,  R, 0.5, 1.00,  0.0, 7.0, 0.60, 100.0, 2300.0},
    {504, "4x10 open back, dynamic mic 45 degrees off axis, close",     44100, 2500,  4, 10.0, true,  D, 0.5, 0.02, 45.0, 0.0, 0.0,  110.0, 3000.0},
    {603, "1x10 open back, dynamic mic at the cap centre, small combo", 48000, 2000,  1, 10.0, true,  D, 0.0, 0.02,  0.0, 0.0, 0.0,  125.0, 3300.0},
    {804, "1x15 closed back, ribbon mic at 30 cm",                      44100, 6000,  1, 15.0, false, R, 0.5, 0.30,  0.0, 4.0, 0.25,  65.0, 1800.0},
    {0,   "No cabinet",                                                 48000, 2000,  0, 12.0, false, D, 0.5, 0.02,  0.0, 0.0, 0.0,   85.0, 2600.0},
};
// clang-format on

constexpr int kEntries = static_cast<int>(sizeof(kCatalogue) / sizeof(kCatalogue[0]));
constexpr int kLegacyCodes[12] = {101, 102, 103, 104, 105, 201, 202, 301, 302, 401, 501, 502};

CabinetDesign specOf(const Entry& e, int index)
{
    CabinetDesign s;
    s.code = e.code;
    s.name = e.name;
    s.sampleRate = e.rate;
    s.length = e.length;
    s.speakers = e.speakers;
    s.coneInches = e.cone;
    s.openBack = e.open;
    s.mic = e.mic;
    s.micPosition = e.position;
    s.micDistance = e.distance;
    s.micAngleDeg = e.angle;
    s.roomSize = e.room;
    s.roomDecay = e.decay;
    s.resonanceHz = e.resonance;
    s.resonanceQ = e.open ? 0.9 : 1.1;
    s.breakupHz = e.breakup;
    s.breakupPeaks = 4 + index % 3;
    s.breakupDepthDb = e.cone >= 15.0 ? 3.5 : 4.5;
    s.rearMic = std::strstr(e.name, "behind") != nullptr;
    s.seed = 7919u * static_cast<uint32_t>(e.code + 1) + static_cast<uint32_t>(index);
    return s;
}

bool checkCatalogue()
{
    bool ok = kEntries >= 41;
    std::set<int> codes;
    for (int i = 0; i < kEntries; ++i) {
        const Entry& e = kCatalogue[i];
        if (!codes.insert(e.code).second) {
            std::fprintf(stderr, "make_ir_library: code %d used twice\n", e.code);
            ok = false;
        }
        if (e.length < 2000 || e.length > 16000 || (e.rate != 44100 && e.rate != 48000)) {
            std::fprintf(stderr, "make_ir_library: entry %d has length %d at %d Hz\n", i, e.length, e.rate);
            ok = false;
        }
    }
    for (int i = 0; i < 12; ++i)
        if (kCatalogue[i].code != kLegacyCodes[i]) ok = false;
    if (kCatalogue[irformat::kNoCabinetIndex].code != irformat::kNoCabinetCode) ok = false;
    if (!ok) std::fputs("make_ir_library: the catalogue breaks its rules\n", stderr);
    return ok;
}

bool writeArchive(const std::string& path, const std::vector<std::vector<uint8_t>>& members)
{
    zipFile zf = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
    if (!zf) return false;
    bool ok = true;
    for (size_t i = 0; i < members.size() && ok; ++i) {
        zip_fileinfo info{};
        // A fixed date, so that every build writes the same bytes.
        info.tmz_date.tm_year = 2024;
        info.tmz_date.tm_mon = 0;
        info.tmz_date.tm_mday = 1;
        char name[32];
        std::snprintf(name, sizeof(name), "%02zu-%d.sir", i, kCatalogue[i].code);
        ok = zipOpenNewFileInZip64(zf, name, &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED, 9, 0) == ZIP_OK;
        ok = ok && zipWriteInFileInZip(zf, members[i].data(), static_cast<unsigned>(members[i].size())) == ZIP_OK;
        ok = ok && zipCloseFileInZip(zf) == ZIP_OK;
    }
    return zipClose(zf, nullptr) == ZIP_OK && ok;
}

// Reads every member back and compares it with what was written.
bool verifyArchive(const std::string& path, const std::vector<std::vector<uint8_t>>& members)
{
    unzFile uf = unzOpen64(path.c_str());
    if (!uf) return false;
    bool ok = true;
    size_t index = 0;
    for (int r = unzGoToFirstFile(uf); r == UNZ_OK && ok; r = unzGoToNextFile(uf), ++index) {
        if (index >= members.size() || unzOpenCurrentFile(uf) != UNZ_OK) {
            ok = false;
            break;
        }
        std::vector<uint8_t> back(members[index].size() + 1);
        const int got = unzReadCurrentFile(uf, back.data(), static_cast<unsigned>(back.size()));
        ok = got == static_cast<int>(members[index].size())
             && std::memcmp(back.data(), members[index].data(), members[index].size()) == 0;
        ok = unzCloseCurrentFile(uf) == UNZ_OK && ok;
    }
    unzClose(uf);
    return ok && index == members.size();
}

bool writeSource(const std::string& path, const std::vector<uint8_t>& archive)
{
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return false;
    std::fprintf(f,
                 "// Generated by make_ir_library: the impulse-response library, a zip archive.\n"
                 "#include <cstddef>\n\n"
                 "namespace stravik::effects::generated {\n"
                 "extern const unsigned char kIrLibraryArchive[];\n"
                 "extern const std::size_t kIrLibraryArchiveSize;\n"
                 "alignas(16) const unsigned char kIrLibraryArchive[] =\n");
    // One string literal in pieces: far quicker to compile than a list of
    // numbers. Three-digit octal escapes never swallow a following digit.
    for (size_t i = 0; i < archive.size(); i += 64) {
        std::fputs("    \"", f);
        for (size_t j = i; j < std::min(archive.size(), i + 64); ++j) {
            const unsigned char c = archive[j];
            if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"' && c != '?')
                std::fputc(c, f);
            else
                std::fprintf(f, "\\%03o", c);
        }
        std::fputs("\"\n", f);
    }
    std::fprintf(f, "    ;\nconst std::size_t kIrLibraryArchiveSize = %zu;\n} // namespace stravik::effects::generated\n",
                 archive.size());
    return std::fclose(f) == 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fputs("usage: make_ir_library OUT.cpp [--list]\n", stderr);
        return 2;
    }
    const std::string out = argv[1];
    const bool list = argc > 2 && std::strcmp(argv[2], "--list") == 0;
    if (!checkCatalogue()) return 1;

    std::vector<std::vector<uint8_t>> members;
    for (int i = 0; i < kEntries; ++i) {
        const CabinetDesign design = specOf(kCatalogue[i], i);
        const std::vector<double> h = stravik::assets::renderCabinet(design);
        const std::vector<float> samples(h.begin(), h.end());
        members.push_back(irformat::encodeMember(design.code, design.sampleRate, design.name, samples.data(),
                                                 static_cast<int>(samples.size())));
        if (list) std::printf("%2d  %3d  %5d  %5d  %s\n", i, design.code, design.sampleRate, design.length, design.name.c_str());
    }

    const std::string zipPath = out + ".zip";
    if (!writeArchive(zipPath, members) || !verifyArchive(zipPath, members)) {
        std::fprintf(stderr, "make_ir_library: could not write the archive %s\n", zipPath.c_str());
        return 1;
    }
    std::vector<uint8_t> archive;
    if (std::FILE* f = std::fopen(zipPath.c_str(), "rb")) {
        unsigned char buf[65536];
        size_t got;
        while ((got = std::fread(buf, 1, sizeof(buf), f)) > 0) archive.insert(archive.end(), buf, buf + got);
        std::fclose(f);
    }
    if (archive.empty() || !writeSource(out, archive)) {
        std::fprintf(stderr, "make_ir_library: cannot write %s\n", out.c_str());
        return 1;
    }
    return 0;
}
