#include "sample_convert.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/samplefmt.h>
}

namespace chime {
namespace {

// Reads one sample as a real value in -1..1 (integers scaled by their full range).
template <typename T>
inline double ToUnit(T v);
template <>
inline double ToUnit(uint8_t v) {
    return (static_cast<int>(v) - 128) / 128.0;
}
template <>
inline double ToUnit(int16_t v) {
    return v / 32768.0;
}
template <>
inline double ToUnit(int32_t v) {
    return v / 2147483648.0;
}
template <>
inline double ToUnit(int64_t v) {
    return static_cast<double>(v) / 9223372036854775808.0;
}
template <>
inline double ToUnit(float v) {
    return v;
}
template <>
inline double ToUnit(double v) {
    return v;
}

// Clipped before rounding, so a huge value or an infinity keeps its sign; NaN goes to the
// bottom. lrint rounds to nearest with ties to even in the default rounding mode.
template <typename F>
inline int16_t Round16(F v) {
    const F scaled = v * F(32768);
    if (!(scaled > F(-32768))) return -32768;
    if (scaled >= F(32767)) return 32767;
    return static_cast<int16_t>(std::lrint(scaled));
}

template <typename T>
inline int16_t To16(T v) {
    return Round16(ToUnit(v));
}
template <>
inline int16_t To16(int16_t v) {
    return v;
}
template <>
inline int16_t To16(uint8_t v) {
    return static_cast<int16_t>((static_cast<int>(v) - 128) * 256);
}
template <>
inline int16_t To16(float v) {
    return Round16(v);
}

// Float to 16-bit, four samples at a time, as Round16 gives each: scaled, clipped (maxps
// yields its second operand for NaN, the bottom), rounded by the current mode.
#if defined(__SSE2__)
inline __m128i Float4To32(const float* in) {
    const __m128 scaled = _mm_mul_ps(_mm_loadu_ps(in), _mm_set1_ps(32768.0f));
    const __m128 clipped =
        _mm_min_ps(_mm_max_ps(scaled, _mm_set1_ps(-32768.0f)), _mm_set1_ps(32767.0f));
    return _mm_cvtps_epi32(clipped);
}
#endif

}  // namespace

void FloatTo16(const float* in, int16_t* out, ptrdiff_t n) {
    ptrdiff_t i = 0;
#if defined(__SSE2__)
    for (; i + 8 <= n; i += 8) {
        const __m128i packed = _mm_packs_epi32(Float4To32(in + i), Float4To32(in + i + 4));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), packed);
    }
#endif
    for (; i < n; ++i)
        out[i] = To16(in[i]);
}

namespace {

// Two planes of float samples to interleaved 16-bit pairs.
void FloatPairTo16(const float* left, const float* right, int16_t* out, ptrdiff_t n) {
    ptrdiff_t i = 0;
#if defined(__SSE2__)
    for (; i + 4 <= n; i += 4) {
        const __m128i l = Float4To32(left + i);
        const __m128i r = Float4To32(right + i);
        const __m128i packed = _mm_packs_epi32(_mm_unpacklo_epi32(l, r), _mm_unpackhi_epi32(l, r));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), packed);
    }
#endif
    for (; i < n; ++i) {
        out[2 * i] = To16(left[i]);
        out[2 * i + 1] = To16(right[i]);
    }
}

// The decoders' commonest output, float, to 16-bit stereo or mono of the same layout.
bool FloatTo16Fast(const AVFrame* frame, bool planar, int first, int count, int outChannels,
                   uint8_t* out) {
    const int inChannels = frame->ch_layout.nb_channels > 0 ? frame->ch_layout.nb_channels : 1;
    auto* out16 = reinterpret_cast<int16_t*>(out);
    if (!planar && inChannels == outChannels) {
        const float* in = reinterpret_cast<const float*>(frame->extended_data[0]) +
                          static_cast<ptrdiff_t>(first) * inChannels;
        FloatTo16(in, out16, static_cast<ptrdiff_t>(count) * inChannels);
        return true;
    }
    if (planar && outChannels == 1) {
        FloatTo16(reinterpret_cast<const float*>(frame->extended_data[0]) + first, out16, count);
        return true;
    }
    if (planar && outChannels == 2) {
        const float* left = reinterpret_cast<const float*>(frame->extended_data[0]) + first;
        const float* right =
            reinterpret_cast<const float*>(frame->extended_data[inChannels > 1 ? 1 : 0]) + first;
        FloatPairTo16(left, right, out16, count);
        return true;
    }
    return false;
}

