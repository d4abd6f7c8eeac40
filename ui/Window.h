#pragma once
// `korvex` without a mode: the window. `korvex --screenshot DIR`: the window
// offscreen, one picture per page and dialog, then exit.

namespace stravik::ui {

// argv holds the words after the program name. Returns the exit code.
int runWindow(int argc, char** argv);

} // namespace stravik::ui
