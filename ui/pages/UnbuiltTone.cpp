// Pages still to be built (tone and dynamics): the title row and its on/off
// box only.
#include "ui/pages/Pages.h"

#include <QLabel>

namespace stravik::ui {
namespace {

EffectPage* unbuilt(const char* title, int effect, WindowContext& c, QWidget* parent)
{
    auto* page = new EffectPage(QString::fromLatin1(title), effect, c, parent);
    page->refresh();
    return page;
}

} // namespace

EffectPage* makeAmpPage(WindowContext& c, QWidget* p) { return unbuilt("Amp simulator", kAmp, c, p); }
EffectPage* makeIoControlPage(WindowContext& c, QWidget* p) { return unbuilt("Input / output control", kIoControl, c, p); }
EffectPage* makeCompressorPage(WindowContext& c, QWidget* p) { return unbuilt("Compressor", kCompressor, c, p); }

} // namespace stravik::ui
