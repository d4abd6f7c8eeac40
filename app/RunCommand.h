#pragma once
// `korvex run`: a live run without the window.

namespace stravik::app {

// argv holds the words after "run". Exit code: 0 after a clean stop, 1 when
// the run could not start or a device failed, 2 for usage errors.
int runCommand(int argc, char** argv);

} // namespace stravik::app
