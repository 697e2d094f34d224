// The decoding mixer: rate conversion and channel folding measured on its output, and the
// source's position, syncs and seeks while the mixer pulls it.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "engine.h"
#include "fixtures.h"

namespace chime::test {
namespace {

constexpr DWORD kSourceFlags = BASS_STREAM_DECODE | BASS_SAMPLE_FLOAT;
constexpr DWORD kMixerFlags = BASS_STREAM_DECODE | BASS_MIXER_END;
constexpr DWORD kAddFlags = BASS_MIXER_DOWNMIX | BASS_STREAM_AUTOFREE;

// A float WAV file of a 1 kHz sine at amplitude 0.5 on every channel.
std::string SineFile(int rate, int channels, double seconds) {
    std::string graph = "aevalsrc=";
    for (int c = 0; c < channels; ++c)
        graph += (c ? "|" : "") + std::string("0.5*sin(2*PI*1000*t)");
    return Made("sine-" + std::to_string(rate) + "-" + std::to_string(channels) + "-" +
                    std::to_string(static_cast<int>(seconds * 1000)) + "ms.wav",
                "-f lavfi -i \"" + graph + ":s=" + std::to_string(rate) +
                    ":d=" + std::to_string(seconds) + "\" -c:a pcm_f32le");
}

struct Fit {
    double amplitude;   // of the 1 kHz part, in 16-bit steps
    double residualDb;  // everything else against it
};

// Least-squares fit of a 1 kHz sine to one second of one channel (exactly 1000 periods).
Fit FitSine(const std::vector<int16_t>& stereo, int channel, size_t firstFrame) {
    const size_t n = 44100;
    double s = 0;
    double c = 0;
    for (size_t i = 0; i < n; ++i) {
        const double w = 2 * M_PI * 1000.0 * static_cast<double>(i) / 44100.0;
        const double x = stereo[(firstFrame + i) * 2 + channel];
        s += x * std::sin(w);
        c += x * std::cos(w);
    }
    s *= 2.0 / n;
    c *= 2.0 / n;
    double fitEnergy = 0;
    double residualEnergy = 0;
    for (size_t i = 0; i < n; ++i) {
        const double w = 2 * M_PI * 1000.0 * static_cast<double>(i) / 44100.0;
        const double fit = s * std::sin(w) + c * std::cos(w);
        const double x = stereo[(firstFrame + i) * 2 + channel];
        fitEnergy += fit * fit;
        residualEnergy += (x - fit) * (x - fit);
    }
    return {std::hypot(s, c), 10 * std::log10(residualEnergy / fitEnergy)};
}

std::vector<int16_t> PullMixer(HSTREAM mixer) {
    std::vector<int16_t> out;
    int16_t block[512];
    while (BASS_ChannelIsActive(mixer) == BASS_ACTIVE_PLAYING) {
        const DWORD got = BASS_ChannelGetData(mixer, block, sizeof block);
        if (got == 0xFFFFFFFF || got == 0) break;
        out.insert(out.end(), block, block + got / 2);
    }
    return out;
}

struct RateCase {
    int rate;
    int channels;
};

class MixerConversion : public ::testing::TestWithParam<RateCase> {};

TEST_P(MixerConversion, ASineKeepsItsPitchAndLevelWithEverythingElse80dBDown) {
    const auto [rate, channels] = GetParam();
    const std::string path = SineFile(rate, channels, 3);
    const HSTREAM source = BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, kSourceFlags);
    ASSERT_NE(source, 0u);
    const HSTREAM mixer = BASS_Mixer_StreamCreate(44100, 2, kMixerFlags);
    ASSERT_NE(mixer, 0u);
    ASSERT_TRUE(BASS_Mixer_StreamAddChannel(mixer, source, kAddFlags));
    BASS_CHANNELINFO info{};
    ASSERT_TRUE(BASS_ChannelGetInfo(mixer, &info));
    EXPECT_EQ(info.freq, 44100u);
    EXPECT_EQ(info.chans, 2u);

