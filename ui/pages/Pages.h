#pragma once
// The effect pages, one file each, and the list of them in the order of the
// effect list.
#include "presets/Shortcuts.h"
#include "ui/EffectPage.h"

namespace stravik::ui {

inline constexpr int kDistortion = Shortcuts::kDistortion;
inline constexpr int kAmp = Shortcuts::kAmp;
inline constexpr int kIoControl = Shortcuts::kIoControl;
inline constexpr int kEcho = Shortcuts::kEcho;
inline constexpr int kPitch = Shortcuts::kPitch;
inline constexpr int kAutoWah = Shortcuts::kAutoWah;
inline constexpr int kEnvWah = Shortcuts::kEnvWah;
inline constexpr int kReverb = Shortcuts::kReverb;
inline constexpr int kChorus = Shortcuts::kChorus;
inline constexpr int kTremolo = Shortcuts::kTremolo;
inline constexpr int kCompressor = Shortcuts::kCompressor;
inline constexpr int kPhaser = Shortcuts::kPhaser;
inline constexpr int kSwell = Shortcuts::kSwell;

EffectPage* makeDistortionPage(WindowContext& c, QWidget* parent);
EffectPage* makeAmpPage(WindowContext& c, QWidget* parent);
EffectPage* makeIoControlPage(WindowContext& c, QWidget* parent);
EffectPage* makeEchoPage(WindowContext& c, QWidget* parent);
EffectPage* makePitchPage(WindowContext& c, QWidget* parent);
EffectPage* makeAutoWahPage(WindowContext& c, QWidget* parent);
EffectPage* makeEnvWahPage(WindowContext& c, QWidget* parent);
EffectPage* makeReverbPage(WindowContext& c, QWidget* parent);
EffectPage* makeChorusPage(WindowContext& c, QWidget* parent);
EffectPage* makeTremoloPage(WindowContext& c, QWidget* parent);
EffectPage* makeCompressorPage(WindowContext& c, QWidget* parent);
EffectPage* makePhaserPage(WindowContext& c, QWidget* parent);
EffectPage* makeSwellPage(WindowContext& c, QWidget* parent);

} // namespace stravik::ui
