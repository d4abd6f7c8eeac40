// Pages still to be built (distortion, modulation, time): the title row and
// its on/off box only.
#include "ui/pages/Pages.h"

#include <QLabel>

namespace stravik::ui {
namespace {

EffectPage* unbuiltPage(const char* title, int effect, WindowContext& c, QWidget* parent)
{
    auto* page = new EffectPage(QString::fromLatin1(title), effect, c, parent);
    page->refresh();
    return page;
}

} // namespace

EffectPage* makeDistortionPage(WindowContext& c, QWidget* p) { return unbuiltPage("Distortion", kDistortion, c, p); }
EffectPage* makePitchPage(WindowContext& c, QWidget* p) { return unbuiltPage("Pitch shifter", kPitch, c, p); }
EffectPage* makeAutoWahPage(WindowContext& c, QWidget* p) { return unbuiltPage("Auto wah", kAutoWah, c, p); }
EffectPage* makeEnvWahPage(WindowContext& c, QWidget* p) { return unbuiltPage("Envelope wah", kEnvWah, c, p); }
EffectPage* makeReverbPage(WindowContext& c, QWidget* p) { return unbuiltPage("Reverb", kReverb, c, p); }
EffectPage* makeChorusPage(WindowContext& c, QWidget* p) { return unbuiltPage("Chorus", kChorus, c, p); }
EffectPage* makeTremoloPage(WindowContext& c, QWidget* p) { return unbuiltPage("Tremolo", kTremolo, c, p); }
EffectPage* makePhaserPage(WindowContext& c, QWidget* p) { return unbuiltPage("Phaser", kPhaser, c, p); }
EffectPage* makeSwellPage(WindowContext& c, QWidget* p) { return unbuiltPage("Volume swell", kSwell, c, p); }

} // namespace stravik::ui
