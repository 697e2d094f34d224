#pragma once
// Small sample utilities: clipping to the 8- and 16-bit sample ranges and rounding a real value
// to the nearest sample, ties to even. Free-threaded.

#include <cmath>
#include <cstdint>

namespace chime {

inline int8_t ClipToInt8(int32_t value) {
    return static_cast<int8_t>(value > 127 ? 127 : value < -128 ? -128 : value);
}

inline int16_t ClipToInt16(int32_t value) {
    return static_cast<int16_t>(value > 32767 ? 32767 : value < -32768 ? -32768 : value);
}

// The nearest integer to v (ties to even, the default rounding mode), clipped to lo..hi.
// Clipping first gives the same result as rounding first for every finite value, and keeps a
// value far outside the range on its own side.
template <typename F>
inline int32_t RoundClipped(F v, F lo, F hi) {
    if (!(v > lo)) return static_cast<int32_t>(lo);
    if (v >= hi) return static_cast<int32_t>(hi);
    return static_cast<int32_t>(std::lrint(v));
}

// An 8-bit sample (unsigned, silence at 128) from a real value in the signed range.
template <typename F>
inline uint8_t RoundToUnsigned8(F v) {
    return static_cast<uint8_t>(ClipToInt8(RoundClipped<F>(v, F(-128), F(127))) + 128);
}

template <typename F>
inline int16_t RoundToInt16(F v) {
    return ClipToInt16(RoundClipped<F>(v, F(-32768), F(32767)));
}

}  // namespace chime
