#pragma once
// The sample arithmetic of the four effects: a linear fade ramp, a gain, and a high-pass and a
// low-pass state-variable filter. Each kernel edits a block of interleaved 8-bit (unsigned),
// 16-bit or 32-bit float samples in place, allocates nothing and calls nothing outside this
// file. Free-threaded: a kernel touches only the block and the state it is given.

#include <cstdint>

namespace chime {

// Selects a kernel; the codes are those the routines and their callers pass around.
enum class EffectKind : int { HighPass = 0, LowPass = 1, Gain = 2, Fade = 3 };

// The filters serve this many channels; further channels pass them unchanged.
constexpr int kFilterChannels = 10;

// The coefficient of a filter, worked out once from the rate, the setting and the sample size.
// A setting counts in ten-thousandths of the Nyquist frequency, so every setting from 10000 up
// gives the Nyquist frequency itself.
struct FilterCoefficients {
    int cutoff = 0;  // Hz: (rate div 2) * setting div 10000, kept within 1..rate div 2 (0.. for
                     // float samples)
    double f = 0;    // sin(pi * cutoff / rate)

    static FilterCoefficients For(int rate, int setting, int bits);
    bool operator==(const FilterCoefficients&) const = default;
};

// The running state of one filter: per channel, its low-pass and band-pass outputs. Kept in
// double precision, since it lives on from block to block for as long as the filter runs.
struct FilterState {
    double low[kFilterChannels] = {};
    double band[kFilterChannels] = {};
    void Reset() { *this = FilterState{}; }
};

// A fade's ramp: one step of gain per sample value (not per frame).
struct FadeRamp {
    enum class Phase : int {
        Running,  // samples get the gain, which then moves on by a step
        Over,     // the ramp has ended: samples pass unchanged
        Silent,   // a fade-out has ended and what follows stays silent
    };
    double gain = 0;
    double step = 0;
    Phase phase = Phase::Running;
    // What follows the end of a fade-out: Silent when set, else Over.
    bool silenceAfterFadeOut = false;
};

// The arguments of one kernel besides the block.
struct KernelArgs {
    FadeRamp* ramp = nullptr;         // fade
    float gainFactor = 1;             // gain
    FilterCoefficients coefficients;  // high-pass and low-pass
    FilterState* state = nullptr;     // high-pass and low-pass
};

// Each sample value x becomes x * gain (rounded to single precision), then the gain moves on
// by the step. A sample that finds the gain at 1 or above ends a fade-in: it and the rest of
// the block are left as they are. A sample that finds it at 0 or below ends a fade-out: that
// sample is silenced, and the rest are left as they are, or silenced when the ramp asks for it.
void ApplyFadeBlock(uint8_t* block, int64_t length, int bits, FadeRamp& ramp);
// Each sample value x becomes x * gainFactor, rounded to single precision.
void ApplyGainBlock(uint8_t* block, int64_t length, int bits, float gainFactor);
// A state-variable filter of the Chamberlin form, damping 1, one per channel:
//   low = f * band + low;  high = x - low - band;  band = f * high + band
// with the high-pass output high and the low-pass output low. A trailing partial frame is left
// as it is.
void HighPassBlock(uint8_t* block, int64_t length, int bits, int channels,
                   const FilterCoefficients& coefficients, FilterState& state);
void LowPassBlock(uint8_t* block, int64_t length, int bits, int channels,
                  const FilterCoefficients& coefficients, FilterState& state);

// Runs the kernel of kind over the block in chunks of at most 1024 frames. Blocks of sample
// sizes other than 8, 16 and 32 bits, and of no channels, are left as they are. (The filters'
// coefficients carry the rate.)
void ProcessInChunks(EffectKind kind, uint8_t* block, int64_t length, uint8_t bits,
                     uint8_t channels, KernelArgs& args);

}  // namespace chime