    const std::vector<int16_t> out = PullMixer(mixer);
    // Every source frame comes out, converted to the mixer's rate, and nothing more.
    const QWORD sourceFrames = 3 * static_cast<QWORD>(rate);
    EXPECT_EQ(out.size() / 2, static_cast<size_t>((sourceFrames * 44100 + rate - 1) / rate));
    EXPECT_EQ(BASS_ChannelIsActive(mixer), BASS_ACTIVE_STOPPED);
    ASSERT_GE(out.size(), 2u * 88200);
    for (int ch = 0; ch < 2; ++ch) {
        const Fit fit = FitSine(out, ch, 44100);
        // Mono plays at its level on both sides; the 5.1 fold (front, centre and back at
        // 1 : 0.71 : 0.71, scaled by their sum so it cannot clip) keeps equal channels level.
        EXPECT_NEAR(fit.amplitude, 16384, 16384 * 0.01) << "channel " << ch;
        EXPECT_LT(fit.residualDb, -80) << "channel " << ch;
    }
    EXPECT_EQ(FitSine(out, 0, 44100).amplitude, FitSine(out, 1, 44100).amplitude);
    const int16_t peak = *std::max_element(out.begin(), out.end());
    EXPECT_LT(peak, 32767) << "the fold clipped";

    ASSERT_TRUE(BASS_StreamFree(mixer));
    // The source went with the mixer.
    EXPECT_FALSE(BASS_ChannelIsActive(source));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
}

INSTANTIATE_TEST_SUITE_P(Sources, MixerConversion,
                         ::testing::Values(RateCase{48000, 2}, RateCase{22050, 2},
                                           RateCase{96000, 2}, RateCase{44100, 2},
                                           RateCase{44100, 1}, RateCase{48000, 6}),
                         [](const auto& info) {
                             return std::to_string(info.param.rate) + "Hz_" +
                                    std::to_string(info.param.channels) + "ch";
                         });

TEST(MixerFold, SurroundChannelsLandWhereTheyBelongWithoutClipping) {
    // Full scale on front left only, then on every channel at once.
    const std::string left =
        Made("fl-only.wav",
             "-f lavfi -i \"aevalsrc=0.99*sin(2*PI*1000*t)|0|0|0|0|0:s=48000:d=1\" "
             "-c:a pcm_f32le");
    const std::string all =
        Made("all-six.wav",
             "-f lavfi -i \"aevalsrc=0.99*sin(2*PI*1000*t)|0.99*sin(2*PI*1000*t)|"
             "0.99*sin(2*PI*1000*t)|0.99*sin(2*PI*1000*t)|0.99*sin(2*PI*1000*t)|"
             "0.99*sin(2*PI*1000*t):s=48000:d=1\" -c:a pcm_f32le");
    for (const std::string& path : {left, all}) {
        const HSTREAM source = BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, kSourceFlags);
        const HSTREAM mixer = BASS_Mixer_StreamCreate(44100, 2, kMixerFlags);
        ASSERT_TRUE(BASS_Mixer_StreamAddChannel(mixer, source, kAddFlags));
        const std::vector<int16_t> out = PullMixer(mixer);
        int peak[2] = {0, 0};
        int clipped = 0;
        for (size_t i = 0; i < out.size(); ++i) {
            peak[i % 2] = std::max(peak[i % 2], std::abs(static_cast<int>(out[i])));
            clipped += out[i] == 32767 || out[i] == -32768;
        }
        EXPECT_EQ(clipped, 0) << path;
        EXPECT_GT(peak[0], 3000) << path;
        if (path == left) {
            EXPECT_LT(peak[1], 40) << "front left leaked to the right";
        } else {
            EXPECT_NEAR(peak[0], peak[1], 2);
        }
        BASS_StreamFree(mixer);
    }
}

