// korvex: the guitar processor. Command-line modes first; the window is the
// default when no mode is named.
#include "app/PresetsCommand.h"
#include "app/RenderCommand.h"
#include "app/TuneCommand.h"

#include <cstdio>
#include <cstring>

namespace {

const char kUsage[] =
    "usage: korvex render --in IN.wav --out OUT.wav [--background BG.wav] [--metronome] [--set KEY=VALUE]...\n"
    "       korvex render --help\n"
    "       korvex tune FILE.wav [--setup standard|bass|custom] [--notes LIST] [--string N] [--root HZ]\n"
    "       korvex tune --help\n"
    "       korvex presets list | import FILE.fxp | export FILE.fxp NAME... | delete NAME\n";

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "render") == 0) return stravik::app::renderCommand(argc - 2, argv + 2);
    if (argc >= 2 && std::strcmp(argv[1], "presets") == 0) return stravik::app::presetsCommand(argc - 2, argv + 2);
    if (argc >= 2 && std::strcmp(argv[1], "tune") == 0) return stravik::app::tuneCommand(argc - 2, argv + 2);
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    std::fputs("korvex: the window is not part of this build yet; use a command-line mode.\n", stderr);
    std::fputs(kUsage, stderr);
    return 2;
}
