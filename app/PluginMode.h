#pragma once
// `korvex /vst SLOT PATH`: the engine of a plug-in instance, started by
// Brelt.so in a host.

namespace stravik::app {

// argv holds every word of the command line, the program's name first.
// Returns the exit code.
int pluginMode(int argc, char** argv);

} // namespace stravik::app
