#pragma once
// Presets without the mouse: 24 function-key combinations and 64 MIDI
// program numbers each name a preset; MIDI controllers switch effects and set
// the volumes. Also the effect list's on/off switch, which MIDI shares with
// the main window.
#include <array>
#include <atomic>
#include <string>

namespace stravik {

class Engine;
class PresetStore;
class PresetEffects;

// What the window shows of these actions (called on the acting thread).
class ShortcutListener {
public:
    virtual ~ShortcutListener() = default;
    // A preset was loaded: select it in the preset box, refresh the page.
    virtual void presetActivated(const std::string& /*name*/) {}
    // Effect lamps and on/off boxes.
    virtual void indicatorsChanged(const std::array<bool, 13>& /*on*/) {}
    // A volume changed: move its slider and label.
    virtual void volumesChanged() {}
};

class Shortcuts {
public:
    // Effect indices, in the order of the effect list.
    enum Effect : int {
        kDistortion = 0, kAmp, kIoControl, kEcho, kPitch, kAutoWah, kEnvWah, kReverb, kChorus, kTremolo,
        kCompressor, kPhaser, kSwell, kEffectCount
    };

    Shortcuts(Engine& engine, PresetStore& presets, PresetEffects& effects);
    void setListener(ShortcutListener* l) { listener_ = l; }

    // A key-down of F1..F12 (key 1..12; anything else is passed on) while the
    // shortcuts are on and the window has the focus. repeat is set for the
    // auto-repeat of a held key. True when the key was used (swallowed).
    bool functionKey(int key, bool ctrl, bool repeat);

    // One MIDI message: channel 1..16, type = upper four bits of the status.
    void midiMessage(int channel, int type, int data1, int data2);

    // A program number from the plug-in host (no channel test).
    bool programChange(int program);

    // The effect list's switch.
    void toggleEffect(int effect);
    bool effectOn(int effect) const;

    // The volume of MIDI controllers 119 and 120: d = value - 70 dB within
    // -70..15, gain 10^((d + 0.5) / 20).
    static float midiVolume(int value);

private:
    bool activate(const std::string& name, bool askUser);

    Engine& engine_;
    PresetStore& presets_;
    PresetEffects& effects_;
    ShortcutListener* listener_ = nullptr;
    int lastKey_ = 0;
    std::atomic<bool> loading_{false};
    // Which switches of the two groups were on when the group went off.
    std::array<bool, 5> rememberedIo_{};
    std::array<bool, 2> rememberedCompressors_{};
};

} // namespace stravik
