#pragma once
// Device names as the lists keep them.
#include <cstddef>
#include <string>

namespace stravik::control {

// The lists hold names of at most 80 characters, as the device dialogs show
// them. Cut at a character boundary, so that a long UTF-8 name never ends in
// half a character.
inline std::string listedName(std::string name)
{
    constexpr size_t kMaxChars = 80;
    size_t chars = 0;
    for (size_t i = 0; i < name.size(); ++i) {
        if ((static_cast<unsigned char>(name[i]) & 0xC0) == 0x80) continue; // continuation byte
        if (chars == kMaxChars) {
            name.resize(i);
            break;
        }
        ++chars;
    }
    return name;
}

} // namespace stravik::control
