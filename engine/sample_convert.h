#pragma once
// Conversion of decoded sample frames of any FFmpeg sample format to interleaved 16-bit or
// float samples.

#include <cstddef>
#include <cstdint>

struct AVFrame;

namespace chime {

// Writes count frames of frame, starting at sample first, to out as interleaved samples with
// outChannels channels: float in -1..1 when toFloat, else 16-bit, rounded to nearest (ties to
// even) and clipped. A frame with fewer channels than outChannels repeats its channels.
// Returns false for a sample format it does not know.
bool ConvertSamples(const AVFrame* frame, int first, int count, int outChannels, bool toFloat,
                    uint8_t* out);

// Float samples in -1..1 to 16-bit: scaled by 32768, rounded to nearest (ties to even) and
// clipped; a huge value or an infinity clips to its own side, NaN goes to -32768. The one
// conversion every path from float to 16-bit takes.
void FloatTo16(const float* in, int16_t* out, ptrdiff_t n);

// The peak magnitude of interleaved samples, scaled to 0..32768, for the channels of one side
// (even or odd channel numbers; a mono block gives its one channel to both).
struct Peaks {
    int left = 0;
    int right = 0;
};
Peaks MeasurePeaks(const uint8_t* data, int64_t frames, int channels, bool isFloat);

}  // namespace chime
