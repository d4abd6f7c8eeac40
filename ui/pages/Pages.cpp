#include "ui/pages/Pages.h"

namespace stravik::ui {

const std::vector<EffectPageInfo>& effectPages()
{
    static const std::vector<EffectPageInfo> pages = {
        {"Distortion", "distortion", makeDistortionPage}, {"AmpSim", "ampsim", makeAmpPage},
        {"I/O EQ", "io-eq", makeIoControlPage},           {"Echo", "echo", makeEchoPage},
        {"Pitch", "pitch", makePitchPage},                {"AutoWah", "autowah", makeAutoWahPage},
        {"EnvWah", "envwah", makeEnvWahPage},             {"Reverb", "reverb", makeReverbPage},
        {"Chorus", "chorus", makeChorusPage},             {"Tremolo", "tremolo", makeTremoloPage},
        {"Compress", "compress", makeCompressorPage},     {"Phaser", "phaser", makePhaserPage},
        {"VolSwell", "volswell", makeSwellPage},
    };
    return pages;
}

} // namespace stravik::ui