TEST(Mixer, SixteenBitOutputClipsEveryValueToItsOwnSide) {
    const HSTREAM source =
        BASS_StreamCreateFile(FALSE, SineFile(44100, 2, 1).c_str(), 0, 0, kSourceFlags);
    // Values a float source can hold that a plain cast gets wrong, planted in its first block;
    // at the mixer's own rate and layout they reach its output unchanged.
    static const float odd[] = {INFINITY, -INFINITY, 1e20f, -1e20f, 1.5f, -1.5f, NAN, 0.25f};
    BASS_ChannelSetDSP(
        source,
        [](HDSP, DWORD, void* buffer, DWORD length, void*) {
            float* f = static_cast<float*>(buffer);
            for (DWORD i = 0; i < length / 4 && i < 8; ++i)
                f[i] = odd[i];
        },
        nullptr, 0);
    const HSTREAM mixer = BASS_Mixer_StreamCreate(44100, 2, kMixerFlags);
    ASSERT_TRUE(BASS_Mixer_StreamAddChannel(mixer, source, kAddFlags));
    int16_t out[8];
    ASSERT_EQ(BASS_ChannelGetData(mixer, out, sizeof out), sizeof out);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(out[i], Expected16(odd[i])) << odd[i];
    BASS_StreamFree(mixer);
}

// A 44.1 kHz stereo float source passes the mixer sample for sample (rounded to 16 bits), so
// the source's own behaviour can be checked exactly on the mixer's output.
struct Shared {
    HSTREAM mixer = 0;
    bool fired = false;
};
Shared* gShared = nullptr;

