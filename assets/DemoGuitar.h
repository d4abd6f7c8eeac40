#pragma once
// A clean electric guitar, straight from the pickup (no amp, no effects),
// synthesised with a plucked-string model: the demonstration recording that
// `make demo` runs through the chain, and the test signal of the render
// benchmark.
#include <cstdint>
#include <vector>

namespace stravik::assets {

// About 20 seconds: a riff, then strummed chords, then a ringing chord.
// Mono 16-bit samples at the given rate, peaks near -6 dBFS.
std::vector<int16_t> synthesizeDemoGuitar(int sampleRate);

} // namespace stravik::assets
