#pragma once
// Test stand-ins for what a preset load asks of the effect units.
#include "presets/PresetStore.h"

#include <mutex>
#include <vector>

namespace presetfakes {

// A library laid out as the real one: entries 0..11 carry the codes of the
// oldest presets, entry 40 is "no cabinet" (code 0), the others 600 + index.
class FakeEffects : public stravik::PresetEffects {
public:
    int staleTables = 0;
    int reverbOns = 0;
    int wahSwitches = 0;
    std::vector<stravik::Section> recomputed;
    int libraryCount = 41;

    void distortionTableStale() override { ++staleTables; }
    void recompute(stravik::Section s) override { recomputed.push_back(s); }
    int irCount() const override { return libraryCount; }
    int irCode(int index) const override
    {
        static const int first[12] = {101, 102, 103, 104, 105, 201, 202, 301, 302, 401, 501, 502};
        if (index < 12) return first[index];
        if (index == 40) return 0;
        return 600 + index;
    }
    int irReferences = 0;
    void irReferenceLoaded() override { ++irReferences; }
    void reverbSwitchedOn() override { ++reverbOns; }
    void wahSwitched() override { ++wahSwitches; }
};

} // namespace presetfakes
