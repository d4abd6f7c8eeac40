#include "app/PresetsCommand.h"

#include "engine/ConsoleMessages.h"
#include "presets/PresetFile.h"
#include "presets/PresetStore.h"
#include "presets/RegistryStore.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <strings.h>
#include <vector>

namespace stravik::app {
namespace {

const char kUsage[] =
    "usage: korvex presets list\n"
    "       korvex presets import FILE.fxp\n"
    "       korvex presets export FILE.fxp NAME...\n"
    "       korvex presets delete NAME\n"
    "\n"
    "Works on your presets (the store in $XDG_CONFIG_HOME/stravik, by default ~/.config/stravik).\n"
    "list prints one name per line; import replaces presets of the same names; export writes\n"
    "the named presets into a preset file. Exit status: 0 done, 1 failed, 2 usage error.\n";

int usage(const char* problem)
{
    if (problem) std::fprintf(stderr, "korvex presets: %s\n\n", problem);
    std::fputs(kUsage, stderr);
    return 2;
}

// The stored spelling of a name, or "" when there is no such preset.
std::string storedName(const std::vector<std::string>& names, const std::string& wanted)
{
    for (const auto& n : names)
        if (strcasecmp(n.c_str(), wanted.c_str()) == 0) return n;
    return {};
}

} // namespace

int presetsCommand(int argc, char** argv)
{
    if (argc < 1) return usage("which command?");
    const std::string cmd = argv[0];
    if (cmd == "--help" || cmd == "-h") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    const bool known = cmd == "list" || cmd == "import" || cmd == "export" || cmd == "delete";
    if (!known) return usage(("unknown command '" + cmd + "'").c_str());
    if (cmd == "list" && argc != 1) return usage("list takes nothing more");
    if ((cmd == "import" || cmd == "delete") && argc != 2) return usage((cmd + " takes one argument").c_str());
    if (cmd == "export" && argc < 3) return usage("export needs a file and at least one preset name");

    // Results on stdout, problems on stderr.
    ConsoleMessages messages(stderr, stdin, stdout);
    // Listing and exporting only read: they work on a read-only store too and
    // never create one.
    const bool reading = cmd == "list" || cmd == "export";
    RegistryStore store(RegistryStore::defaultPath(), &messages,
                        reading ? RegistryStore::Access::ReadOnly : RegistryStore::Access::ReadWrite);
    if (!store.ok()) return 1;
    const std::vector<std::string> names = store.subKeys("presets");

    if (cmd == "list") {
        for (const auto& n : names) std::printf("%s\n", n.c_str());
        return 0;
    }
    if (cmd == "import") return importPresetFile(store, argv[1], true, true, messages) == 0 ? 0 : 1;
    if (cmd == "delete") {
        const std::string name = storedName(names, argv[1]);
        if (name.empty()) {
            messages.show("Preset with that name not found.", {}, MessageIcon::Warning);
            return 1;
        }
        return store.deleteKey("presets\\" + name) ? 0 : 1;
    }
    // export: every name must exist; the file lists them as the manager does,
    // sorted by name.
    std::vector<std::string> chosen;
    for (int i = 2; i < argc; ++i) {
        const std::string name = storedName(names, argv[i]);
        if (name.empty()) {
            messages.show(std::string("Specified preset not found!") + " (" + argv[i] + ")", {}, MessageIcon::Warning);
            return 1;
        }
        if (std::find(chosen.begin(), chosen.end(), name) == chosen.end()) chosen.push_back(name);
    }
    std::sort(chosen.begin(), chosen.end(),
              [](const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) < 0; });
    return exportPresetFile(store, argv[1], chosen, messages) ? 0 : 1;
}

} // namespace stravik::app
