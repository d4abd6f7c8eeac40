#include "presets/SettingsStore.h"

#include "engine/Engine.h"
#include "engine/devices/AudioDevices.h"
#include "engine/ParameterTable.h"
#include "presets/RegistryStore.h"

namespace stravik {
namespace {

const char* subPathOf(Section s)
{
    switch (s) {
    case Section::Shortcuts: return "cfg\\Shortcuts";
    case Section::MIDIShortcuts: return "cfg\\MIDIShortcuts";
    default: return "cfg";
    }
}

bool isSettingsSection(Section s) { return s == Section::cfg || s == Section::Shortcuts || s == Section::MIDIShortcuts; }

} // namespace

DeviceCounts deviceCountsOf(AudioBackend& audio)
{
    DeviceCounts counts;
    counts.inputs = static_cast<int>(audio.captureDevices().size());
    counts.outputs = static_cast<int>(audio.playbackDevices().size());
    counts.tunerInputs = counts.inputs;
    return counts;
}

void readSettings(Engine& engine, const RegistryStore& store, const DeviceCounts& devices)
{
    for (const KeyInfo& k : parameterTable()) {
        if (!isSettingsSection(k.section) || !k.hasLiveValue()) continue;
        const std::string path = subPathOf(k.section);
        const std::string name = k.name;
        const int members = k.indexed() ? k.indexCount : 1;
        for (int m = 0; m < members; ++m) {
            const std::string key = keyName(k, m);
            if (k.stored == StoredType::String) {
                std::string text;
                store.ReadStringValue(key, text, k.readLimit, k.missingText, path);
                k.setText(engine, m, text);
                continue;
            }
            if (name == "tuner_s" || name == "tuner_us") {
                // 65535 (or nothing) keeps the built-in note of that string.
                const int v = store.ReadIntValue(key, 65535, path);
                if (v != 65535) k.set(engine, m, v);
                continue;
            }
            if (name == "DSDevice" || name == "WaveInDevice") {
                const bool out = name == "DSDevice";
                const int first = out ? devices.firstDirectOutput : devices.firstDirectInput;
                const int count = out ? devices.outputs : devices.inputs;
                int v = store.ReadIntValue(key, first >= 0 ? first : 0, path);
                if (v >= count || v < 0) v = 0;
                k.set(engine, m, v);
                continue;
            }
            if (name == "TunerWavein") {
                int v = store.ReadIntValue(key, 0, path);
                if (v >= devices.tunerInputs || v < 0) v = 0;
                k.set(engine, m, v);
                continue;
            }
            if (k.stored == StoredType::Int)
                k.set(engine, m, store.ReadIntValue(key, static_cast<int>(k.missing), path));
            else
                k.set(engine, m, store.ReadFloatValue(key, static_cast<float>(k.missing), path));
        }
    }
    // "Fastest" input needs a kernel driver that signals each finished
    // buffer; there is none here, so the setting is always off.
    engine.settings.InputFast = 0;
}

bool writeSettings(const Engine& engine, RegistryStore& store)
{
    RegistryStore::Transaction tx(store);
    // The tables are rewritten whole.
    store.deleteKey("cfg\\Shortcuts");
    store.deleteKey("cfg\\MIDIShortcuts");
    for (const KeyInfo& k : parameterTable()) {
        if (!isSettingsSection(k.section) || !k.hasLiveValue()) continue;
        const std::string path = subPathOf(k.section);
        const int members = k.indexed() ? k.indexCount : 1;
        for (int m = 0; m < members; ++m) {
            // FirstStart is written as 0: the program has closed normally once.
            const bool firstStart = std::string_view(k.name) == "FirstStart";
            store.write(keyName(k, m), firstStart ? RegistryStore::formatInt(0) : storedText(engine, k, m), path);
        }
    }
    return tx.commit();
}

} // namespace stravik
