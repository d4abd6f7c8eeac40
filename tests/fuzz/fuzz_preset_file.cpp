// The preset-file reader and the import into a store, on any text.
#include "FuzzTarget.h"
#include "MemoryFile.h"

#include "dsp/UserMessages.h"
#include "presets/PresetFile.h"
#include "presets/RegistryStore.h"

#include <cstdio>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto sections = stravik::parsePresetFile(text);
    for (const auto& s : sections)
        for (const auto& [k, v] : s.entries)
            if (k.size() > 1023 || v.size() > 1023 || k.empty() || v.empty()) __builtin_trap();
    // One store for the whole session, emptied after each run.
    static MemoryFile file;
    static stravik::RegistryStore store(":memory:");
    stravik::SilentMessages messages;
    int count = 0;
    stravik::importPresetFile(store, file.hold(data, size), true, true, messages, &count);
    if (count < 0 || count > static_cast<int>(sections.size())) __builtin_trap();
    // Nothing but the presets counted is stored (a section without a single
    // entry that parses counts, and leaves no preset of its name).
    if (static_cast<int>(store.subKeys("presets").size()) > count) __builtin_trap();
    store.deleteKey("presets");
    return 0;
}

std::vector<std::vector<uint8_t>> fuzzSeeds()
{
    const std::string seeds[] = {
        ";**** Stravik presets file ****;\r\n[Clean]\r\necho=1\r\necho_enabled=1\r\necho_delay=0.5\r\n\r\n",
        ";**** Stravik presets file ****;\n[A]\nk=v w\n[B]\n=x\ny=\n[A]\nk=2\n[C\\D]\nq=1\n",
        "[no header]\nx=1\n",
    };
    std::vector<std::vector<uint8_t>> out;
    for (const auto& s : seeds) out.emplace_back(s.begin(), s.end());
    return out;
}
