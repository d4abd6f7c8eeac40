#pragma once
// `korvex tune`: the tuner's analysis on a recorded WAV file, buffer by
// buffer, as the Tuner page would show it.

namespace stravik::app {

// argv holds the words after "tune". Returns the exit code: 0 done,
// 1 failed (the reason is on stderr), 2 usage error.
int tuneCommand(int argc, char** argv);

} // namespace stravik::app