TEST(MixerSource, PositionSyncsAndSeeksOfTheSourceKeepWorking) {
    const std::string path = Made("tone-float.wav", "-f lavfi -i \"" + std::string(kToneGraph) +
                                                        ":s=44100:d=2\" -c:a pcm_f32le");
    const HSTREAM plain = BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, kSourceFlags);
    std::vector<uint8_t> floats = PullAll(plain);
    BASS_StreamFree(plain);
    auto expected16 = [&floats](QWORD sourceByte, size_t samples) {
        std::vector<int16_t> out(samples);
        const float* f = reinterpret_cast<const float*>(floats.data() + sourceByte);
        for (size_t i = 0; i < samples; ++i) {
            out[i] = Expected16(f[i]);
        }
        return out;
    };

    const HSTREAM source = BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, kSourceFlags);
    const HSTREAM mixer = BASS_Mixer_StreamCreate(44100, 2, kMixerFlags);
    ASSERT_TRUE(BASS_Mixer_StreamAddChannel(mixer, source, kAddFlags));
    EXPECT_EQ(BASS_Mixer_ChannelGetMixer(source), mixer);
    Shared shared;
    shared.mixer = mixer;
    gShared = &shared;

    // Start half a second in, as an export does.
    const QWORD start = BASS_ChannelSeconds2Bytes(source, 0.5);
    ASSERT_TRUE(BASS_ChannelSetPosition(source, start, BASS_POS_BYTE));
    // A plain sync fires within the pull that passes it; a mixtime one attaches a routine to
    // the mixer that silences everything from its own place on.
    const QWORD syncAt = start + 8 * 1001;
    const QWORD silenceAt = start + 8 * 30011;
    BASS_ChannelSetSync(
        source, BASS_SYNC_POS, syncAt, [](HSYNC, DWORD, DWORD, void*) { gShared->fired = true; },
        nullptr);
    BASS_ChannelSetSync(
        source, BASS_SYNC_POS | BASS_SYNC_MIXTIME, silenceAt,
        [](HSYNC, DWORD, DWORD, void*) {
            BASS_ChannelSetDSP(
                gShared->mixer, [](HDSP, DWORD, void* b, DWORD n, void*) { std::memset(b, 0, n); },
                nullptr, 0);
        },
        nullptr);

    std::vector<int16_t> out;
    int16_t block[512];
    bool checkedSync = false;
    while (out.size() < 2 * 44100) {
        const QWORD before = BASS_ChannelGetPosition(source, BASS_POS_BYTE);
        ASSERT_EQ(BASS_ChannelGetData(mixer, block, sizeof block), sizeof block);
        const QWORD after = BASS_ChannelGetPosition(source, BASS_POS_BYTE);
        if (!checkedSync && after > syncAt) {
            EXPECT_TRUE(shared.fired) << "not fired in the pull that passed it";
            EXPECT_LE(before, syncAt);
            checkedSync = true;
        } else if (!checkedSync) {
            EXPECT_FALSE(shared.fired);
        }
        out.insert(out.end(), block, block + 512);
    }
    EXPECT_TRUE(checkedSync);
    const QWORD silenceMixer = BASS_Mixer_ChannelGetMixerPosition(source, silenceAt);
    EXPECT_EQ(silenceMixer, (silenceAt - start) / 2);
    const size_t cut = static_cast<size_t>(silenceMixer / 2);
    EXPECT_EQ(std::vector<int16_t>(out.begin(), out.begin() + cut), expected16(start, cut));
    EXPECT_TRUE(std::all_of(out.begin() + cut, out.end(), [](int16_t v) { return v == 0; }));

    // A seek of the source while the mixer pulls it: the mixer goes on from there.
    gShared = nullptr;
    const HSTREAM fresh = BASS_Mixer_StreamCreate(44100, 2, kMixerFlags);
    const HSTREAM source2 = BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, kSourceFlags);
    ASSERT_TRUE(BASS_Mixer_StreamAddChannel(fresh, source2, kAddFlags));
    std::vector<int16_t> first(4096);
    ASSERT_EQ(BASS_ChannelGetData(fresh, first.data(), 8192), 8192u);
    const QWORD jump = 8 * 50000;
    ASSERT_TRUE(BASS_ChannelSetPosition(source2, jump, BASS_POS_BYTE));
    std::vector<int16_t> next(4096);
    ASSERT_EQ(BASS_ChannelGetData(fresh, next.data(), 8192), 8192u);
    EXPECT_EQ(first, expected16(0, 4096));
    EXPECT_EQ(next, expected16(jump, 4096));
    EXPECT_EQ(BASS_Mixer_ChannelGetMixerPosition(source2, jump + 800), 8192 + 800 / 2);

    BASS_StreamFree(mixer);
    BASS_StreamFree(fresh);
    EXPECT_FALSE(BASS_StreamFree(source2)) << "freed with its mixer";
}

// The export's order: the source is moved to the selection's start after it was added, and
// the mixer position of the selection's end is asked before the first pull. Clicks on
// silence at 0.6 s and 1.4 s of a source at each rate show where a source sample really
// comes out of the 44.1 kHz mixer.
class MixerSourceMoved : public ::testing::TestWithParam<int> {};

