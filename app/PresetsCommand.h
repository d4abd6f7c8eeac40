#pragma once
// `korvex presets`: the user's presets from the command line.

namespace stravik::app {

// argv holds the words after "presets". 0 done, 1 failed, 2 usage error.
int presetsCommand(int argc, char** argv);

} // namespace stravik::app
