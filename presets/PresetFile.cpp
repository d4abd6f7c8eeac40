#include "presets/PresetFile.h"

#include "dsp/UserMessages.h"
#include "presets/PresetStore.h"
#include "presets/RegistryStore.h"

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <strings.h>

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

bool readWhole(const std::string& path, std::string& text)
{
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    std::ostringstream ss;
    ss << f.rdbuf();
    if (f.bad()) return false;
    text = ss.str();
    return true;
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
            skipping = false;
            for (auto& s : sections)
                if (strcasecmp(s.name.c_str(), name.c_str()) == 0) skipping = true;
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
    if (!readWhole(path, text)) {
        if (showMessages) messages.show("Error opening file '" + path + "' !", {}, MessageIcon::Warning);
        return 1;
    }
    if (checkHeader && !hasPresetFileHeader(text)) {
        if (showMessages) messages.show("'" + path + "' is NOT Stravik presets file!", {}, MessageIcon::Warning);
        return 1;
    }
    const auto sections = parsePresetFile(text);
    int imported = 0;
    {
        RegistryStore::Transaction tx(store);
        for (const auto& section : sections) {
            if (!PresetStore::nameProblem(section.name).empty()) continue;
            const std::string key = "presets\\" + section.name;
            // Keys the file does not have must not survive from the old preset.
            store.deleteKey(key);
            for (const auto& [name, value] : section.entries) store.write(name, value, key);
            ++imported;
        }
        if (!tx.commit()) return 1;
    }
    store.flush();
    if (count) *count = imported;
    if (showMessages && imported > 0) {
        char buf[64];
        std::snprintf(buf, sizeof(buf), "%d presets imported.", imported);
        messages.show(buf, {}, MessageIcon::Information);
    }
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
