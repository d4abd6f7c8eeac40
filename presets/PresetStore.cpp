#include "presets/PresetStore.h"

#include "dsp/UserMessages.h"
#include "effects/modulation/Wah.h"
#include "effects/tone/Distortion.h"
#include "engine/Engine.h"
#include "presets/RegistryStore.h"

#include <algorithm>
#include <strings.h>

namespace stravik {
namespace {

const std::string kPresetsKey = "presets";

std::string presetPath(const std::string& name) { return kPresetsKey + "\\" + name; }

bool named(const KeyInfo& k, const char* name) { return std::string_view(k.name) == name; }

// The enable flags a preset load with "Turn off other effects" clears.
void turnEverythingOff(Engine& e)
{
    auto& p = e.params;
    p.swell.swell_enabled = 0;
    p.amp.spkcab_enabled = 0;
    p.phaser.phaser_enabled = 0;
    p.compr.ocompr_enabled = 0;
    p.compr.icompr_enabled = 0;
    p.ewah.ewah_enabled = 0;
    p.trem.trem_enabled = 0;
    p.chorus.chorus_enabled = 0;
    p.wah.wah_enabled = 0;
    p.rev.rev_enabled = 0;
    p.pitch.pitch_enabled = 0;
    p.echo.echo_enabled = 0;
    p.io.nf_enabled = 0;
    p.io.ictrl_enabled = 0;
    p.io.octrl_enabled = 0;
    p.io.io_hiss = 0;
    p.io.io_50hz = 0;
    p.dist.dist_enabled = 0;
}

} // namespace

PresetStore::PresetStore(Engine& engine, RegistryStore& store, UserMessages& messages, PresetEffects& effects)
    : engine_(engine), store_(store), messages_(messages), effects_(effects)
{
}

SectionFlags PresetStore::saveSelection() const
{
    std::lock_guard lock(mutex_);
    return saveSelection_;
}
void PresetStore::setSaveSelection(const SectionFlags& s)
{
    std::lock_guard lock(mutex_);
    saveSelection_ = s;
}
SectionFlags PresetStore::loadSelection() const
{
    std::lock_guard lock(mutex_);
    return loadSelection_;
}
bool PresetStore::turnOffOthers() const
{
    std::lock_guard lock(mutex_);
    return turnOffOthers_;
}
void PresetStore::setTurnOffOthers(bool on)
{
    std::lock_guard lock(mutex_);
    turnOffOthers_ = on;
}
std::string PresetStore::currentPresetName() const
{
    std::lock_guard lock(mutex_);
    return currentPresetName_;
}
void PresetStore::setCurrentPresetName(const std::string& name)
{
    std::lock_guard lock(mutex_);
    currentPresetName_ = name;
}

std::string PresetStore::nameProblem(const std::string& name)
{
    if (name.empty() || name == kPlaceholder) return "First type a name for a preset.";
    if (static_cast<int>(name.size()) > kMaxNameLength) return "A preset name is at most 126 characters long.";
    for (unsigned char c : name) {
        // A backslash would make a key below the preset's key, and a "]"
        // would end the preset's section early in a preset file.
        if (c == '\\' || c == ']' || c < 0x20 || c == 0x7F)
            return "A preset name cannot contain \\, ] or control characters.";
    }
    return {};
}

std::vector<std::string> PresetStore::ListPresets() const { return store_.subKeys(kPresetsKey); }

bool PresetStore::exists(const std::string& name) const
{
    // A backslash would name a key below a preset, never a preset.
    if (name.empty() || name.find('\\') != std::string::npos) return false;
    return store_.keyExists(presetPath(name));
}

int PresetStore::graphicCount(EqOwner owner) const
{
    const auto& p = engine_.params;
    const int n = owner == EqOwner::Input ? p.io.ictrl.pointCount.get()
                  : owner == EqOwner::Output ? p.io.octrl.pointCount.get()
                                             : p.amp.actrl.pointCount.get();
    return std::clamp(n, 0, kMaxGraphicPoints);
}

int PresetStore::eqTypeOf(EqOwner owner) const
{
    switch (owner) {
    case EqOwner::Input: return engine_.params.io.ictrl.eqtype;
    case EqOwner::Output: return engine_.params.io.octrl.eqtype;
    case EqOwner::Amp: return engine_.params.amp.actrl.eqtype;
    case EqOwner::None: break;
    }
    return 0;
}

bool PresetStore::eqKeyApplies(const KeyInfo& k, int eqType) const
{
    switch (k.role) {
    case KeyRole::EqTone: return eqType < 3;
    case KeyRole::EqBands: return eqType == 3;
    case KeyRole::EqGraphicCount:
    case KeyRole::EqGraphicPoint: return eqType >= 4;
    default: return true;
    }
}

void PresetStore::writeSection(Section s, const std::string& path)
{
    const bool irFile = engine_.params.amp.spkcab_file != 0;
    const auto table = parameterTable();
    for (size_t i = 0; i < table.size(); ++i) {
        const KeyInfo& k = table[i];
        if (k.section != s || k.role == KeyRole::Legacy) continue;
        if (k.role == KeyRole::IrFile && !irFile) continue;
        if (k.role == KeyRole::IrLibrary && irFile) continue;
        if (!eqKeyApplies(k, eqTypeOf(k.eq))) continue;
        if (k.role == KeyRole::EqGraphicPoint) {
            // x and y of each point in turn, after the count; the y family
            // (the next entry) is written here with its x.
            if (std::string_view(k.name).ends_with("_y")) continue;
            const KeyInfo& y = table[i + 1];
            const int n = graphicCount(k.eq);
            for (int p = 0; p < n; ++p) {
                store_.write(keyName(k, p), storedText(engine_, k, p), path);
                store_.write(keyName(y, p), storedText(engine_, y, p), path);
            }
            continue;
        }
        if (named(k, "ir_code")) {
            // The library entry's own code, so that the preset survives a
            // reordering of the library.
            const int num = engine_.params.amp.ir_num;
            const int code = num >= 0 && num < effects_.irCount() ? effects_.irCode(num) : engine_.params.amp.ir_code.get();
            store_.write(k.name, RegistryStore::formatInt(code), path);
            continue;
        }
        const int members = k.indexed() ? k.indexCount : 1;
        for (int m = 0; m < members; ++m) store_.write(keyName(k, m), storedText(engine_, k, m), path);
    }
}

bool PresetStore::WritePreset(const std::string& name)
{
    std::lock_guard lock(mutex_);
    if (const std::string problem = nameProblem(name); !problem.empty()) {
        messages_.show(problem, {}, MessageIcon::Information);
        return false;
    }
    const std::string path = presetPath(name);
    RegistryStore::Transaction tx(store_);
    // Sections not selected now must not survive from an earlier save.
    store_.deleteKey(path);
    for (int i = 0; i < kPresetSectionCount; ++i) {
        if (!saveSelection_[static_cast<size_t>(i)]) continue;
        const auto s = static_cast<Section>(i);
        store_.write(sectionName(s), "1", path);
        writeSection(s, path);
    }
    if (!tx.commit()) return false;
    currentPresetName_ = name;
    return true;
}

void PresetStore::readSection(Section s, const KeySnapshot& stored)
{
    Engine& e = engine_;
    const auto readInto = [&](const KeyInfo& k, int index) {
        const std::string key = keyName(k, index);
        switch (k.stored) {
        case StoredType::Int:
            k.set(e, index, stored.ReadIntValue(key, static_cast<int>(k.missing)));
            break;
        case StoredType::Float:
            k.set(e, index, stored.ReadFloatValue(key, static_cast<float>(k.missing)));
            break;
        case StoredType::String: {
            std::string text;
            stored.ReadStringValue(key, text, k.readLimit, k.missingText);
            k.setText(e, index, text);
            break;
        }
        }
        applyDerivedValues(e, k);
    };
    const auto table = parameterTable();
    // First the plain keys (the equaliser types and the impulse-response
    // source among them), because they decide which of the others to read.
    for (const KeyInfo& k : table) {
        if (k.section != s || k.role != KeyRole::Always) continue;
        if (named(k, "icompr_enabled") || named(k, "ocompr_enabled")) continue; // applied last
        const int members = k.indexed() ? k.indexCount : 1;
        for (int m = 0; m < members; ++m) readInto(k, m);
    }
    const bool irFile = e.params.amp.spkcab_file != 0;
    for (size_t i = 0; i < table.size(); ++i) {
        const KeyInfo& k = table[i];
        if (k.section != s || k.role == KeyRole::Always || k.role == KeyRole::Legacy) continue;
        if (k.role == KeyRole::IrFile && !irFile) continue;
        if (k.role == KeyRole::IrLibrary && irFile) continue;
        if (!eqKeyApplies(k, eqTypeOf(k.eq))) continue;
        if (k.role == KeyRole::EqGraphicCount) {
            // More points than the curve holds are cut to its capacity.
            const int n = stored.ReadIntValue(k.name, static_cast<int>(k.missing));
            k.set(e, 0, std::clamp(n, 0, kMaxGraphicPoints));
            continue;
        }
        if (k.role == KeyRole::EqGraphicPoint) {
            const int count = graphicCount(k.eq); // read just before
            for (int p = 0; p < count; ++p) readInto(k, p);
            continue;
        }
        const int members = k.indexed() ? k.indexCount : 1;
        for (int m = 0; m < members; ++m) readInto(k, m);
    }

    // The rules for keys older presets lack.
    auto& p = e.params;
    switch (s) {
    case Section::distortion:
        if (p.dist.dist_mode == -1)
            p.dist.dist_mode = effects::distortionModeFromPreset(-1, stored.ReadIntValue("dist_overdrv", 0));
        break;
    case Section::wah:
        if (p.wah.wah_mode == -1)
            p.wah.wah_mode = effects::wahModeFromTalkBox(stored.ReadIntValue("wah_talk_box", 0));
        break;
    case Section::ewah:
        if (p.ewah.ewah_mode == -1)
            p.ewah.ewah_mode = effects::wahModeFromTalkBox(stored.ReadIntValue("ewah_talk_box", 0));
        break;
    case Section::spkcab:
        if (!irFile) effects_.irReferenceLoaded();
        break;
    default: break;
    }
}

int PresetStore::LoadPreset(const std::string& name, bool askUser)
{
    std::lock_guard lock(mutex_);
    if (name.empty()) return 1;
    if (name == kPlaceholder) return 0;
    if (!exists(name)) {
        messages_.show("Specified preset not found!", {}, MessageIcon::Warning);
        return 1;
    }
    // One read of the whole preset; MIDI program changes load from here too.
    const KeySnapshot stored = store_.snapshot(presetPath(name));
    SectionFlags held{};
    for (int i = 0; i < kPresetSectionCount; ++i)
        held[static_cast<size_t>(i)] = stored.ReadIntValue(sectionName(static_cast<Section>(i)), 0) != 0;
    SectionFlags selection = held;
    bool turnOff = turnOffOthers_;
    if (!askUser || dialog_ == nullptr) {
        turnOff = true;
    } else if (!dialog_->choose(name, held, selection, turnOff)) {
        return 1;
    }
    for (int i = 0; i < kPresetSectionCount; ++i)
        selection[static_cast<size_t>(i)] = selection[static_cast<size_t>(i)] && held[static_cast<size_t>(i)];
    loadSelection_ = selection;
    saveSelection_ = held;
    turnOffOthers_ = turnOff;

    Engine& e = engine_;
    // From the next block on the chain processes silence, so the guitar
    // never passes a half-applied preset (tails ring on).
    const Engine::PresetLoadGuard loading(e);
    if (turnOff) turnEverythingOff(e);
    const auto loaded = [&](Section s) { return selection[static_cast<size_t>(s)]; };
    for (int i = 0; i < kPresetSectionCount; ++i) {
        const auto s = static_cast<Section>(i);
        if (!loaded(s)) continue;
        readSection(s, stored);
        if (s == Section::distortion) effects_.distortionTableStale();
        if (s == Section::IO_Volumes && listener_) listener_->volumesChanged();
    }
    if (e.running) {
        const Section order[] = {Section::distortion, Section::ioctrl, Section::wah,    Section::chorus, Section::reverb,
                                 Section::echo,       Section::phaser, Section::pitch,  Section::spkcab};
        for (Section s : order) {
            // The envelope wah shares the wah's filters.
            const bool wanted = loaded(s) || (s == Section::wah && loaded(Section::ewah));
            if (wanted) effects_.recompute(s);
        }
    }
    if (loaded(Section::compress)) {
        e.params.compr.icompr_enabled = stored.ReadIntValue("icompr_enabled", 0);
        e.params.compr.ocompr_enabled = stored.ReadIntValue("ocompr_enabled", 0);
    }
    if (listener_) listener_->indicatorsChanged(indicators());
    return 0;
}

bool PresetStore::DeletePreset(const std::string& name)
{
    std::lock_guard lock(mutex_);
    if (name.empty()) return false;
    return store_.deleteKey(presetPath(name));
}

std::array<bool, 13> PresetStore::indicators() const
{
    const auto& p = engine_.params;
    return {p.dist.dist_enabled != 0,
            p.amp.spkcab_enabled != 0,
            p.io.nf_enabled || p.io.io_50hz || p.io.io_hiss || p.io.octrl_enabled || p.io.ictrl_enabled,
            p.echo.echo_enabled != 0,
            p.pitch.pitch_enabled != 0,
            p.wah.wah_enabled != 0,
            p.ewah.ewah_enabled != 0,
            p.rev.rev_enabled != 0,
            p.chorus.chorus_enabled != 0,
            p.trem.trem_enabled != 0,
            p.compr.ocompr_enabled || p.compr.icompr_enabled,
            p.phaser.phaser_enabled != 0,
            p.swell.swell_enabled != 0};
}

} // namespace stravik
