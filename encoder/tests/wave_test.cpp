#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "test_wave.h"
#include "wave.h"

namespace chime::faac {
namespace {

using test::Bytes;
using test::DataSize;
using test::MakeWave;
using test::WaveParams;

// Hands out its bytes at most step at a time, as a pipe may.
class MemorySource : public ByteSource {
  public:
    MemorySource(Bytes bytes, int64_t step) : bytes_(std::move(bytes)), step_(step) {}
    int64_t Read(uint8_t* buffer, int64_t size) override {
        const int64_t n = std::min({size, step_, static_cast<int64_t>(bytes_.size()) - at_});
        std::copy_n(bytes_.begin() + at_, n, buffer);
        at_ += n;
        return n;
    }

  private:
    Bytes bytes_;
    int64_t step_;
    int64_t at_ = 0;
};

// Reads the header and then all frames; returns their count, or -1 when the header is refused.
int64_t ReadAll(const Bytes& bytes, int64_t step, WaveFormat& format, std::string& error) {
    MemorySource source(bytes, step);
    if (!ReadWaveHeader(source, format, error)) return -1;
    FrameReader reader(source, format);
    std::vector<uint8_t> block(100 * format.BytesPerFrame());
    int64_t frames = 0;
    for (int64_t got; (got = reader.Read(block.data(), 100)) > 0;)
        frames += got;
    return frames;
}

struct AcceptedCase {
    const char* name;
    WaveParams params;
    int64_t frames;          // in the stream
    int64_t expectedFrames;  // read back
    int64_t expectedDataBytes;
};

class AcceptedWave : public testing::TestWithParam<AcceptedCase> {};

// Every case is read whole and one byte at a time: a pipe may deliver any split.
TEST_P(AcceptedWave, GivesFormatAndFrames) {
    const AcceptedCase& c = GetParam();
    const Bytes bytes = MakeWave(c.params, test::Sines(c.frames, c.params.channels, c.params.rate));
    for (const int64_t step : {int64_t{1}, std::numeric_limits<int64_t>::max()}) {
        SCOPED_TRACE("read step " + std::to_string(step));
        WaveFormat format;
        std::string error;
        EXPECT_EQ(ReadAll(bytes, step, format, error), c.expectedFrames) << error;
        EXPECT_EQ(format.sampleFormat, c.params.format);
        EXPECT_EQ(format.sampleRate, c.params.rate);
        EXPECT_EQ(format.channels, c.params.channels);
        EXPECT_EQ(format.dataBytes, c.expectedDataBytes);
    }
}

WaveParams Params(SampleFormat format, int rate, int channels) {
    WaveParams params;
    params.format = format;
    params.rate = rate;
    params.channels = channels;
    return params;
}

WaveParams With(WaveParams params, const std::function<void(WaveParams&)>& change) {
    change(params);
    return params;
}

const WaveParams kCd = Params(SampleFormat::kS16, 44100, 2);

INSTANTIATE_TEST_SUITE_P(
    Wave, AcceptedWave,
    testing::Values(
        AcceptedCase{"pcm16_stereo", kCd, 1000, 1000, 4000},
        AcceptedCase{"pcm8_mono", Params(SampleFormat::kU8, 8000, 1), 333, 333, 333},
        AcceptedCase{"float_stereo", Params(SampleFormat::kF32, 48000, 2), 500, 500, 4000},
        AcceptedCase{"many_channels", Params(SampleFormat::kS16, 96000, 6), 10, 10, 120},
        AcceptedCase{"lowest_rate", Params(SampleFormat::kS16, 1000, 1), 10, 10, 20},
        AcceptedCase{"highest_rate", Params(SampleFormat::kS16, 768000, 2), 10, 10, 40},
        AcceptedCase{"extensible_pcm16", With(kCd, [](auto& s) { s.extensible = true; }), 70, 70,
                     280},
        AcceptedCase{
            "extensible_float",
            With(Params(SampleFormat::kF32, 44100, 1), [](auto& s) { s.extensible = true; }), 70,
            70, 280},
        AcceptedCase{"odd_sized_chunks_skipped",
                     With(Params(SampleFormat::kU8, 22050, 1), [](auto& s) { s.listChunk = true; }),
                     99, 99, 99},
        // A size that a writer into a pipe leaves open means: up to the end of the stream.
        AcceptedCase{"size_zero", With(kCd, [](auto& s) { s.dataSize = DataSize::kZero; }), 900,
                     900, -1},
        AcceptedCase{"size_ffffffff", With(kCd, [](auto& s) { s.dataSize = DataSize::kOpen; }), 900,
                     900, -1},
        AcceptedCase{"size_beyond_the_end",
                     With(kCd, [](auto& s) { s.dataSize = DataSize::kOversize; }), 900, 900,
                     900 * 4 * 2 + 1000},
        // An exact size ends the samples; whatever follows is not read as sound.
        AcceptedCase{
            "chunk_after_data",
            With(kCd, [](auto& s) { s.trailer = {'L', 'I', 'S', 'T', 4, 0, 0, 0, 1, 2, 3, 4}; }),
            50, 50, 200},
        // A stream cut in the middle of a frame loses that partial frame only.
        AcceptedCase{"cut_mid_frame",
                     With(kCd,
                          [](auto& s) {
                              s.dataSize = DataSize::kOpen;
                              s.trailer = {1, 2, 3};
                          }),
                     50, 50, -1}),
    [](const auto& info) { return std::string(info.param.name); });

struct RefusedCase {
    const char* name;
    std::function<Bytes()> bytes;
    const char* reason;  // a part of the message
};

class RefusedWave : public testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedWave, SaysWhy) {
    const RefusedCase& c = GetParam();
    WaveFormat format;
    std::string error;
    EXPECT_EQ(ReadAll(c.bytes(), std::numeric_limits<int64_t>::max(), format, error), -1);
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
}

Bytes Cd() {
    return MakeWave(kCd, test::Sines(10, 2, 44100));
}

// A CD-format stream with one 16-bit field of its plain 'fmt ' chunk changed.
Bytes CdWith(size_t offset, uint16_t value) {
    Bytes bytes = Cd();
    bytes[offset] = value & 0xFF;
    bytes[offset + 1] = value >> 8;
    return bytes;
}

Bytes Truncated(size_t size) {
    Bytes bytes = Cd();
    bytes.resize(size);
    return bytes;
}

constexpr size_t kTagAt = 20, kChannelsAt = 22, kRateAt = 24, kAlignAt = 32, kBitsAt = 34;

INSTANTIATE_TEST_SUITE_P(
    Wave, RefusedWave,
    testing::Values(
        RefusedCase{"empty", [] { return Bytes{}; }, "input is empty"},
        RefusedCase{"random_bytes",
                    [] {
                        Bytes bytes(5000);
                        uint32_t x = 12345;
                        for (auto& b : bytes)
                            b = static_cast<uint8_t>((x = x * 1103515245 + 12345) >> 24);
                        return bytes;
                    },
                    "not a WAVE stream"},
        RefusedCase{"text", [] { return Bytes{'h', 'e', 'l', 'l', 'o', '\n'}; }, "not a WAVE"},
        RefusedCase{"big_endian_riff",
                    [] {
                        Bytes bytes = Cd();
                        bytes[3] = 'X';
                        return bytes;
                    },
                    "no RIFF header"},
        RefusedCase{"other_riff_form",
                    [] {
                        Bytes bytes = Cd();
                        std::copy_n("AVI ", 4, bytes.begin() + 8);
                        return bytes;
                    },
                    "another kind"},
        RefusedCase{"cut_in_riff_header", [] { return Truncated(9); }, "cut short"},
        RefusedCase{"cut_before_fmt", [] { return Truncated(12); }, "no 'fmt ' chunk"},
        RefusedCase{"cut_in_fmt", [] { return Truncated(30); }, "cut short"},
        RefusedCase{"cut_before_data", [] { return Truncated(36); }, "no 'data' chunk"},
        RefusedCase{"cut_in_data_header", [] { return Truncated(40); }, "no 'data' chunk"},
        RefusedCase{"data_before_fmt",
                    [] {
                        Bytes bytes = Cd();
                        std::copy_n("data", 4, bytes.begin() + 12);
                        return bytes;
                    },
                    "before the 'fmt ' chunk"},
        RefusedCase{"fmt_too_short", [] { return CdWith(16, 14); }, "'fmt ' chunk is too short"},
        RefusedCase{"adpcm", [] { return CdWith(kTagAt, 2); }, "unsupported sample format"},
        RefusedCase{"pcm24", [] { return CdWith(kBitsAt, 24); }, "unsupported sample format"},
        RefusedCase{"float16",
                    [] {
                        Bytes bytes = CdWith(kTagAt, 3);
                        return bytes;
                    },
                    "unsupported sample format"},
        RefusedCase{"no_channels", [] { return CdWith(kChannelsAt, 0); }, "no channels"},
        RefusedCase{"rate_zero",
                    [] {
                        Bytes bytes = CdWith(kRateAt, 0);
                        bytes[kRateAt + 2] = bytes[kRateAt + 3] = 0;
                        return bytes;
                    },
                    "impossible sample rate"},
        // A broken header's rate would make the resampled output thousands of times larger, or
        // the encoder's buffers absurd.
        RefusedCase{"rate_one_hertz",
                    [] {
                        Bytes bytes = CdWith(kRateAt, 1);
                        bytes[kRateAt + 2] = bytes[kRateAt + 3] = 0;
                        return bytes;
                    },
                    "impossible sample rate (1 Hz)"},
        RefusedCase{"rate_just_below",
                    [] { return MakeWave(Params(SampleFormat::kS16, 999, 1), {}); },
                    "impossible sample rate (999 Hz)"},
        RefusedCase{"rate_just_above",
                    [] { return MakeWave(Params(SampleFormat::kS16, 768001, 1), {}); },
                    "impossible sample rate (768001 Hz)"},
        RefusedCase{"block_size_wrong", [] { return CdWith(kAlignAt, 3); }, "block size"},
        RefusedCase{"extensible_too_short", [] { return CdWith(kTagAt, 0xFFFE); },
                    "extensible 'fmt ' chunk is too short"},
        RefusedCase{"extensible_unknown_guid",
                    [] {
                        WaveParams params = kCd;
                        params.extensible = true;
                        Bytes bytes = MakeWave(params, test::Sines(4, 2, 44100));
                        bytes[12 + 8 + 24 + 5] ^= 0xFF;  // inside the sub-format GUID
                        return bytes;
                    },
                    "unknown sub-format"},
        RefusedCase{"chunk_runs_past_the_end",
                    [] {
                        Bytes bytes = Truncated(36);
                        test::PutId(bytes, "LIST");
                        test::Put32(bytes, 100000);
                        bytes.resize(bytes.size() + 50);
                        return bytes;
                    },
                    "no 'data' chunk"}),
    [](const auto& info) { return std::string(info.param.name); });

// Damaged headers are refused or read, never read out of bounds (the sanitizer build checks
// that); whatever is accepted describes a usable format.
TEST(Wave, SurvivesDamagedHeaders) {
    WaveParams params = kCd;
    params.listChunk = true;
    const Bytes good = MakeWave(params, test::Sines(64, 2, 44100));
    uint32_t x = 2024;
    const auto next = [&x] { return x = x * 1664525 + 1013904223; };
    int refused = 0;
    for (int round = 0; round < 3000; ++round) {
        Bytes bytes = good;
        for (int flips = 1 + next() % 4; flips > 0; --flips) {
            bytes[next() % 72] = static_cast<uint8_t>(next() >> 24);
        }
        bytes.erase(bytes.end() - next() % 40, bytes.end());
        WaveFormat format;
        std::string error;
        const int64_t frames = ReadAll(bytes, 1 + next() % 16, format, error);
        if (frames < 0) {
            EXPECT_FALSE(error.empty());
            ++refused;
            continue;
        }
        EXPECT_GT(format.channels, 0);
        EXPECT_GT(format.sampleRate, 0);
        EXPECT_LE(frames * format.BytesPerFrame(), static_cast<int64_t>(bytes.size()));
    }
    EXPECT_GT(refused, 0);
}

struct ConvertCase {
    const char* name;
    SampleFormat format;
    int channels;
    std::vector<float> input;     // written into the stream's bytes
    std::vector<float> expected;  // interleaved, read back
};

class Conversion : public testing::TestWithParam<ConvertCase> {};

TEST_P(Conversion, GivesFullScaleFloatPerChannel) {
    const ConvertCase& c = GetParam();
    WaveFormat format;
    format.sampleFormat = c.format;
    format.channels = c.channels;
    const Bytes bytes = test::SampleBytes(c.input, c.format);
    const int64_t frames = static_cast<int64_t>(c.input.size()) / c.channels;
    std::vector<std::vector<float>> planes(c.channels, std::vector<float>(frames, -99.0f));
    std::vector<float*> pointers;
    for (auto& plane : planes)
        pointers.push_back(plane.data());
    ToPlanarFloat(bytes.data(), frames, format, pointers.data());
    for (int64_t i = 0; i < frames; ++i) {
        for (int ch = 0; ch < c.channels; ++ch) {
            EXPECT_FLOAT_EQ(planes[ch][i], c.expected[i * c.channels + ch])
                << "frame " << i << " channel " << ch;
        }
    }
}

constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Wave, Conversion,
    testing::Values(
        ConvertCase{"pcm8",
                    SampleFormat::kU8,
                    1,
                    {-1.0f, 0.0f, 0.5f, 127 / 128.0f},
                    {-1.0f, 0.0f, 0.5f, 127 / 128.0f}},
        ConvertCase{"pcm16_stereo",
                    SampleFormat::kS16,
                    2,
                    {-1.0f, 0.25f, 32767 / 32768.0f, 0.0f},
                    {-1.0f, 0.25f, 32767 / 32768.0f, 0.0f}},
        // The encoder refuses NaN and infinities; floats beyond full scale would clip anyway.
        ConvertCase{"float_kept_in_range",
                    SampleFormat::kF32,
                    3,
                    {0.1f, -0.7f, 1.0f, kNan, kInf, -kInf, 2.5f, -3.0f, -1e30f},
                    {0.1f, -0.7f, 1.0f, 0.0f, 1.0f, -1.0f, 1.0f, -1.0f, -1.0f}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace chime::faac
