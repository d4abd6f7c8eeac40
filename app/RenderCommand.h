#pragma once
// `korvex render`: the chain on WAV files from the command line.

namespace stravik::app {

// argv holds the words after "render". Returns the exit code: 0 done,
// 1 failed (the reason is on stderr), 2 usage error.
int renderCommand(int argc, char** argv);

} // namespace stravik::app
