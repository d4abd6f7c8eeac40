// korvex: the guitar processor. Command-line modes first; the window is the
// default when no mode is named.
#include "app/DevicesCommand.h"
#include "app/PluginMode.h"
#include "app/PresetsCommand.h"
#include "app/RenderCommand.h"
#include "app/RunCommand.h"
#include "app/TuneCommand.h"
#include "ui/Window.h"

#include <cstdio>
#include <cstring>

namespace {

const char kUsage[] =
    "usage: korvex run [--seconds S] [--input NAME] [--output NAME] [--in-file IN.wav] [--out-file OUT.wav]\n"
    "                  [--background BG.wav] [--force] [--preset NAME [--fxp FILE]] [--set KEY=VALUE]...\n"
    "       korvex devices\n"
    "       korvex render --in IN --out OUT.wav [--out-format pcm16|pcm24|float] [--out-rate HZ] [--channel N]\n"
    "                     [--background BG.wav] [--metronome] [--force] [--preset NAME [--fxp FILE]] [--set KEY=VALUE]...\n"
    "       korvex render --out-dir DIR [-j N] [options] IN...\n"
    "       korvex render --help\n"
    "       korvex tune FILE [--channel N] [--setup standard|bass|custom] [--notes LIST] [--string N] [--root HZ]\n"
    "       korvex tune --help\n"
    "       korvex presets list | import FILE.fxp | export FILE.fxp NAME... | delete NAME\n"
    "       korvex                   (the window)\n"
    "       korvex --screenshot DIR  (a picture of every page and dialog, without a display)\n"
    "       korvex /vst SLOT PATH    (started by the Brelt plug-in: the engine of one instance)\n";

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "/vst") == 0) return stravik::app::pluginMode(argc, argv);
    if (argc >= 2 && std::strcmp(argv[1], "run") == 0) return stravik::app::runCommand(argc - 2, argv + 2);
    if (argc >= 2 && std::strcmp(argv[1], "devices") == 0) return stravik::app::devicesCommand(argc - 2, argv + 2);
    if (argc >= 2 && std::strcmp(argv[1], "render") == 0) return stravik::app::renderCommand(argc - 2, argv + 2);
    if (argc >= 2 && std::strcmp(argv[1], "presets") == 0) return stravik::app::presetsCommand(argc - 2, argv + 2);
    if (argc >= 2 && std::strcmp(argv[1], "tune") == 0) return stravik::app::tuneCommand(argc - 2, argv + 2);
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    return stravik::ui::runWindow(argc - 1, argv + 1);
}
