#pragma once
// Data compiled into the program (generated at build time), found the way a
// program finds its resources: by a type name and a number.
#include <cstdint>
#include <span>
#include <string_view>

namespace stravik::assets {

// The metronome's drum kick: a RIFF WAVE image of type "wave".
inline constexpr int kDrumKickResource = 252;

// The bytes of the resource, or an empty span when there is none. Type names
// compare without regard to letter case ("wave" and "WAVE" are the same).
std::span<const uint8_t> findResource(std::string_view type, int id);

} // namespace stravik::assets
