// Decoded float samples to 16-bit: every layout gives what rounding each sample to nearest
// (ties to even) and clipping it gives, including the tail shorter than a vector.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "sample_convert.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

namespace chime {
namespace {

// What one sample must become.
int16_t Expected(float v) {
    if (std::isnan(v)) return -32768;
    const double scaled = static_cast<double>(v) * 32768.0;
    if (scaled >= 32767.0) return 32767;
    if (scaled <= -32768.0) return -32768;
    return static_cast<int16_t>(std::nearbyint(scaled));
}

// Values around every edge: ties, the clip, infinities and NaN, and plain music.
std::vector<float> Values(int n, int salt) {
    const float edges[] = {0.0f,
                           0.5f / 32768,
                           1.5f / 32768,
                           -2.5f / 32768,
                           32766.5f / 32768,
                           32767.4f / 32768,
                           32767.6f / 32768,
                           1.0f,
                           -1.0f,
                           -1.00002f,
                           3.0f,
                           std::numeric_limits<float>::infinity(),
                           -std::numeric_limits<float>::infinity(),
                           std::numeric_limits<float>::quiet_NaN()};
    std::vector<float> v(n);
    for (int i = 0; i < n; ++i) {
        const int k = i + salt;
        v[i] = k % 3 == 0 ? edges[(k / 3) % std::size(edges)]
                          : static_cast<float>(0.9 * std::sin(0.37 * k));
    }
    return v;
}

struct Layout {
    bool planar;
    int inChannels;
    int outChannels;
};

class FloatTo16 : public ::testing::TestWithParam<Layout> {};

TEST_P(FloatTo16, EverySampleRoundsAndClips) {
    const Layout l = GetParam();
    const int frames = 45;  // vectors of 4 and 8, and a tail
    AVFrame* frame = av_frame_alloc();
    frame->format = l.planar ? AV_SAMPLE_FMT_FLTP : AV_SAMPLE_FMT_FLT;
    frame->nb_samples = frames;
    av_channel_layout_default(&frame->ch_layout, l.inChannels);
    ASSERT_EQ(av_frame_get_buffer(frame, 0), 0);
    std::vector<std::vector<float>> channel;
    for (int c = 0; c < l.inChannels; ++c) {
        channel.push_back(Values(frames, 7 * c));
        for (int i = 0; i < frames; ++i) {
            if (l.planar)
                reinterpret_cast<float*>(frame->extended_data[c])[i] = channel[c][i];
            else
                reinterpret_cast<float*>(frame->extended_data[0])[i * l.inChannels + c] =
                    channel[c][i];
        }
    }
    for (int first : {0, 3}) {
        const int count = frames - first;
        std::vector<int16_t> out(static_cast<size_t>(count) * l.outChannels, 12345);
        ASSERT_TRUE(ConvertSamples(frame, first, count, l.outChannels, false,
                                   reinterpret_cast<uint8_t*>(out.data())));
        for (int i = 0; i < count; ++i) {
            for (int c = 0; c < l.outChannels; ++c) {
                const float v = channel[c % l.inChannels][first + i];
                ASSERT_EQ(out[static_cast<size_t>(i) * l.outChannels + c], Expected(v))
                    << "frame " << first + i << " channel " << c << " value " << v;
            }
        }
    }
    av_frame_free(&frame);
}

INSTANTIATE_TEST_SUITE_P(Layouts, FloatTo16,
                         ::testing::Values(Layout{true, 2, 2}, Layout{true, 1, 1},
                                           Layout{true, 1, 2}, Layout{false, 2, 2},
                                           Layout{false, 1, 1}, Layout{true, 6, 6},
                                           Layout{false, 6, 6}));

}  // namespace
}  // namespace chime