TEST_P(MixerSourceMoved, TheMixerPositionOfASampleHoldsBeforeAndAfterThePull) {
    const int rate = GetParam();
    const std::string clicks = "'if(eq(n," + std::to_string(rate * 6 / 10) + ")+eq(n," +
                               std::to_string(rate * 14 / 10) + "),0.9,0)'";
    const std::string path = Made("clicks-" + std::to_string(rate) + ".wav",
                                  "-f lavfi -i \"aevalsrc=" + clicks + "|" + clicks +
                                      ":s=" + std::to_string(rate) + ":d=2\" -c:a pcm_f32le");
    const HSTREAM source = BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, kSourceFlags);
    ASSERT_NE(source, 0u);
    const HSTREAM mixer = BASS_Mixer_StreamCreate(44100, 2, kMixerFlags);
    ASSERT_TRUE(BASS_Mixer_StreamAddChannel(mixer, source, kAddFlags));
    auto mixerFrameOf = [source](double seconds) {
        const QWORD at =
            BASS_Mixer_ChannelGetMixerPosition(source, BASS_ChannelSeconds2Bytes(source, seconds));
        return at == static_cast<QWORD>(-1) ? int64_t{-1} : static_cast<int64_t>(at / 4);
    };
    // The frame of the largest left sample in out from frame from on.
    auto loudest = [](const std::vector<int16_t>& out, size_t from) {
        size_t best = from;
        for (size_t f = from; f < out.size() / 2; ++f) {
            if (std::abs(out[f * 2]) > std::abs(out[best * 2])) best = f;
        }
        EXPECT_GT(std::abs(out[best * 2]), 8000) << "no click at " << best;
        return static_cast<int64_t>(best);
    };

    ASSERT_TRUE(
        BASS_ChannelSetPosition(source, BASS_ChannelSeconds2Bytes(source, 0.2), BASS_POS_BYTE));
    EXPECT_EQ(mixerFrameOf(0.2), 0);
    EXPECT_EQ(mixerFrameOf(0.6), 17640) << "before the pull";
    std::vector<int16_t> out(44100 * 2);
    ASSERT_EQ(BASS_ChannelGetData(mixer, out.data(), 44100 * 4), 44100u * 4);
    EXPECT_EQ(loudest(out, 0), 17640);
    EXPECT_EQ(mixerFrameOf(0.6), 17640) << "after the pull";

    // Moved again while the mixer holds data of the old place: the new run starts where the
    // mix stands, and nothing before the move maps any more.
    ASSERT_TRUE(
        BASS_ChannelSetPosition(source, BASS_ChannelSeconds2Bytes(source, 1.0), BASS_POS_BYTE));
    EXPECT_EQ(mixerFrameOf(1.4), 44100 + 17640) << "before the pull";
    EXPECT_EQ(mixerFrameOf(0.6), -1);
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_POSITION);
    const std::vector<int16_t> rest = PullMixer(mixer);
    out.insert(out.end(), rest.begin(), rest.end());
    EXPECT_EQ(out.size() / 2, 2u * 44100) << "the second run plays the source's last second";
    EXPECT_EQ(loudest(out, 44100), 44100 + 17640);
    EXPECT_EQ(mixerFrameOf(1.4), 44100 + 17640) << "after the pull";
    BASS_StreamFree(mixer);
}

INSTANTIATE_TEST_SUITE_P(Rates, MixerSourceMoved, ::testing::Values(22050, 44100, 48000, 96000),
                         [](const auto& info) { return std::to_string(info.param) + "Hz"; });

TEST(MixerSource, WithoutTheEndFlagAMixerPlaysSilenceAfterItsSource) {
    const std::string path = SineFile(44100, 2, 3);
    const HSTREAM source = BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, kSourceFlags);
    const HSTREAM mixer = BASS_Mixer_StreamCreate(44100, 2, BASS_STREAM_DECODE);
    ASSERT_TRUE(BASS_Mixer_StreamAddChannel(mixer, source, 0));
    ASSERT_TRUE(
        BASS_ChannelSetPosition(source, BASS_ChannelSeconds2Bytes(source, 2.99), BASS_POS_BYTE));
    std::vector<int16_t> block(44100 * 2);
    EXPECT_EQ(BASS_ChannelGetData(mixer, block.data(), 44100 * 4), 44100u * 4);
    EXPECT_EQ(BASS_ChannelIsActive(mixer), BASS_ACTIVE_PLAYING);
    EXPECT_TRUE(
        std::all_of(block.begin() + 2 * 500, block.end(), [](int16_t v) { return v == 0; }));
    // The source is not freed with the mixer unless asked.
    BASS_StreamFree(mixer);
    EXPECT_TRUE(BASS_StreamFree(source));
}

}  // namespace
}  // namespace chime::test
