#include "presets/Shortcuts.h"

#include "engine/Engine.h"
#include "presets/PresetStore.h"

#include <algorithm>
#include <cmath>

namespace stravik {

Shortcuts::Shortcuts(Engine& engine, PresetStore& presets, PresetEffects& effects)
    : engine_(engine), presets_(presets), effects_(effects)
{
}

bool Shortcuts::activate(const std::string& name, bool askUser)
{
    if (presets_.LoadPreset(name, askUser) != 0) return false;
    presets_.setCurrentPresetName(name);
    if (listener_) listener_->presetActivated(name);
    return true;
}

bool Shortcuts::functionKey(int key, bool ctrl, bool repeat)
{
    if (!engine_.settings.ShortcutsON) return false;
    // A held key loads its preset once.
    if (repeat && key == lastKey_) return true;
    if (key < 1 || key > 12) return false;
    lastKey_ = key;
    const int index = key - 1 + (ctrl ? 12 : 0);
    const std::string name = engine_.settings.Shortcuts[index].get();
    if (name.empty()) return false;
    // A key arriving while the load dialog of the previous one is open.
    if (loading_.exchange(true)) return true;
    activate(name, engine_.settings.ShortcutDial == 0);
    loading_ = false;
    return true;
}

bool Shortcuts::programChange(int program)
{
    if (!engine_.settings.MIDIShortcutsON || program < 0 || program > 63) return false;
    const std::string name = engine_.settings.MIDIShortcuts[program].get();
    if (name.empty()) return false;
    return activate(name, false);
}

void Shortcuts::midiMessage(int channel, int type, int data1, int data2)
{
    // "MIDI control enabled" switches program changes and effect control
    // together.
    if (!engine_.settings.MIDIShortcutsON) return;
    const int wanted = engine_.settings.ProgMidiChan;
    if (wanted != 0 && wanted != channel) return;
    if (type == 12) {
        programChange(data1);
        return;
    }
    if (type != 11 || !engine_.settings.CtrlMidiEnable) return;
    if (data1 >= 100 && data1 <= 112) {
        const int effect = data1 - 100;
        if (effectOn(effect) != (data2 >= 64)) toggleEffect(effect);
        return;
    }
    if (data1 == 119 || data1 == 120) {
        (data1 == 119 ? engine_.volumes.InputVolume : engine_.volumes.OutputVolume) = midiVolume(data2);
        if (listener_) listener_->volumesChanged();
    }
}

float Shortcuts::midiVolume(int value)
{
    const int d = std::clamp(value - 70, -70, 15);
    return static_cast<float>(std::pow(10.0, (d + 0.5) / 20.0));
}

bool Shortcuts::effectOn(int effect) const
{
    const auto& p = engine_.params;
    switch (effect) {
    case kDistortion: return p.dist.dist_enabled != 0;
    case kAmp: return p.amp.spkcab_enabled != 0;
    case kIoControl: return p.io.nf_enabled || p.io.io_50hz || p.io.io_hiss || p.io.octrl_enabled || p.io.ictrl_enabled;
    case kEcho: return p.echo.echo_enabled != 0;
    case kPitch: return p.pitch.pitch_enabled != 0;
    case kAutoWah: return p.wah.wah_enabled != 0;
    case kEnvWah: return p.ewah.ewah_enabled != 0;
    case kReverb: return p.rev.rev_enabled != 0;
    case kChorus: return p.chorus.chorus_enabled != 0;
    case kTremolo: return p.trem.trem_enabled != 0;
    case kCompressor: return p.compr.ocompr_enabled || p.compr.icompr_enabled;
    case kPhaser: return p.phaser.phaser_enabled != 0;
    case kSwell: return p.swell.swell_enabled != 0;
    default: return false;
    }
}

void Shortcuts::toggleEffect(int effect)
{
    auto& p = engine_.params;
    const auto flip = [](Param<int>& flag) { flag = flag ? 0 : 1; };
    switch (effect) {
    case kDistortion: flip(p.dist.dist_enabled); break;
    case kAmp: flip(p.amp.spkcab_enabled); break;
    case kEcho: flip(p.echo.echo_enabled); break;
    case kPitch: flip(p.pitch.pitch_enabled); break;
    case kChorus: flip(p.chorus.chorus_enabled); break;
    case kTremolo: flip(p.trem.trem_enabled); break;
    case kPhaser: flip(p.phaser.phaser_enabled); break;
    case kSwell: flip(p.swell.swell_enabled); break;
    case kReverb:
        if (!p.rev.rev_enabled) effects_.reverbSwitchedOn(); // no old tail comes back
        flip(p.rev.rev_enabled);
        break;
    case kAutoWah:
        // At most one of the two wahs is on.
        flip(p.wah.wah_enabled);
        p.ewah.ewah_enabled = 0;
        effects_.wahSwitched();
        break;
    case kEnvWah:
        flip(p.ewah.ewah_enabled);
        p.wah.wah_enabled = 0;
        effects_.wahSwitched();
        break;
    case kIoControl: {
        Param<int>* io[5] = {&p.io.nf_enabled, &p.io.io_50hz, &p.io.io_hiss, &p.io.octrl_enabled, &p.io.ictrl_enabled};
        if (effectOn(kIoControl)) {
            for (int i = 0; i < 5; ++i) {
                rememberedIo_[static_cast<size_t>(i)] = io[i]->get() != 0;
                *io[i] = 0;
            }
        } else {
            for (int i = 0; i < 5; ++i)
                if (rememberedIo_[static_cast<size_t>(i)]) *io[i] = 1;
        }
        break;
    }
    case kCompressor: {
        Param<int>* c[2] = {&p.compr.icompr_enabled, &p.compr.ocompr_enabled};
        if (effectOn(kCompressor)) {
            for (int i = 0; i < 2; ++i) {
                rememberedCompressors_[static_cast<size_t>(i)] = c[i]->get() != 0;
                *c[i] = 0;
            }
        } else {
            for (int i = 0; i < 2; ++i)
                if (rememberedCompressors_[static_cast<size_t>(i)]) *c[i] = 1;
        }
        break;
    }
    default: return;
    }
    if (listener_) listener_->indicatorsChanged(presets_.indicators());
}

} // namespace stravik
