#pragma once
// The tool pages, one file each.
#include "ui/ToolPage.h"

namespace stravik::tools {
class Metronome;
}

namespace stravik::ui {

ToolPage* makeMetroPage(WindowContext& c, tools::Metronome& metronome, QWidget* parent);
ToolPage* makeKeysPage(WindowContext& c, QWidget* parent);

} // namespace stravik::ui
