// The kernels on blocks made here: fade, gain, the filters' edge cases, their carried state and
// their measured responses against the Chamberlin form's own transfer function.

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <numbers>
#include <random>
#include <vector>

#include "dsp_utils.h"
#include "kernels.h"

namespace chime::test {
namespace {

std::vector<uint8_t> Bytes16(const std::vector<int16_t>& v) {
    std::vector<uint8_t> out(v.size() * 2);
    std::memcpy(out.data(), v.data(), out.size());
    return out;
}
std::vector<int16_t> Samples16(const std::vector<uint8_t>& b) {
    std::vector<int16_t> out(b.size() / 2);
    std::memcpy(out.data(), b.data(), out.size() * 2);
    return out;
}
std::vector<uint8_t> BytesF(const std::vector<float>& v) {
    std::vector<uint8_t> out(v.size() * 4);
    std::memcpy(out.data(), v.data(), out.size());
    return out;
}
std::vector<float> SamplesF(const std::vector<uint8_t>& b) {
    std::vector<float> out(b.size() / 4);
    std::memcpy(out.data(), b.data(), out.size() * 4);
    return out;
}

TEST(Clip, ToTheEightAndSixteenBitRanges) {
    struct Row {
        int32_t in;
        int8_t to8;
        int16_t to16;
    };
    for (const Row& r :
         {Row{0, 0, 0}, Row{127, 127, 127}, Row{128, 127, 128}, Row{-128, -128, -128},
          Row{-129, -128, -129}, Row{32767, 127, 32767}, Row{32768, 127, 32767},
          Row{-32769, -128, -32768}, Row{INT32_MAX, 127, 32767}, Row{INT32_MIN, -128, -32768}}) {
        EXPECT_EQ(ClipToInt8(r.in), r.to8) << r.in;
        EXPECT_EQ(ClipToInt16(r.in), r.to16) << r.in;
    }
    // Rounding ties to even, and values far outside the range stay on their own side.
    for (const auto& [v, expected] : std::vector<std::pair<double, int>>{{2.5, 2},
                                                                         {3.5, 4},
                                                                         {-2.5, -2},
                                                                         {32767.5, 32767},
                                                                         {-32768.5, -32768},
                                                                         {5e9, 32767},
                                                                         {-5e9, -32768}}) {
        EXPECT_EQ(RoundToInt16(v), expected) << v;
    }
}

// Fade: the ramp's steps per sample value and where it ends.
struct FadeCase {
    const char* name;
    int bits;
    double gain, step;
    bool silenceAfter;
    std::vector<double> in;        // sample values (8-bit as bytes, else as they are)
    std::vector<double> expected;  // what they become
    double endGain;
    FadeRamp::Phase endPhase;
    int trailingBytes = 0;  // bytes after the last whole sample, which stay as they are
};

void PrintTo(const FadeCase& c, std::ostream* os) {
    *os << c.name;
}

std::vector<uint8_t> Encode(int bits, const std::vector<double>& v) {
    if (bits == 8) return std::vector<uint8_t>(v.begin(), v.end());
    if (bits == 16) return Bytes16(std::vector<int16_t>(v.begin(), v.end()));
    return BytesF(std::vector<float>(v.begin(), v.end()));
}
std::vector<double> Decode(int bits, const std::vector<uint8_t>& b) {
    if (bits == 8) return std::vector<double>(b.begin(), b.end());
    if (bits == 16) {
        const auto s = Samples16(b);
        return std::vector<double>(s.begin(), s.end());
    }
    const auto s = SamplesF(b);
    return std::vector<double>(s.begin(), s.end());
}

class Fades : public ::testing::TestWithParam<FadeCase> {};

TEST_P(Fades, StepPerSampleValueAndEnd) {
    const FadeCase& c = GetParam();
    std::vector<uint8_t> block = Encode(c.bits, c.in);
    const size_t whole = block.size();
    for (int i = 0; i < c.trailingBytes; ++i)
        block.push_back(static_cast<uint8_t>(0x5A + i));
    FadeRamp ramp;
    ramp.gain = c.gain;
    ramp.step = c.step;
    ramp.silenceAfterFadeOut = c.silenceAfter;
    KernelArgs args;
    args.ramp = &ramp;
    ProcessInChunks(EffectKind::Fade, block.data(), static_cast<int64_t>(block.size()),
                    static_cast<uint8_t>(c.bits), 2, args);
    EXPECT_EQ(Decode(c.bits, std::vector<uint8_t>(block.begin(), block.begin() + whole)),
              c.expected);
    for (int i = 0; i < c.trailingBytes; ++i)
        EXPECT_EQ(block[whole + i], 0x5A + i);
    EXPECT_DOUBLE_EQ(ramp.gain, c.endGain);
    EXPECT_EQ(ramp.phase, c.endPhase);
}

using P = FadeRamp::Phase;
const FadeCase kFades[] = {
    // The fourth sample finds the gain at 1 and keeps its level.
    {"FadeIn16",
     16,
     0.25,
     0.25,
     false,
     {1000, 1000, 1000, 1000},
     {250, 500, 750, 1000},
     1.0,
     P::Over},
    // The sample that finds the gain at 0 is the end of the fade-out: silence. What follows
    // keeps its level on the preview and stays silent on an export.
    {"FadeOut16",
     16,
     0.5,
     -0.25,
     false,
     {1000, 1000, 1000, 1000},
     {500, 250, 0, 1000},
     0.0,
     P::Over},
    {"FadeOutSilentAfter",
     16,
     0.5,
     -0.25,
     true,
     {1000, 1000, 1000, 1000},
     {500, 250, 0, 0},
     0.0,
     P::Silent},
    // Stereo: the two samples of a frame get gains one step apart.
    {"StereoStep",
     16,
     0.1,
     0.1,
     false,
     {10000, 10000, -10000, -10000},
     {1000, 2000, -3000, -4000},
     0.5,
     P::Running},
    // A product of 2.5 is stored as 2 and one of 3.5 as 4.
    {"TiesToEven", 16, 0.25, 0.25, false, {10, 7, 1000}, {2, 4, 750}, 1.0, P::Running},
    // 8-bit: silence is 128 and stays so; the signed value is faded.
    {"Eight", 8, 0.5, 0.0, false, {128, 0, 255, 138}, {128, 64, 192, 133}, 0.5, P::Running},
    {"EightFadeOut", 8, 0.5, -0.5, true, {255, 0, 255}, {192, 128, 128}, 0.0, P::Silent},
    // Float: the single-precision product itself, never clipped.
    {"Float", 32, 0.5, 0.5, false, {3.0, -0.5, 0.25}, {1.5, -0.5, 0.25}, 1.0, P::Over},
    // A trailing partial sample is left as it is.
    {"Trailing16", 16, 0.5, 0.0, false, {1000, -1000}, {500, -500}, 0.5, P::Running, 1},
    {"TrailingFloat", 32, 0.5, 0.0, false, {1.0}, {0.5}, 0.5, P::Running, 3},
};

INSTANTIATE_TEST_SUITE_P(Table, Fades, ::testing::ValuesIn(kFades),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Fade, AnEndedRampLeavesLaterBlocksAloneOrSilent) {
    for (const bool silent : {false, true}) {
        FadeRamp ramp;
        ramp.gain = 0.0;
        ramp.step = -0.1;
        ramp.silenceAfterFadeOut = silent;
        KernelArgs args;
        args.ramp = &ramp;
        std::vector<uint8_t> first = Bytes16({1000, 1000});
        std::vector<uint8_t> second = Bytes16({1000, 1000});
        ProcessInChunks(EffectKind::Fade, first.data(), 4, 16, 2, args);
        ProcessInChunks(EffectKind::Fade, second.data(), 4, 16, 2, args);
        const int16_t after = silent ? 0 : 1000;
        EXPECT_EQ(Samples16(first), (std::vector<int16_t>{0, after}));
        EXPECT_EQ(Samples16(second), (std::vector<int16_t>{after, after}));
    }
}

// Long ramps, whose middle the kernel runs without testing for the end, against the ramp
// taken one sample value at a time, in one block and in many: the same samples, the same end.
TEST(Fade, ALongRampEndsWhereTheRampTakenSampleBySampleEnds) {
    struct Ramp {
        double gain, step;
        bool silenceAfter;
    };
    std::mt19937 random(3);
    for (const int bits : {8, 16, 32}) {
        for (const Ramp& start :
             {Ramp{1.0 / 3001, 1.0 / 3001, false}, Ramp{1 - 1.0 / 2999, -1.0 / 2999, false},
              Ramp{1 - 1.0 / 2999, -1.0 / 2999, true}, Ramp{0.999, 1.0 / 7, false}}) {
            std::vector<double> in(5000);
            for (double& v : in) {
                v = std::uniform_int_distribution<int>(-32768, 32767)(random);
                if (bits == 8) v = std::floor(v / 256) + 128;
                if (bits == 32) v /= 32768;
            }
            // The ramp's rules, one sample at a time.
            std::vector<double> expected = in;
            double g = start.gain;
            bool over = false, silent = false;
            const double zero = bits == 8 ? 128 : 0;
            for (double& v : expected) {
                if (silent) {
                    v = zero;
                } else if (over || g >= 1.0) {
                    over = true;
                } else if (g <= 0.0) {
                    v = zero;
                    over = !start.silenceAfter;
                    silent = start.silenceAfter;
                } else {
                    const float product = static_cast<float>((bits == 8 ? v - 128 : v) * g);
                    g += start.step;
                    if (bits == 8) v = RoundToUnsigned8(product);
                    if (bits == 16) v = RoundToInt16(product);
                    if (bits == 32) v = product;
                }
            }
            for (const int piece : {5000, 1, 997}) {
                FadeRamp ramp;
                ramp.gain = start.gain;
                ramp.step = start.step;
                ramp.silenceAfterFadeOut = start.silenceAfter;
                KernelArgs args;
                args.ramp = &ramp;
                std::vector<uint8_t> block = Encode(bits, in);
                const int64_t sampleBytes = bits / 8;
                for (int64_t at = 0; at < static_cast<int64_t>(block.size());
                     at += piece * sampleBytes) {
                    const int64_t n = std::min<int64_t>(piece * sampleBytes,
                                                        static_cast<int64_t>(block.size()) - at);
                    ProcessInChunks(EffectKind::Fade, block.data() + at, n,
                                    static_cast<uint8_t>(bits), 1, args);
                }
                EXPECT_EQ(Decode(bits, block), expected)
                    << bits << " bits, step " << start.step << ", pieces of " << piece;
                EXPECT_EQ(ramp.gain, g);
            }
        }
    }
}

struct GainCase {
    const char* name;
    int bits;
    float gain;
    std::vector<double> in, expected;
};

void PrintTo(const GainCase& c, std::ostream* os) {
    *os << c.name;
}

class Gains : public ::testing::TestWithParam<GainCase> {};

TEST_P(Gains, ProductRoundedAndClipped) {
    const GainCase& c = GetParam();
    // Alone, and repeated into a longer block, which goes several samples at a time.
    for (const int copies : {1, 5}) {
        std::vector<double> in, expected;
        for (int i = 0; i < copies; ++i) {
            in.insert(in.end(), c.in.begin(), c.in.end());
            expected.insert(expected.end(), c.expected.begin(), c.expected.end());
        }
        std::vector<uint8_t> block = Encode(c.bits, in);
        KernelArgs args;
        args.gainFactor = c.gain;
        ProcessInChunks(EffectKind::Gain, block.data(), static_cast<int64_t>(block.size()),
                        static_cast<uint8_t>(c.bits), 1, args);
        EXPECT_EQ(Decode(c.bits, block), expected) << copies << " copies";
    }
}

const GainCase kGains[] = {
    {"UnityLeaves16BitAlone",
     16,
     1.0f,
     {-32768, -1, 0, 1, 12345, 32767},
     {-32768, -1, 0, 1, 12345, 32767}},
    {"DoubleClips", 16, 2.0f, {20000, -20000, 100}, {32767, -32768, 200}},
    {"TiesToEven", 16, 1.25f, {2, -2, 6}, {2, -2, 8}},  // 2.5, -2.5, 7.5
    {"Quarter", 16, 0.25f, {14, 10}, {4, 2}},           // 3.5, 2.5
    {"EightBitEnds", 8, 2.0f, {128, 0, 255, 160}, {128, 0, 255, 192}},
    {"FloatUnclipped", 32, 2.0f, {0.75, -0.75, 2.0}, {1.5, -1.5, 4.0}},
};

INSTANTIATE_TEST_SUITE_P(Table, Gains, ::testing::ValuesIn(kGains),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Coefficients, CutOffFromTheSettingInTenThousandthsOfNyquist) {
    struct Row {
        int rate, setting, bits, cutoff;
    };
    for (const Row& r :
         {Row{44100, 2000, 16, 4410}, Row{44100, 11025, 16, 22050}, Row{44100, 22050, 16, 22050},
          Row{44100, 10000, 16, 22050}, Row{44100, 5000, 16, 11025}, Row{44100, 1, 16, 2},
          Row{44100, 0, 16, 1}, Row{44100, 0, 8, 1}, Row{44100, 0, 32, 0}, Row{44100, -40, 16, 1},
          Row{22050, 3, 16, 3}, Row{48000, 9999, 16, 23997}, Row{0, 5000, 16, 0}}) {
        const FilterCoefficients k = FilterCoefficients::For(r.rate, r.setting, r.bits);
        EXPECT_EQ(k.cutoff, r.cutoff) << r.rate << " " << r.setting << " " << r.bits;
        if (r.rate > 0) {
            EXPECT_DOUBLE_EQ(k.f, std::sin(std::numbers::pi * r.cutoff / r.rate));
        }
    }
    // At the Nyquist frequency of an even rate the coefficient is exactly 1.
    EXPECT_EQ(FilterCoefficients::For(44100, 10000, 16).f, 1.0);
}

// With f = 1 the low-pass delays each channel by one frame and the high-pass gives
// x[n] - 2 x[n-1] + x[n-2], clipped, from zero at the start of a run.
TEST(Filters, AtNyquistTheyAreDelaysAndSecondDifferences) {
    const FilterCoefficients k = FilterCoefficients::For(44100, 10000, 16);
    const std::vector<int16_t> in = {1000, -2000, 30000, -30000, 500, 7, 0, 12000};
    std::vector<int16_t> low = in, high = in;
    auto run = [&k](std::vector<int16_t>& v, EffectKind kind) {
        std::vector<uint8_t> b = Bytes16(v);
        FilterState state;
        KernelArgs args;
        args.coefficients = k;
        args.state = &state;
        ProcessInChunks(kind, b.data(), static_cast<int64_t>(b.size()), 16, 2, args);
        v = Samples16(b);
    };
    run(low, EffectKind::LowPass);
    run(high, EffectKind::HighPass);
    for (int c = 0; c < 2; ++c) {
        for (size_t n = c; n < in.size(); n += 2) {
            const int x1 = n >= 2 ? in[n - 2] : 0;
            const int x2 = n >= 4 ? in[n - 4] : 0;
            EXPECT_EQ(low[n], x1) << "frame " << n / 2 << " channel " << c;
            EXPECT_EQ(high[n], ClipToInt16(in[n] - 2 * x1 + x2)) << "frame " << n / 2;
        }
    }
}

// A setting of 0 gives a cut-off of 1 Hz for integer samples and of 0 for float ones, where
// the low-pass gives silence and the high-pass passes its input unchanged.
TEST(Filters, SettingZero) {
    const std::vector<float> in = {0.5f, -0.25f, 0.125f, 0.75f, -1.0f, 0.0625f};
    for (const EffectKind kind : {EffectKind::LowPass, EffectKind::HighPass}) {
        std::vector<uint8_t> b = BytesF(in);
        FilterState state;
        KernelArgs args;
        args.coefficients = FilterCoefficients::For(44100, 0, 32);
        args.state = &state;
        ProcessInChunks(kind, b.data(), static_cast<int64_t>(b.size()), 32, 2, args);
        EXPECT_EQ(SamplesF(b),
                  kind == EffectKind::LowPass ? std::vector<float>(in.size(), 0.0f) : in);
    }
    // 16-bit: f = sin(pi / rate), a cut-off of 1 Hz: a 1 kHz tone all but vanishes from the
    // low-pass and passes the high-pass.
    const FilterCoefficients k = FilterCoefficients::For(44100, 0, 16);
    EXPECT_DOUBLE_EQ(k.f, std::sin(std::numbers::pi / 44100));
    std::vector<int16_t> tone(4410);
    for (size_t i = 0; i < tone.size(); ++i)
        tone[i] = static_cast<int16_t>(std::lrint(
            20000 * std::sin(2 * std::numbers::pi * 1000 * static_cast<double>(i) / 44100)));
    for (const EffectKind kind : {EffectKind::LowPass, EffectKind::HighPass}) {
        std::vector<uint8_t> b = Bytes16(tone);
        FilterState state;
        KernelArgs args;
        args.coefficients = k;
        args.state = &state;
        ProcessInChunks(kind, b.data(), static_cast<int64_t>(b.size()), 16, 1, args);
        const std::vector<int16_t> out = Samples16(b);
        int peak = 0;
        for (size_t i = out.size() / 2; i < out.size(); ++i)
            peak = std::max(peak, std::abs(static_cast<int>(out[i])));
        if (kind == EffectKind::LowPass) {
            EXPECT_LT(peak, 30);
        } else {
            EXPECT_NEAR(peak, 20000, 30);
        }
    }
}

// A filter run over a block in one call and in calls of odd sizes gives the same output to the
// sample: its state goes on from call to call. Channels beyond ten pass unchanged.
struct CarryCase {
    int bits, channels;
};

class Carry : public ::testing::TestWithParam<CarryCase> {};

TEST_P(Carry, OneCallOrManyGiveTheSameOutput) {
    const auto [bits, channels] = GetParam();
    const int sampleBytes = bits / 8;
    const int frames = 5000;
    std::mt19937 random(7);
    std::vector<uint8_t> in(static_cast<size_t>(frames * channels * sampleBytes));
    for (size_t i = 0; i < in.size(); i += static_cast<size_t>(sampleBytes)) {
        const double v = std::uniform_real_distribution<double>(-0.7, 0.7)(random);
        if (bits == 8) in[i] = static_cast<uint8_t>(128 + std::lrint(v * 127));
        if (bits == 16) {
            const int16_t s = static_cast<int16_t>(std::lrint(v * 32767));
            std::memcpy(&in[i], &s, 2);
        }
        if (bits == 32) {
            const float f = static_cast<float>(v);
            std::memcpy(&in[i], &f, 4);
        }
    }
    for (const EffectKind kind : {EffectKind::LowPass, EffectKind::HighPass}) {
        KernelArgs args;
        args.coefficients =
            FilterCoefficients::For(44100, kind == EffectKind::LowPass ? 800 : 300, bits);
        FilterState whole;
        args.state = &whole;
        std::vector<uint8_t> once = in;
        ProcessInChunks(kind, once.data(), static_cast<int64_t>(once.size()),
                        static_cast<uint8_t>(bits), static_cast<uint8_t>(channels), args);

        FilterState pieces;
        args.state = &pieces;
        std::vector<uint8_t> many = in;
        const int frameBytes = channels * sampleBytes;
        int64_t at = 0;
        for (int i = 0; at < static_cast<int64_t>(many.size()); ++i) {
            const int64_t n = std::min<int64_t>((1 + 2 * (i * 37 % 700)) * frameBytes,
                                                static_cast<int64_t>(many.size()) - at);
            ProcessInChunks(kind, many.data() + at, n, static_cast<uint8_t>(bits),
                            static_cast<uint8_t>(channels), args);
            at += n;
        }
        EXPECT_EQ(once, many) << (kind == EffectKind::LowPass ? "low-pass" : "high-pass");
        EXPECT_NE(once, in);
        // Channels from the eleventh on are untouched.
        for (int f = 0; f < frames; ++f) {
            for (int c = kFilterChannels; c < channels; ++c) {
                const size_t i = static_cast<size_t>((f * channels + c) * sampleBytes);
                ASSERT_EQ(std::memcmp(&once[i], &in[i], static_cast<size_t>(sampleBytes)), 0)
                    << "frame " << f << " channel " << c;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, Carry,
                         ::testing::Values(CarryCase{16, 2}, CarryCase{16, 1}, CarryCase{8, 2},
                                           CarryCase{32, 2}, CarryCase{16, 5}, CarryCase{16, 12}),
                         [](const auto& info) {
                             return std::to_string(info.param.bits) + "bit" +
                                    std::to_string(info.param.channels) + "ch";
                         });

TEST(Filters, ATrailingPartialFrameAndOtherSampleSizesAreLeftAlone) {
    const FilterCoefficients k = FilterCoefficients::For(44100, 3000, 16);
    std::vector<uint8_t> b = Bytes16({1000, 2000, 3000, 4000});
    b.push_back(0x11);
    b.push_back(0x22);
    b.push_back(0x33);
    const std::vector<uint8_t> before = b;
    FilterState state;
    KernelArgs args;
    args.coefficients = k;
    args.state = &state;
    ProcessInChunks(EffectKind::LowPass, b.data(), static_cast<int64_t>(b.size()), 16, 2, args);
    EXPECT_NE(std::vector<uint8_t>(b.begin(), b.begin() + 8),
              std::vector<uint8_t>(before.begin(), before.begin() + 8));
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + 8, b.end()),
              std::vector<uint8_t>(before.begin() + 8, before.end()));
    // Sample sizes the kernels do not know, and no channels, change nothing (and end).
    FadeRamp ramp;
    ramp.gain = 0.5;
    args.ramp = &ramp;
    args.gainFactor = 2;
    for (const auto& [bits, channels] :
         std::vector<std::pair<int, int>>{{0, 2}, {4, 2}, {12, 2}, {24, 2}, {16, 0}}) {
        for (const EffectKind kind :
             {EffectKind::LowPass, EffectKind::HighPass, EffectKind::Gain, EffectKind::Fade}) {
            std::vector<uint8_t> copy = before;
            ProcessInChunks(kind, copy.data(), static_cast<int64_t>(copy.size()),
                            static_cast<uint8_t>(bits), static_cast<uint8_t>(channels), args);
            EXPECT_EQ(copy, before) << bits << " bits, " << channels << " channels";
        }
    }
}

// The steady response to a tone, measured, against the Chamberlin form's transfer function:
//   low  = f^2 z^-1 / D,  high = (1 - z^-1)^2 / D,
//   D = (1 - z^-1)^2 + f z^-1 (1 - z^-1) + f^2 z^-1.
double ExpectedGain(EffectKind kind, double f, double w) {
    const std::complex<double> zi = std::polar(1.0, -w);
    const std::complex<double> u = 1.0 - zi;
    const std::complex<double> d = u * u + f * zi * u + f * f * zi;
    return std::abs((kind == EffectKind::LowPass ? f * f * zi : u * u) / d);
}

struct ResponseCase {
    EffectKind kind;
    int setting;
    double hz;
};

void PrintTo(const ResponseCase& c, std::ostream* os) {
    *os << (c.kind == EffectKind::LowPass ? "low" : "high") << c.setting << "at" << c.hz;
}

class Responses : public ::testing::TestWithParam<ResponseCase> {};

TEST_P(Responses, ToneLevelMatchesTheFilterForm) {
    const ResponseCase& c = GetParam();
    constexpr int kRate = 44100;
    const FilterCoefficients k = FilterCoefficients::For(kRate, c.setting, 16);
    const double w = 2 * std::numbers::pi * c.hz / kRate;
    const int frames = kRate * 2;
    std::vector<int16_t> tone(static_cast<size_t>(frames));
    constexpr double kAmplitude = 12000;
    for (int i = 0; i < frames; ++i)
        tone[static_cast<size_t>(i)] =
            static_cast<int16_t>(std::lrint(kAmplitude * std::sin(w * i)));
    std::vector<uint8_t> b = Bytes16(tone);
    FilterState state;
    KernelArgs args;
    args.coefficients = k;
    args.state = &state;
    // In blocks of a playback thread's size, the state going on between them.
    for (size_t at = 0; at < b.size(); at += 8820) {
        ProcessInChunks(c.kind, b.data() + at,
                        static_cast<int64_t>(std::min<size_t>(8820, b.size() - at)), 16, 1, args);
    }
    const std::vector<int16_t> out = Samples16(b);
    // The second second, settled: a least-squares fit of the tone's frequency.
    double s = 0, co = 0;
    for (int i = kRate; i < frames; ++i) {
        s += out[static_cast<size_t>(i)] * std::sin(w * i);
        co += out[static_cast<size_t>(i)] * std::cos(w * i);
    }
    const double measured = 2 * std::hypot(s, co) / kRate / kAmplitude;
    const double expected = ExpectedGain(c.kind, k.f, w);
    ASSERT_GT(expected, 0.01) << "the case must leave a measurable tone";
    EXPECT_NEAR(20 * std::log10(measured), 20 * std::log10(expected), 0.05)
        << "cut-off " << k.cutoff << " Hz";
}

INSTANTIATE_TEST_SUITE_P(Tones, Responses,
                         ::testing::Values(ResponseCase{EffectKind::LowPass, 500, 100},
                                           ResponseCase{EffectKind::LowPass, 500, 1102.5},
                                           ResponseCase{EffectKind::LowPass, 500, 3000},
                                           ResponseCase{EffectKind::LowPass, 2000, 4410},
                                           ResponseCase{EffectKind::LowPass, 2000, 9000},
                                           ResponseCase{EffectKind::LowPass, 5000, 110},
                                           ResponseCase{EffectKind::HighPass, 100, 110},
                                           ResponseCase{EffectKind::HighPass, 500, 440},
                                           ResponseCase{EffectKind::HighPass, 500, 5000},
                                           ResponseCase{EffectKind::HighPass, 2000, 2000},
                                           ResponseCase{EffectKind::HighPass, 5000, 15000}));

}  // namespace
}  // namespace chime::test
