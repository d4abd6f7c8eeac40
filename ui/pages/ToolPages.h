#pragma once
// The tool pages, one file each.
#include "ui/ToolPage.h"

#include <functional>
#include <string>
#include <vector>

namespace stravik::tools {
class Metronome;
}

namespace stravik::ui {

ToolPage* makeMetroPage(WindowContext& c, tools::Metronome& metronome, QWidget* parent);
ToolPage* makeKeysPage(WindowContext& c, QWidget* parent);
ToolPage* makeFilesPage(WindowContext& c, QWidget* parent);
ToolPage* makeTunerPage(WindowContext& c, QWidget* parent);
// restart: closes the window and starts the program again (a new zoom).
ToolPage* makeSetupPage(WindowContext& c, std::function<void()> restart, QWidget* parent);
// devices: lists the MIDI inputs when the setup dialog opens.
ToolPage* makeMidiPage(WindowContext& c, std::function<std::vector<std::string>()> devices, QWidget* parent);

} // namespace stravik::ui