template <typename T>
void Convert(const AVFrame* frame, bool planar, int first, int count, int outChannels, bool toFloat,
             uint8_t* out) {
    if constexpr (std::is_same_v<T, float>) {
        if (!toFloat && FloatTo16Fast(frame, planar, first, count, outChannels, out)) return;
    }
    const int inChannels = frame->ch_layout.nb_channels > 0 ? frame->ch_layout.nb_channels : 1;
    float* outF = reinterpret_cast<float*>(out);
    int16_t* out16 = reinterpret_cast<int16_t*>(out);
    for (int c = 0; c < outChannels; ++c) {
        const int src = c % inChannels;
        const T* in;
        ptrdiff_t stride;
        if (planar) {
            in = reinterpret_cast<const T*>(frame->extended_data[src]) + first;
            stride = 1;
        } else {
            in = reinterpret_cast<const T*>(frame->extended_data[0]) +
                 static_cast<ptrdiff_t>(first) * inChannels + src;
            stride = inChannels;
        }
        if (toFloat) {
            for (int i = 0; i < count; ++i) {
                outF[static_cast<ptrdiff_t>(i) * outChannels + c] =
                    static_cast<float>(ToUnit(in[i * stride]));
            }
        } else {
            for (int i = 0; i < count; ++i) {
                out16[static_cast<ptrdiff_t>(i) * outChannels + c] = To16(in[i * stride]);
            }
        }
    }
}

}  // namespace

bool ConvertSamples(const AVFrame* frame, int first, int count, int outChannels, bool toFloat,
                    uint8_t* out) {
    const auto format = static_cast<AVSampleFormat>(frame->format);
    const bool planar = av_sample_fmt_is_planar(format);
    switch (av_get_packed_sample_fmt(format)) {
        case AV_SAMPLE_FMT_U8:
            Convert<uint8_t>(frame, planar, first, count, outChannels, toFloat, out);
            return true;
        case AV_SAMPLE_FMT_S16:
            Convert<int16_t>(frame, planar, first, count, outChannels, toFloat, out);
            return true;
        case AV_SAMPLE_FMT_S32:
            Convert<int32_t>(frame, planar, first, count, outChannels, toFloat, out);
            return true;
        case AV_SAMPLE_FMT_S64:
            Convert<int64_t>(frame, planar, first, count, outChannels, toFloat, out);
            return true;
        case AV_SAMPLE_FMT_FLT:
            Convert<float>(frame, planar, first, count, outChannels, toFloat, out);
            return true;
        case AV_SAMPLE_FMT_DBL:
            Convert<double>(frame, planar, first, count, outChannels, toFloat, out);
            return true;
        default:
            return false;
    }
}

Peaks MeasurePeaks(const uint8_t* data, int64_t frames, int channels, bool isFloat) {
    int side[2] = {0, 0};
    if (isFloat) {
        const float* f = reinterpret_cast<const float*>(data);
        float peak[2] = {0.f, 0.f};
        for (int64_t i = 0; i < frames; ++i, f += channels) {
            for (int c = 0; c < channels; ++c)
                peak[c & 1] = std::max(peak[c & 1], std::fabs(f[c]));
        }
        for (int s = 0; s < 2; ++s) {
            side[s] = static_cast<int>(std::min(32768.0f, std::nearbyint(peak[s] * 32768.0f)));
        }
    } else if (channels == 2) {
        // The common case, in a shape the compiler vectorises.
        const int16_t* s16 = reinterpret_cast<const int16_t*>(data);
        int l = 0;
        int r = 0;
        for (int64_t i = 0; i < frames; ++i) {
            l = std::max(l, std::abs(static_cast<int>(s16[2 * i])));
            r = std::max(r, std::abs(static_cast<int>(s16[2 * i + 1])));
        }
        side[0] = l;
        side[1] = r;
    } else {
        const int16_t* s16 = reinterpret_cast<const int16_t*>(data);
        for (int64_t i = 0; i < frames; ++i, s16 += channels) {
            for (int c = 0; c < channels; ++c) {
                side[c & 1] = std::max(side[c & 1], std::abs(static_cast<int>(s16[c])));
            }
        }
    }
    if (channels == 1) side[1] = side[0];
    return {side[0], side[1]};
}

}  // namespace chime
