#include "kernels.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "dsp_utils.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace chime {
namespace {

// The three sample formats: how a sample reads as a real value and is stored back. Loads and
// stores go through memcpy, so a block needs no particular alignment.
struct Unsigned8 {
    static constexpr int kBytes = 1;
    static double Load(const uint8_t* p) { return static_cast<int>(*p) - 128; }
    template <typename F>
    static void Store(uint8_t* p, F v) {
        *p = RoundToUnsigned8(v);
    }
    static void Silence(uint8_t* p, int64_t samples) {
        std::memset(p, 128, static_cast<size_t>(samples));
    }
};

struct Signed16 {
    static constexpr int kBytes = 2;
    static double Load(const uint8_t* p) {
        int16_t v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    template <typename F>
    static void Store(uint8_t* p, F v) {
        const int16_t s = RoundToInt16(v);
        std::memcpy(p, &s, sizeof s);
    }
    static void Silence(uint8_t* p, int64_t samples) {
        std::memset(p, 0, static_cast<size_t>(samples * kBytes));
    }
};

// Float samples are stored as the single-precision result itself, never clipped.
struct Float32 {
    static constexpr int kBytes = 4;
    static double Load(const uint8_t* p) {
        float v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    template <typename F>
    static void Store(uint8_t* p, F v) {
        const float s = static_cast<float>(v);
        std::memcpy(p, &s, sizeof s);
    }
    static void Silence(uint8_t* p, int64_t samples) {
        std::memset(p, 0, static_cast<size_t>(samples * kBytes));  // 0.0f is all zero bits
    }
};

template <typename S>
void FadeRun(uint8_t* p, int64_t samples, FadeRamp& r) {
    // In locals: the byte stores below could alias the ramp and force a reload every sample.
    double gain = r.gain;
    const double step = r.step;
    FadeRamp::Phase phase = r.phase;
    int64_t i = 0;
    if (phase == FadeRamp::Phase::Running && gain > 0.0 && gain < 1.0 && step != 0.0) {
        // The samples before the ramp can reach 0 or 1 need no test; the margin covers the
        // rounding of the sum (at most half a unit in the last place of a gain below 1 per
        // step). The steps themselves are the same as below.
        const double room = (step > 0 ? 1.0 - gain : gain) / std::fabs(step);
        const double margin = 2 + room * (2.3e-16 / std::fabs(step));
        const double count = room - margin;  // NaN or below 0 for a step too small to count
        const int64_t safe =
            count > 0 ? std::min<int64_t>(samples, static_cast<int64_t>(std::min(count, 1e15))) : 0;
        for (; i < safe; ++i) {
            uint8_t* at = p + i * S::kBytes;
            const float v = static_cast<float>(S::Load(at) * gain);
            gain += step;
            S::Store(at, v);
        }
    }
    for (; i < samples && phase != FadeRamp::Phase::Over; ++i) {
        uint8_t* at = p + i * S::kBytes;
        if (phase == FadeRamp::Phase::Silent) {
            S::Silence(at, samples - i);
            break;
        }
        if (gain >= 1.0) {
            phase = FadeRamp::Phase::Over;
            break;
        }
        if (gain <= 0.0) {
            // The end of a fade-out is silence, not the full level one sample early.
            S::Silence(at, 1);
            phase = r.silenceAfterFadeOut ? FadeRamp::Phase::Silent : FadeRamp::Phase::Over;
            continue;
        }
        const float v = static_cast<float>(S::Load(at) * gain);
        gain += step;
        S::Store(at, v);
    }
    r.gain = gain;
    r.phase = phase;
}

template <typename S>
void GainRun(uint8_t* p, int64_t samples, float gain) {
    for (int64_t i = 0; i < samples; ++i) {
        uint8_t* at = p + i * S::kBytes;
        S::Store(at, static_cast<float>(S::Load(at)) * gain);
    }
}

// 16-bit samples eight at a time, each exactly as GainRun gives it: the single-precision
// product, clipped, rounded to nearest with ties to even (the default rounding mode).
template <>
void GainRun<Signed16>(uint8_t* p, int64_t samples, float gain) {
    int64_t i = 0;
#if defined(__SSE2__)
    const __m128 g = _mm_set1_ps(gain);
    const __m128 lo = _mm_set1_ps(-32768.0f);
    const __m128 hi = _mm_set1_ps(32767.0f);
    auto scale = [&](__m128i four) {
        const __m128 v = _mm_mul_ps(_mm_cvtepi32_ps(four), g);
        return _mm_cvtps_epi32(_mm_min_ps(_mm_max_ps(v, lo), hi));
    };
    for (; i + 8 <= samples; i += 8) {
        uint8_t* at = p + i * 2;
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
        // Sign-extended to 32 bits: each sample into the high half, then shifted down.
        const __m128i low = _mm_srai_epi32(_mm_unpacklo_epi16(v, v), 16);
        const __m128i high = _mm_srai_epi32(_mm_unpackhi_epi16(v, v), 16);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(at), _mm_packs_epi32(scale(low), scale(high)));
    }
#endif
    for (; i < samples; ++i) {
        uint8_t* at = p + i * 2;
        Signed16::Store(at, static_cast<float>(Signed16::Load(at)) * gain);
    }
}

// One filter step of one channel; returns the output. band + f * high is worked out as
// ((1 - f) * band + f * x) - f * low, the same value by the same recurrence: the new band then
// waits on two multiply-adds after the old one instead of three, and high, needed only for the
// high-pass output, leaves the chain. (g is 1 - f.)
template <bool kLowPass>
inline double FilterStep(double x, double f, double g, double& low, double& band) {
    low = f * band + low;
    const double high = x - low - band;
    band = (g * band + f * x) - f * low;
    return kLowPass ? low : high;
}

// Channels go two at a time, so that the two filters' chains of dependent operations overlap.
template <typename S, bool kLowPass>
void FilterRun(uint8_t* p, int64_t frames, int channels, double f, FilterState& st) {
    const double g = 1.0 - f;
    const int active = std::min(channels, kFilterChannels);
    const int64_t stride = static_cast<int64_t>(channels) * S::kBytes;
    int c = 0;
    for (; c + 1 < active; c += 2) {
        double low0 = st.low[c], band0 = st.band[c];
        double low1 = st.low[c + 1], band1 = st.band[c + 1];
        uint8_t* at = p + c * S::kBytes;
        for (int64_t i = 0; i < frames; ++i, at += stride) {
            const double y0 = FilterStep<kLowPass>(S::Load(at), f, g, low0, band0);
            const double y1 = FilterStep<kLowPass>(S::Load(at + S::kBytes), f, g, low1, band1);
            S::Store(at, y0);
            S::Store(at + S::kBytes, y1);
        }
        st.low[c] = low0;
        st.band[c] = band0;
        st.low[c + 1] = low1;
        st.band[c + 1] = band1;
    }
    if (c < active) {
        double low = st.low[c], band = st.band[c];
        uint8_t* at = p + c * S::kBytes;
        for (int64_t i = 0; i < frames; ++i, at += stride)
            S::Store(at, FilterStep<kLowPass>(S::Load(at), f, g, low, band));
        st.low[c] = low;
        st.band[c] = band;
    }
}

template <bool kLowPass>
void FilterBlock(uint8_t* block, int64_t length, int bits, int channels,
                 const FilterCoefficients& k, FilterState& state) {
    if ((bits != 8 && bits != 16 && bits != 32) || channels <= 0) return;
    const int64_t frames = length / (bits / 8) / channels;
    switch (bits) {
        case 8:
            FilterRun<Unsigned8, kLowPass>(block, frames, channels, k.f, state);
            break;
        case 16:
            FilterRun<Signed16, kLowPass>(block, frames, channels, k.f, state);
            break;
        case 32:
            FilterRun<Float32, kLowPass>(block, frames, channels, k.f, state);
            break;
        default:
            break;
    }
}

}  // namespace

FilterCoefficients FilterCoefficients::For(int rate, int setting, int bits) {
    FilterCoefficients k;
    if (rate <= 0) return k;
    const int64_t nyquist = rate / 2;
    int64_t cutoff = nyquist * setting / 10000;
    const int64_t lowest = bits == 32 ? 0 : 1;
    if (cutoff < lowest) cutoff = lowest;
    if (cutoff > nyquist) cutoff = nyquist;
    k.cutoff = static_cast<int>(cutoff);
    k.f = std::sin(std::numbers::pi * static_cast<double>(cutoff) / rate);
    return k;
}

void ApplyFadeBlock(uint8_t* block, int64_t length, int bits, FadeRamp& ramp) {
    switch (bits) {
        case 8:
            FadeRun<Unsigned8>(block, length, ramp);
            break;
        case 16:
            FadeRun<Signed16>(block, length / 2, ramp);
            break;
        case 32:
            FadeRun<Float32>(block, length / 4, ramp);
            break;
        default:
            break;
    }
}

void ApplyGainBlock(uint8_t* block, int64_t length, int bits, float gainFactor) {
    switch (bits) {
        case 8:
            GainRun<Unsigned8>(block, length, gainFactor);
            break;
        case 16:
            GainRun<Signed16>(block, length / 2, gainFactor);
            break;
        case 32:
            GainRun<Float32>(block, length / 4, gainFactor);
            break;
        default:
            break;
    }
}

void HighPassBlock(uint8_t* block, int64_t length, int bits, int channels,
                   const FilterCoefficients& coefficients, FilterState& state) {
    FilterBlock<false>(block, length, bits, channels, coefficients, state);
}

void LowPassBlock(uint8_t* block, int64_t length, int bits, int channels,
                  const FilterCoefficients& coefficients, FilterState& state) {
    FilterBlock<true>(block, length, bits, channels, coefficients, state);
}

void ProcessInChunks(EffectKind kind, uint8_t* block, int64_t length, uint8_t bits,
                     uint8_t channels, KernelArgs& args) {
    if ((bits != 8 && bits != 16 && bits != 32) || channels == 0 || block == nullptr) return;
    const int64_t chunk = int64_t{bits / 8} * 1024 * channels;
    for (int64_t done = 0; done < length; done += chunk) {
        uint8_t* at = block + done;
        const int64_t n = std::min(chunk, length - done);
        switch (kind) {
            case EffectKind::Fade:
                if (args.ramp != nullptr) ApplyFadeBlock(at, n, bits, *args.ramp);
                break;
            case EffectKind::Gain:
                ApplyGainBlock(at, n, bits, args.gainFactor);
                break;
            case EffectKind::HighPass:
                if (args.state != nullptr) {
                    HighPassBlock(at, n, bits, channels, args.coefficients, *args.state);
                }
                break;
            case EffectKind::LowPass:
                if (args.state != nullptr) {
                    LowPassBlock(at, n, bits, channels, args.coefficients, *args.state);
                }
                break;
        }
    }
}

}  // namespace chime
