#pragma once
// `korvex devices`: the audio devices a run can use.

namespace stravik::app {

// argv holds the words after "devices". Exit code 0 (2 for usage errors).
int devicesCommand(int argc, char** argv);

} // namespace stravik::app
