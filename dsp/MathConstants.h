#pragma once
// The filter designs are written with these exact decimal values of pi, so
// that coefficients come out the same on every machine and in every build.

namespace stravik::dsp {

inline constexpr double kPi = 3.141592654;
inline constexpr double kTwoPi = 6.283185308;

} // namespace stravik::dsp
