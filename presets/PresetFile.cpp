#include "presets/PresetFile.h"

#include "dsp/RegularFile.h"
#include "dsp/UserMessages.h"
#include "presets/PresetStore.h"
#include "presets/RegistryStore.h"

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <unordered_set>

namespace stravik {
namespace {

constexpr const char* kHeader = ";**** Stravik presets file ****;";
constexpr size_t kMaxField = 1023;

std::string trim(const std::string& s)
{
    size_t a = 0, b = s.size();
    while (a < b && std::isspace(static_cast<unsigned char>(s[a]))) ++a;
    while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1]))) --b;
    return s.substr(a, b - a);
}

// The ASCII case folding the store uses for names.
std::string folded(const std::string& s)
{
    std::string f = s;
    for (char& c : f)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return f;
}

// A name as it can be shown on one line: control characters as "?".
std::string printable(const std::string& s)
{
    std::string p = s;
    for (char& c : p)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return p;
}

// Reads a preset file: the first line is looked at before anything else is
// read, so that a file that is not a preset file costs nothing however large
// it is. False when the file cannot be opened; header is false when the
// check was asked for and failed.
bool readPresetFile(const std::string& path, bool checkHeader, std::string& text, bool& header)
{
    std::FILE* f = openRegularFile(path);
    if (!f) return false;
    char first[256];
    const size_t got = std::fread(first, 1, sizeof first, f);
    text.assign(first, got);
    header = !checkHeader || hasPresetFileHeader(text);
    bool ok = !std::ferror(f);
    if (ok && header) {
        char chunk[65536];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
        ok = !std::ferror(f);
    }
    std::fclose(f);
    return ok;
}

} // namespace

bool hasPresetFileHeader(const std::string& text)
{
    size_t end = text.find_first_of("\r\n");
    if (end == std::string::npos) end = text.size();
    return text.substr(0, std::min<size_t>(end, 255)).find("**** Stravik") != std::string::npos;
}

std::vector<PresetFileSection> parsePresetFile(const std::string& text)
{
    std::vector<PresetFileSection> sections;
    PresetFileSection* current = nullptr;
    bool skipping = false; // inside a repeated section
    std::unordered_set<std::string> seen; // section names, folded
    std::istringstream in(text);
    std::string raw;
    while (std::getline(in, raw)) {
        const std::string line = trim(raw);
        if (line.empty() || line[0] == ';') continue;
        if (line[0] == '[') {
            const size_t close = line.find(']');
            if (close == std::string::npos) continue;
            const std::string name = line.substr(1, close - 1);
            current = nullptr;
            skipping = !seen.insert(folded(name)).second;
            if (!skipping) {
                sections.push_back({name, {}});
                current = &sections.back();
            }
            continue;
        }
        if (current == nullptr || skipping) continue;
        const size_t eq = line.find('=');
        if (eq == std::string::npos || eq == 0) continue;
        std::string key = trim(line.substr(0, eq));
        if (key.empty()) continue;
        // The value runs from the first non-blank after "=" to the next blank.
        size_t v = eq + 1;
        while (v < line.size() && std::isspace(static_cast<unsigned char>(line[v]))) ++v;
        size_t e = v;
        while (e < line.size() && !std::isspace(static_cast<unsigned char>(line[e]))) ++e;
        if (e == v) continue; // nothing after "=": does not parse
        std::string value = line.substr(v, e - v);
        if (key.size() > kMaxField) key.resize(kMaxField);
        if (value.size() > kMaxField) value.resize(kMaxField);
        current->entries.emplace_back(std::move(key), std::move(value));
    }
    return sections;
}

int importPresetFile(RegistryStore& store, const std::string& path, bool showMessages, bool checkHeader,
                     UserMessages& messages, int* count)
{
    if (count) *count = 0;
    std::string text;
    bool header = true;
    if (!readPresetFile(path, checkHeader, text, header)) {
        if (showMessages) messages.show("Error opening file '" + path + "' !", {}, MessageIcon::Warning);
        return 1;
    }
    if (!header) {
        if (showMessages) messages.show("'" + path + "' is NOT Stravik presets file!", {}, MessageIcon::Warning);
        return 1;
    }
    const auto sections = parsePresetFile(text);
    text = std::string();
    int imported = 0;
    std::string skipped;
    {
        RegistryStore::Transaction tx(store);
        for (const auto& section : sections) {
            if (std::string problem = PresetStore::nameProblem(section.name); !problem.empty()) {
                if (section.name.empty()) problem = "A preset needs a name.";
                else if (section.name == PresetStore::kPlaceholder) problem = "This name is reserved.";
                skipped += "\n  [" + printable(section.name) + "]: " + problem;
                continue;
            }
            const std::string key = "presets\\" + section.name;
            // Keys the file does not have must not survive from the old preset.
            if (!store.deleteKey(key)) break;
            bool written = true;
            for (const auto& [name, value] : section.entries)
                if (!(written = store.write(name, value, key))) break;
            if (!written) break;
            ++imported;
        }
        // The first failed write fails the whole import: nothing of it stays.
        if (!tx.commit()) return 1;
    }
    store.flush();
    if (count) *count = imported;
    if (showMessages && imported > 0) {
        char buf[64];
        std::snprintf(buf, sizeof(buf), "%d presets imported.", imported);
        messages.show(buf, {}, MessageIcon::Information);
    }
    if (showMessages && !skipped.empty())
        messages.show("These presets of '" + path + "' were not imported:" + skipped, {}, MessageIcon::Warning);
    return 0;
}

bool exportPresetFile(const RegistryStore& store, const std::string& path, const std::vector<std::string>& names,
                      UserMessages& messages)
{
    if (names.empty()) {
        messages.show("No preset selected!", {}, MessageIcon::Warning);
        return false;
    }
    std::string out = std::string(kHeader) + "\r\n";
    for (const std::string& name : names) {
        out += "[" + name + "]\r\n";
        for (const auto& [key, value] : store.values("presets\\" + name)) out += key + "=" + value + "\r\n";
        out += "\r\n";
    }
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        messages.show("Error opening file!", {}, MessageIcon::Warning);
        return false;
    }
    const bool ok = std::fwrite(out.data(), 1, out.size(), f) == out.size();
    if (std::fclose(f) != 0 || !ok) {
        std::remove(path.c_str());
        messages.show("Error opening file!", {}, MessageIcon::Warning);
        return false;
    }
    return true;
}

bool importDemoPresetsOnFirstStart(int firstStart, RegistryStore& store, const std::string& programDir,
                                   UserMessages& messages)
{
    if (firstStart != 1) return false;
    for (const std::string& dir : {programDir, std::filesystem::current_path().string()}) {
        if (dir.empty()) continue;
        const std::string path = std::filesystem::absolute(std::filesystem::path(dir) / "demo.fxp").string();
        if (!std::filesystem::exists(path)) continue;
        return importPresetFile(store, path, false, true, messages) == 0;
    }
    return false;
}

} // namespace stravik
