#pragma once
// Named presets: snapshots of chosen sections of the effect settings, kept in
// the store under "presets\<name>", one text value per key.
#include "engine/ParameterTable.h"

#include <array>
#include <mutex>
#include <string>
#include <vector>

namespace stravik {

class Engine;
class KeySnapshot;
class RegistryStore;
class UserMessages;

using SectionFlags = std::array<bool, kPresetSectionCount>;

// The Load preset dialog (the window implements it).
class LoadPresetDialog {
public:
    virtual ~LoadPresetDialog() = default;
    // "Load preset - <name>": held says which sections the preset has; the
    // dialog edits selection (boxes of held sections only) and turnOffOthers.
    // False when the user cancels.
    virtual bool choose(const std::string& name, const SectionFlags& held, SectionFlags& selection,
                        bool& turnOffOthers) = 0;
};

// What the window shows of a preset load. Called on the loading thread.
class PresetListener {
public:
    virtual ~PresetListener() = default;
    // The 13 effect lamps, in the order of the effect list.
    virtual void indicatorsChanged(const std::array<bool, 13>& /*on*/) {}
    // The input and output volumes changed: move their sliders and labels.
    virtual void volumesChanged() {}
};

// The effect operations a preset load needs, provided by the owner of the
// effect units.
class PresetEffects {
public:
    virtual ~PresetEffects() = default;
    // The distortion's transfer table must be computed again.
    virtual void distortionTableStale() = 0;
    // While a run is going: let the section's effect recompute from its new
    // settings (called in the order the effects need).
    virtual void recompute(Section section) = 0;
    // The built-in impulse-response library: its size and each entry's code.
    virtual int irCount() const = 0;
    virtual int irCode(int index) const = 0;
    // A preset's library reference (ir_num, ir_code) was read: resolve the
    // code to its entry, or say "IR not found!".
    virtual void irReferenceLoaded() = 0;
    // The effect list's switches: the reverb starts from silence when it is
    // switched on; the wah filter follows a switch of either wah.
    virtual void reverbSwitchedOn() = 0;
    virtual void wahSwitched() = 0;
};

class PresetStore {
public:
    static constexpr const char* kPlaceholder = "(Enter preset name)";
    static constexpr int kMaxNameLength = 126;
    static constexpr int kMaxGraphicPoints = 100;

    PresetStore(Engine& engine, RegistryStore& store, UserMessages& messages, PresetEffects& effects);

    void setLoadDialog(LoadPresetDialog* dialog) { dialog_ = dialog; }
    void setListener(PresetListener* listener) { listener_ = listener; }

    // Names of the stored presets, sorted without regard to case.
    std::vector<std::string> ListPresets() const;
    // True when name is stored (without regard to case).
    bool exists(const std::string& name) const;
    // Writes the sections selected in saveSelection under name (replacing a
    // preset of that name). False, with a message, for a name the store
    // cannot hold, or when the store could not be written.
    bool WritePreset(const std::string& name);
    // 0 when the preset was applied (or name is the placeholder), 1 when the
    // name is empty or unknown or the user cancelled.
    int LoadPreset(const std::string& name, bool askUser);
    bool DeletePreset(const std::string& name);

    // Why a name cannot be a preset name ("" when it can).
    static std::string nameProblem(const std::string& name);

    // The selections, kept for the whole run of the program. A load sets
    // both to the sections the preset holds.
    SectionFlags saveSelection() const;
    void setSaveSelection(const SectionFlags& s);
    SectionFlags loadSelection() const;
    bool turnOffOthers() const;
    void setTurnOffOthers(bool on);
    // The last preset loaded from the list or saved.
    std::string currentPresetName() const;
    void setCurrentPresetName(const std::string& name);

    // The 13 effect lamps as the enable flags say now.
    std::array<bool, 13> indicators() const;

    RegistryStore& store() { return store_; }

private:
    void writeSection(Section s, const std::string& path);
    void readSection(Section s, const KeySnapshot& stored);
    bool eqKeyApplies(const KeyInfo& k, int eqType) const;
    int eqTypeOf(EqOwner owner) const;
    int graphicCount(EqOwner owner) const;

    Engine& engine_;
    RegistryStore& store_;
    UserMessages& messages_;
    PresetEffects& effects_;
    LoadPresetDialog* dialog_ = nullptr;
    PresetListener* listener_ = nullptr;
    // One load or write at a time (the window and the MIDI thread both load).
    mutable std::recursive_mutex mutex_;
    SectionFlags saveSelection_{};
    SectionFlags loadSelection_{};
    bool turnOffOthers_ = true;
    std::string currentPresetName_ = kPlaceholder;
};

} // namespace stravik
