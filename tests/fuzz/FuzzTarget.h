#pragma once
// What every fuzz target provides. The target itself is libFuzzer's entry
// point; seeds are built in code (nothing binary is kept in the tree) and
// joined by the files of the target's corpus folder.
#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

// Seed inputs made by the target itself.
std::vector<std::vector<uint8_t>> fuzzSeeds();
