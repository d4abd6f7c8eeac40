// Runs a fuzz target as an ordinary test: every seed and every file of the
// corpus folder, then a fixed number of deterministic mutations of each, so
// that the sanitizer builds exercise the readers on damaged input every time
// the tests run. (`make fuzz` runs the real fuzzers.)
#include "FuzzTarget.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

int main(int argc, char** argv)
{
    std::vector<std::vector<uint8_t>> inputs = fuzzSeeds();
    // `--write-seeds DIR`: hands the built-in seeds to a real fuzzer's corpus.
    if (argc == 3 && std::string(argv[1]) == "--write-seeds") {
        std::filesystem::create_directories(argv[2]);
        for (size_t i = 0; i < inputs.size(); ++i) {
            std::ofstream f(std::filesystem::path(argv[2]) / ("seed-" + std::to_string(i)), std::ios::binary);
            f.write(reinterpret_cast<const char*>(inputs[i].data()), static_cast<std::streamsize>(inputs[i].size()));
        }
        return 0;
    }
    if (argc > 1 && std::filesystem::is_directory(argv[1])) {
        for (const auto& e : std::filesystem::directory_iterator(argv[1])) {
            std::ifstream f(e.path(), std::ios::binary);
            inputs.emplace_back(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
        }
    }
    const int mutations = argc > 2 ? std::atoi(argv[2]) : 300;
    std::mt19937 rng(20261207);
    size_t runs = 0;
    for (const auto& seed : inputs) {
        LLVMFuzzerTestOneInput(seed.data(), seed.size());
        ++runs;
        for (int m = 0; m < mutations; ++m) {
            std::vector<uint8_t> d = seed;
            const int edits = 1 + static_cast<int>(rng() % 8);
            for (int k = 0; k < edits; ++k) {
                const unsigned kind = rng() % 5;
                if (d.empty() || kind == 0) {
                    d.insert(d.begin() + (d.empty() ? 0 : rng() % (d.size() + 1)), static_cast<uint8_t>(rng()));
                } else if (kind == 1) {
                    d[rng() % d.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
                } else if (kind == 2) {
                    d[rng() % d.size()] = static_cast<uint8_t>(rng());
                } else if (kind == 3) {
                    d.resize(rng() % (d.size() + 1));
                } else {
                    // Interesting values where a size or a count may sit.
                    static const uint32_t values[] = {0, 1, 0x7FFFFFFF, 0xFFFFFFFF, 0x80000000, 16, 65535};
                    if (d.size() >= 4) {
                        const size_t at = rng() % (d.size() - 3);
                        const uint32_t v = values[rng() % 7];
                        for (int b = 0; b < 4; ++b) d[at + b] = static_cast<uint8_t>(v >> (8 * b));
                    }
                }
            }
            LLVMFuzzerTestOneInput(d.data(), d.size());
            ++runs;
        }
    }
    std::printf("%zu inputs run without a fault\n", runs);
    return 0;
}
