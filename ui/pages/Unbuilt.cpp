// Pages still to be built: the title row and its on/off box only.
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

EffectPage* makeDistortionPage(WindowContext& c, QWidget* p) { return unbuilt("Distortion", kDistortion, c, p); }
EffectPage* makeAmpPage(WindowContext& c, QWidget* p) { return unbuilt("Amp simulator", kAmp, c, p); }
EffectPage* makeIoControlPage(WindowContext& c, QWidget* p) { return unbuilt("Input / output control", kIoControl, c, p); }
EffectPage* makePitchPage(WindowContext& c, QWidget* p) { return unbuilt("Pitch shifter", kPitch, c, p); }
EffectPage* makeAutoWahPage(WindowContext& c, QWidget* p) { return unbuilt("Auto wah", kAutoWah, c, p); }
EffectPage* makeEnvWahPage(WindowContext& c, QWidget* p) { return unbuilt("Envelope wah", kEnvWah, c, p); }
EffectPage* makeReverbPage(WindowContext& c, QWidget* p) { return unbuilt("Reverb", kReverb, c, p); }
EffectPage* makeChorusPage(WindowContext& c, QWidget* p) { return unbuilt("Chorus", kChorus, c, p); }
EffectPage* makeTremoloPage(WindowContext& c, QWidget* p) { return unbuilt("Tremolo", kTremolo, c, p); }
EffectPage* makeCompressorPage(WindowContext& c, QWidget* p) { return unbuilt("Compressor", kCompressor, c, p); }
EffectPage* makePhaserPage(WindowContext& c, QWidget* p) { return unbuilt("Phaser", kPhaser, c, p); }
EffectPage* makeSwellPage(WindowContext& c, QWidget* p) { return unbuilt("Volume swell", kSwell, c, p); }

} // namespace stravik::ui
