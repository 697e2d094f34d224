// Effect chains on real streams: the fade set-ups, the routines' state from block to block and
// after moves, one ramp at a time, the loop seam through the selection's syncs, the export's
// mixer with every effect, and the routines' own restraint (no allocation) and threads.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#include "effects.h"
#include "fixtures.h"
#include "selection.h"

// Counts the allocations of the thread that asks for it.
namespace {
thread_local bool gCounting = false;
thread_local long gAllocations = 0;
}  // namespace

// malloc and free pair here on purpose, behind new and delete.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t n) {
    if (gCounting) ++gAllocations;
    if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace chime::test {
namespace {

constexpr DWORD kDecode = BASS_STREAM_DECODE | BASS_STREAM_PRESCAN;

// A tone of two partials, the same on every channel, at the given peak level (0..1).
std::string Tone(int rate, int channels, double seconds, double level, const char* format = "s16") {
    const std::string a = std::to_string(level / 2);
    std::string graph = "aevalsrc=";
    for (int c = 0; c < channels; ++c)
        graph += (c ? "|" : "") + a + "*sin(2*PI*1000*t)+" + a + "*sin(2*PI*7000*t)";
    const std::string name = "fx-" + std::to_string(rate) + "-" + std::to_string(channels) + "-" +
                             std::to_string(static_cast<int>(seconds * 1000)) + "-" +
                             std::to_string(static_cast<int>(level * 100)) + "-" + format + ".wav";
    const std::string codec = std::string(format) == "f32" ? "pcm_f32le" : "pcm_s16le";
    return Made(name, "-f lavfi -i \"" + graph + ":s=" + std::to_string(rate) +
                          ":d=" + std::to_string(seconds) + "\" -c:a " + codec);
}

std::vector<int16_t> As16(const std::vector<uint8_t>& b) {
    std::vector<int16_t> out(b.size() / 2);
    std::memcpy(out.data(), b.data(), out.size() * 2);
    return out;
}

// Pulls bytes bytes in blocks of odd frame counts, as no two players pull alike.
// Every byte of a file as a plain pull of a decoding stream gives it, with no routine on it.
std::vector<uint8_t> Linear(const std::string& path) {
    const HSTREAM plain = BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, kDecode);
    std::vector<uint8_t> all = PullAll(plain);
    BASS_StreamFree(plain);
    return all;
}

std::vector<uint8_t> PullOdd(HSTREAM h, int64_t bytes, int frameBytes) {
    std::vector<uint8_t> out(static_cast<size_t>(bytes));
    int64_t at = 0;
    for (int i = 0; at < bytes; ++i) {
        const int64_t n = std::min<int64_t>((1 + 2 * (i * 53 % 1500)) * frameBytes, bytes - at);
        const DWORD got = BASS_ChannelGetData(h, out.data() + at, static_cast<DWORD>(n));
        if (got == 0 || got == 0xFFFFFFFF) break;
        at += got;
    }
    out.resize(static_cast<size_t>(at));
    return out;
}

// What the kernels make of a block in one run, for comparison with what the routines made.
void Filter(std::vector<uint8_t>& b, EffectKind kind, int setting, FilterState& state,
            int channels = 2, size_t from = 0) {
    KernelArgs args;
    args.coefficients = FilterCoefficients::For(44100, setting, 16);
    args.state = &state;
    ProcessInChunks(kind, b.data() + from, static_cast<int64_t>(b.size() - from), 16,
                    static_cast<uint8_t>(channels), args);
}
void Gain(std::vector<uint8_t>& b, double db) {
    KernelArgs args;
    args.gainFactor = GainFactorOf(db);
    ProcessInChunks(EffectKind::Gain, b.data(), static_cast<int64_t>(b.size()), 16, 2, args);
}
void FadeSpan(std::vector<uint8_t>& b, size_t from, size_t to, FadeRamp ramp) {
    KernelArgs args;
    args.ramp = &ramp;
    ProcessInChunks(EffectKind::Fade, b.data() + from, static_cast<int64_t>(to - from), 16, 2,
                    args);
}

EffectSettings Quiet() {
    EffectSettings s;
    s.fadeInOn = false;
    return s;
}

struct SetUpCase {
    const char* name;
    bool fadeIn, ticked, withChannel;
    double seconds;
    int rate, channels;
    bool attaches;
    double gain, step;
};

void PrintTo(const SetUpCase& c, std::ostream* os) {
    *os << c.name;
}

class FadeSetUps : public ::testing::TestWithParam<SetUpCase> {};

TEST_P(FadeSetUps, StartOneStepIntoTheRamp) {
    const SetUpCase& c = GetParam();
    const std::string path = Tone(44100, 2, 1, 0.5);
    const HSTREAM h = BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, kDecode);
    ASSERT_NE(h, 0u);
    EffectChain chain;
    chain.SetFormat({16, c.rate, c.channels});
    EffectSettings s;
    s.fadeInOn = c.fadeIn && c.ticked;
    s.fadeOutOn = !c.fadeIn && c.ticked;
    s.fadeInSeconds = s.fadeOutSeconds = c.seconds;
    chain.SetSettings(s);
    AttachPreviewFade(chain, c.withChannel ? h : 0, c.fadeIn);
    const FadeRamp r = chain.Ramp();
    if (c.attaches) {
        EXPECT_NE(chain.Routine(EffectKind::Fade), 0u);
        EXPECT_EQ(r.phase, FadeRamp::Phase::Running);
    } else {
        EXPECT_EQ(chain.Routine(EffectKind::Fade), 0u);
        EXPECT_EQ(r.phase, FadeRamp::Phase::Over);
    }
    EXPECT_DOUBLE_EQ(r.gain, c.gain);
    EXPECT_DOUBLE_EQ(r.step, c.step);
    BASS_StreamFree(h);
}

const SetUpCase kSetUps[] = {
    {"FadeIn5s", true, true, true, 5, 44100, 2, true, 1.0 / 441000, 1.0 / 441000},
    {"FadeOut5s", false, true, true, 5, 44100, 2, true, 1 - 1.0 / 441000, -1.0 / 441000},
    {"FadeIn3sMono22k", true, true, true, 3, 22050, 1, true, 1.0 / 66150, 1.0 / 66150},
    {"FadeOutHalfSecond", false, true, true, 0.5, 48000, 2, true, 1 - 1.0 / 48000, -1.0 / 48000},
    {"FadeInUnticked", true, false, true, 5, 44100, 2, false, 0, 0},
    {"FadeOutUnticked", false, false, true, 5, 44100, 2, false, 0, 0},
    {"NoChannel", true, true, false, 5, 44100, 2, false, 0, 0},
    {"NoFormatYet", true, true, true, 5, 0, 0, false, 0, 0},
};

INSTANTIATE_TEST_SUITE_P(Table, FadeSetUps, ::testing::ValuesIn(kSetUps),
                         [](const auto& info) { return std::string(info.param.name); });

// Gain and both filters on a stream pulled in blocks of odd sizes give what the kernels give in
// one run over the whole data; a new setting reaches the running filter at the next block
// without restarting it.
TEST(Routines, CarryTheirStateFromBlockToBlockAndTakeNewSettingsAsTheyGo) {
    const std::string path = Tone(44100, 2, 2, 0.8);
    const std::vector<uint8_t> linear = Linear(path);

    const HSTREAM h = BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, kDecode);
    ASSERT_NE(h, 0u);
    EffectChain chain;
    chain.SetFormat({16, 44100, 2});
    EffectSettings s = Quiet();
    s.lowPassOn = s.highPassOn = s.gainOn = true;
    s.lowCut = 1500;
    s.highCut = 200;
    s.gainDb = 4;
    chain.SetSettings(s);
    chain.SetEffect(h, EffectKind::LowPass, true);
    chain.SetEffect(h, EffectKind::HighPass, true);
    chain.SetEffect(h, EffectKind::Gain, true);
    const HDSP low = chain.Routine(EffectKind::LowPass);
    ASSERT_NE(low, 0u);
    const int64_t half = static_cast<int64_t>(linear.size() / 2 / 4 * 4);
    std::vector<uint8_t> got = PullOdd(h, half, 4);
    // A slider's move: new settings, the same routines.
    s.lowCut = 3000;
    s.gainDb = -3;
    chain.SetSettings(s);
    chain.SetEffect(h, EffectKind::LowPass, true);
    EXPECT_EQ(chain.Routine(EffectKind::LowPass), low);
    const std::vector<uint8_t> rest = PullOdd(h, static_cast<int64_t>(linear.size()) - half, 4);
    got.insert(got.end(), rest.begin(), rest.end());
    ASSERT_EQ(got.size(), linear.size());

    std::vector<uint8_t> first(linear.begin(), linear.begin() + half);
    std::vector<uint8_t> second(linear.begin() + half, linear.end());
    FilterState lowState, highState;
    Filter(first, EffectKind::LowPass, 1500, lowState);
    Filter(second, EffectKind::LowPass, 3000, lowState);
    Filter(first, EffectKind::HighPass, 200, highState);
    Filter(second, EffectKind::HighPass, 200, highState);
    Gain(first, 4);
    Gain(second, -3);
    first.insert(first.end(), second.begin(), second.end());
    EXPECT_EQ(As16(got), As16(first));
    BASS_StreamFree(h);
}

// A filter starts from zero when attached and after every move of its stream; removed, it
// leaves the data alone.
TEST(Routines, FiltersStartAgainAtAttachAndAfterAMove) {
    const std::string path = Tone(44100, 2, 2, 0.8);
    const std::vector<uint8_t> linear = Linear(path);
    const HSTREAM h = BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, kDecode);
    EffectChain chain;
    chain.SetFormat({16, 44100, 2});
    EffectSettings s = Quiet();
    s.highPassOn = true;
    s.highCut = 400;
    chain.SetSettings(s);
    chain.SetEffect(h, EffectKind::HighPass, true);

    const int64_t n = 40000;
    const std::vector<uint8_t> firstPass = PullOdd(h, n, 4);
    ASSERT_TRUE(BASS_ChannelSetPosition(h, 0, BASS_POS_BYTE));
    EXPECT_EQ(PullOdd(h, n, 4), firstPass) << "the move must restart the filter";

    // Off: the data passes as it is.
    chain.SetEffect(h, EffectKind::HighPass, false);
    EXPECT_EQ(chain.Routine(EffectKind::HighPass), 0u);
    const std::vector<uint8_t> off = PullOdd(h, n, 4);
    EXPECT_EQ(off, std::vector<uint8_t>(linear.begin() + n, linear.begin() + 2 * n));
    // On again mid-stream: from zero, from where it was attached.
    chain.SetEffect(h, EffectKind::HighPass, true);
    const std::vector<uint8_t> again = PullOdd(h, n, 4);
    std::vector<uint8_t> expected(linear.begin() + 2 * n, linear.begin() + 3 * n);
    FilterState fresh;
    Filter(expected, EffectKind::HighPass, 400, fresh);
    EXPECT_EQ(again, expected);
    BASS_StreamFree(h);
}

// A fade set up while another runs replaces it: what follows gets the new ramp alone.
TEST(Fades, ANewFadeReplacesTheOneThatRuns) {
    const std::string path = Tone(44100, 2, 2, 0.8);
    const std::vector<uint8_t> linear = Linear(path);
    const HSTREAM h = BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, kDecode);
    EffectChain chain;
    chain.SetFormat({16, 44100, 2});
    EffectSettings s;
    s.fadeInOn = s.fadeOutOn = true;
    s.fadeInSeconds = 1;
    s.fadeOutSeconds = 2;
    chain.SetSettings(s);
    AttachPreviewFade(chain, h, true);
    const HDSP fadeIn = chain.Routine(EffectKind::Fade);
    const int64_t third = 44100 * 4 / 3 / 4 * 4;
    std::vector<uint8_t> got = PullOdd(h, third, 4);
    AttachPreviewFade(chain, h, false);
    EXPECT_NE(chain.Routine(EffectKind::Fade), fadeIn);
    EXPECT_FALSE(BASS_ChannelRemoveDSP(h, fadeIn)) << "the earlier fade was removed";
    const std::vector<uint8_t> rest = PullOdd(h, 2 * third, 4);
    got.insert(got.end(), rest.begin(), rest.end());

    std::vector<uint8_t> expected(linear.begin(), linear.begin() + 3 * third);
    FadeSpan(expected, 0, static_cast<size_t>(third), {1.0 / 88200, 1.0 / 88200});
    FadeSpan(expected, static_cast<size_t>(third), expected.size(),
             {1 - 1.0 / 176400, -1.0 / 176400});
    EXPECT_EQ(As16(got), As16(expected));
    BASS_StreamFree(h);
}

// Looping with both fades: the fade-out ends in silence at the loop's end and the fade-in
// starts at the jump itself, so no sample near the seam is louder than its ramp allows.
TEST(LoopSeam, RunsFromTheFadeOutStraightIntoTheFadeIn) {
    const std::string path = Tone(44100, 2, 6, 0.8);
    const HSTREAM plain = BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, kDecode);
    const std::vector<int16_t> linear = As16(PullAll(plain));
    BASS_StreamFree(plain);

    const HSTREAM h = BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, kDecode);
    EffectChain chain;
    chain.SetFormat({16, 44100, 2});
    EffectSettings s;
    s.fadeInOn = s.fadeOutOn = true;
    s.fadeInSeconds = s.fadeOutSeconds = 1;
    chain.SetSettings(s);
    struct NoView : SelectionView {
        void ShowStartSeconds(int) override {}
        void ShowEndSeconds(int) override {}
        void ShowLength(const std::string&) override {}
        void EnableExport(bool) override {}
    } view;
    Selection sel(view);
    sel.SetStream(h);
    sel.fadeOutSeconds = 1;
    sel.loopChecked = true;
    sel.attachPreviewFade = [&chain](HSTREAM channel, Fade fade) {
        AttachPreviewFade(chain, channel, fade == Fade::In);
    };
    const int64_t start = BASS_ChannelSeconds2Bytes(h, 1.0);
    const int64_t end = BASS_ChannelSeconds2Bytes(h, 3.5);
    sel.SetSelectionStart(start);
    sel.SetSelectionEnd(end);
    // From 0.5 s: into the selection, its fade-out, the jump, and a second of the next pass.
    const int64_t from = BASS_ChannelSeconds2Bytes(h, 0.5);
    ASSERT_TRUE(BASS_ChannelSetPosition(h, from, BASS_POS_BYTE));
    const std::vector<int16_t> out = As16(PullOdd(h, (end - from) + (end - start) / 2, 4));
    ASSERT_EQ(out.size() * 2, static_cast<size_t>((end - from) + (end - start) / 2));

    const double ramp = 88200;  // sample values in a second of stereo
    const size_t seam = static_cast<size_t>((end - from) / 2);
    // Every sample within a tenth of a second of the seam, against its distance to it.
    for (size_t i = seam - 8820; i < seam + 8820; ++i) {
        const size_t source = i < seam ? static_cast<size_t>(from / 2) + i
                                       : static_cast<size_t>(start / 2) + (i - seam);
        const double d =
            i < seam ? static_cast<double>(seam - i) : static_cast<double>(i - seam + 1);
        ASSERT_LE(std::abs(out[i]), std::abs(linear[source]) * d / ramp + 1)
            << "sample " << static_cast<long>(i) - static_cast<long>(seam) << " from the seam";
    }
    // The last sample of the fade-out is silent, and the ramps really ramp.
    EXPECT_EQ(out[seam - 1], 0);
    const size_t mid = seam + 44100;
    EXPECT_NEAR(out[mid], linear[static_cast<size_t>(start / 2) + 44100] * 0.5, 2);
    BASS_StreamFree(h);
}

// The export's chain on a decoding mixer, pulled as the export pulls it, against the plain
// mixer output processed by the kernels in the export's order: low-pass, high-pass, gain,
// fade-in, then the fade-out from its sync to the end, silence after.
struct ExportCase {
    const char* name;
    EffectSettings settings;
    double measuredDb;  // the gain measured mid-span, when filters do not colour it; NAN: none
};

void PrintTo(const ExportCase& c, std::ostream* os) {
    *os << c.name;
}

EffectSettings Everything() {
    EffectSettings s;
    s.gainOn = s.highPassOn = s.lowPassOn = s.fadeInOn = s.fadeOutOn = true;
    s.gainDb = 6;
    s.highCut = 100;
    s.lowCut = 2000;
    s.fadeInSeconds = 1;
    s.fadeOutSeconds = 1;
    return s;
}
EffectSettings GainAndFadeOut() {
    EffectSettings s;
    s.gainOn = s.fadeOutOn = true;
    s.fadeInOn = false;
    s.gainDb = -6;
    s.fadeOutSeconds = 0.75;
    return s;
}
EffectSettings FadeOutOnly() {
    EffectSettings s;
    s.fadeInOn = false;
    s.fadeOutOn = true;
    s.fadeOutSeconds = 2;
    return s;
}

class Exports : public ::testing::TestWithParam<ExportCase> {};

struct ExportSync {
    EffectChain* chain;
    HSTREAM mixer;
};

TEST_P(Exports, TheMixerOutputIsThePlainMixProcessedInOrder) {
    const ExportCase& c = GetParam();
    const EffectSettings& s = c.settings;
    const std::string path = Tone(48000, 2, 6, 0.9, "f32");
    constexpr DWORD kSource = BASS_STREAM_DECODE | BASS_SAMPLE_FLOAT;
    constexpr DWORD kMixer = BASS_STREAM_DECODE | BASS_MIXER_END;
    constexpr DWORD kAdd = BASS_MIXER_DOWNMIX | BASS_STREAM_AUTOFREE;
    struct Chain {
        HSTREAM source, mixer;
        int64_t start, end, endMixer, fadeOutMixer;
    };
    auto make = [&](void) {
        Chain k;
        k.source = BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, kSource);
        k.mixer = BASS_Mixer_StreamCreate(44100, 2, kMixer);
        EXPECT_TRUE(BASS_Mixer_StreamAddChannel(k.mixer, k.source, kAdd));
        k.start = BASS_ChannelSeconds2Bytes(k.source, 1);
        k.end = BASS_ChannelSeconds2Bytes(k.source, 4);
        BASS_ChannelSetPosition(k.source, k.start, BASS_POS_BYTE);
        k.endMixer = BASS_Mixer_ChannelGetMixerPosition(k.source, k.end);
        k.fadeOutMixer = BASS_Mixer_ChannelGetMixerPosition(
            k.source, k.end - BASS_ChannelSeconds2Bytes(k.source, s.fadeOutSeconds));
        return k;
    };
    const int64_t total = 1024 * 690;  // the 3 s span and a second beyond its end

    // Pulled as the export pulls: 1024 bytes at a time.
    auto pull = [total](HSTREAM mixer) {
        std::vector<uint8_t> all;
        std::vector<uint8_t> block(1024);
        while (static_cast<int64_t>(all.size()) < total) {
            if (BASS_ChannelGetData(mixer, block.data(), 1024) != 1024u) break;
            all.insert(all.end(), block.begin(), block.end());
        }
        return all;
    };
    const Chain ref = make();
    std::vector<uint8_t> expected = pull(ref.mixer);
    BASS_StreamFree(ref.mixer);
    ASSERT_EQ(expected.size(), static_cast<size_t>(total));

    const Chain k = make();
    EffectChain chain;
    chain.SetFormat({16, 44100, 2});
    chain.SetSettings(s);
    AttachExportEffects(chain, k.mixer);
    chain.SetEndPosition(k.endMixer);
    EXPECT_EQ(chain.Routine(EffectKind::LowPass) != 0, s.lowPassOn);
    EXPECT_EQ(chain.Routine(EffectKind::HighPass) != 0, s.highPassOn);
    EXPECT_EQ(chain.Routine(EffectKind::Gain) != 0, s.gainOn);
    EXPECT_EQ(chain.Routine(EffectKind::Fade) != 0, s.fadeInOn);
    ExportSync sync{&chain, k.mixer};
    if (s.fadeOutOn) {
        BASS_ChannelSetSync(
            k.source, BASS_SYNC_MIXTIME | BASS_SYNC_POS,
            k.end - BASS_ChannelSeconds2Bytes(k.source, s.fadeOutSeconds),
            [](HSYNC, DWORD, DWORD, void* user) {
                auto* e = static_cast<ExportSync*>(user);
                AttachExportFade(*e->chain, e->mixer, false);
            },
            &sync);
    }
    const std::vector<uint8_t> got = pull(k.mixer);
    BASS_StreamFree(k.mixer);
    ASSERT_EQ(got.size(), static_cast<size_t>(total));

    FilterState low, high;
    if (s.lowPassOn) Filter(expected, EffectKind::LowPass, s.lowCut, low);
    if (s.highPassOn) Filter(expected, EffectKind::HighPass, s.highCut, high);
    if (s.gainOn) Gain(expected, s.gainDb);
    const size_t fadeOutAt = s.fadeOutOn ? static_cast<size_t>(k.fadeOutMixer) : expected.size();
    if (s.fadeInOn) {
        const double step = 1.0 / s.fadeInSeconds / 88200;
        FadeSpan(expected, 0, fadeOutAt, {step, step});
    }
    if (s.fadeOutOn) {
        const double step = -1.0 / static_cast<double>((k.endMixer - k.fadeOutMixer) / 2);
        FadeRamp ramp{1 + step, step};
        ramp.silenceAfterFadeOut = true;
        FadeSpan(expected, fadeOutAt, expected.size(), ramp);
    }
    const std::vector<int16_t> out = As16(got);
    EXPECT_EQ(out, As16(expected));

    if (s.fadeOutOn) {
        // The ramp reaches 0 on the last sample before the end; from there on, silence.
        const size_t endSample = static_cast<size_t>(k.endMixer / 2);
        EXPECT_TRUE(std::all_of(out.begin() + static_cast<long>(endSample) - 1, out.end(),
                                [](int16_t v) { return v == 0; }));
        int nearEnd = 0;
        for (size_t i = endSample - 200; i < endSample - 1; ++i)
            nearEnd = std::max(nearEnd, std::abs(static_cast<int>(out[i])));
        EXPECT_GT(nearEnd, 0);
        EXPECT_LT(nearEnd, 32768 * 2 * 200 / ((k.endMixer - k.fadeOutMixer) / 2) + 2);
    }
    if (!std::isnan(c.measuredDb)) {
        // Mid-span, away from both fades: the level against the plain mix.
        const Chain again = make();
        const std::vector<int16_t> dry = As16(pull(again.mixer));
        BASS_StreamFree(again.mixer);
        double wet = 0, plain = 0;
        for (size_t i = 44100 * 2; i < 44100 * 3; ++i) {
            wet += static_cast<double>(out[i]) * out[i];
            plain += static_cast<double>(dry[i]) * dry[i];
        }
        EXPECT_NEAR(10 * std::log10(wet / plain), c.measuredDb, 0.01);
    }
}

const ExportCase kExports[] = {
    {"EveryEffect", Everything(), NAN},
    {"GainAndFadeOut", GainAndFadeOut(), -6},
    {"FadeOutOnlyAttachesNothingAtTheStart", FadeOutOnly(), NAN},
    {"Nothing", Quiet(), NAN},
};

INSTANTIATE_TEST_SUITE_P(Table, Exports, ::testing::ValuesIn(kExports),
                         [](const auto& info) { return std::string(info.param.name); });

// Called directly on a block, as the engine calls them: no routine allocates.
TEST(Routines, AllocateNothing) {
    const std::string path = Tone(44100, 2, 1, 0.5);
    const HSTREAM h = BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, kDecode);
    EffectChain chain;
    chain.SetFormat({16, 44100, 2});
    EffectSettings s = Everything();
    s.fadeInSeconds = 10;
    chain.SetSettings(s);
    AttachPreviewFade(chain, h, true);
    std::vector<uint8_t> block(8820 * 4, 0x35);
    DSPPROC* routines[] = {LowPassDspProc, HighPassDspProc, GainDspProc, PreviewFadeDspProc,
                           ExportFadeDspProc};
    gCounting = true;
    gAllocations = 0;
    for (int round = 0; round < 3; ++round) {
        for (DSPPROC* proc : routines)
            proc(0, h, block.data(), static_cast<DWORD>(block.size()), &chain);
        s.lowCut += 100;  // new coefficients on the way
        gCounting = false;
        chain.SetSettings(s);
        gCounting = true;
    }
    gCounting = false;
    EXPECT_EQ(gAllocations, 0);
    EXPECT_LT(chain.Ramp().gain, 1.0);
    EXPECT_GT(chain.Ramp().gain, 0.0) << "the fade ran";
    BASS_StreamFree(h);
}

// The routines on a playing stream, with the selection's syncs setting up fades on the
// playback thread, while this thread moves the settings about and seeks: nothing the routines
// make goes beyond what the settings allow.
TEST(PreviewPlaying, SettingsAndSeeksWhileTheRoutinesRun) {
    ASSERT_TRUE(BASS_Init(-1, 44100, 0, nullptr, nullptr));
    const std::string path = Tone(44100, 2, 3, 0.5);
    const HSTREAM h = BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, BASS_STREAM_PRESCAN);
    ASSERT_NE(h, 0u);
    EffectChain chain;
    chain.SetFormat({16, 44100, 2});
    EffectSettings s;
    s.gainOn = s.lowPassOn = s.highPassOn = s.fadeInOn = s.fadeOutOn = true;
    s.fadeInSeconds = s.fadeOutSeconds = 0.25;
    chain.SetSettings(s);
    struct NoView : SelectionView {
        void ShowStartSeconds(int) override {}
        void ShowEndSeconds(int) override {}
        void ShowLength(const std::string&) override {}
        void EnableExport(bool) override {}
    } view;
    Selection sel(view);
    sel.SetStream(h);
    sel.loopChecked = true;
    sel.fadeOutSeconds = 1;
    sel.attachPreviewFade = [&chain](HSTREAM channel, Fade fade) {
        AttachPreviewFade(chain, channel, fade == Fade::In);
    };
    sel.SetSelectionStart(BASS_ChannelSeconds2Bytes(h, 0.2));
    sel.SetSelectionEnd(BASS_ChannelSeconds2Bytes(h, 1.5));
    for (EffectKind kind : {EffectKind::LowPass, EffectKind::HighPass, EffectKind::Gain})
        chain.SetEffect(h, kind, true);
    // After every other routine: the loudest sample and the blocks seen.
    struct Seen {
        std::atomic<int> peak{0};
        std::atomic<int> blocks{0};
    } seen;
    BASS_ChannelSetDSP(
        h,
        [](HDSP, DWORD, void* buffer, DWORD length, void* user) {
            auto* z = static_cast<Seen*>(user);
            const auto* v = static_cast<const int16_t*>(buffer);
            int peak = 0;
            for (DWORD i = 0; i < length / 2; ++i)
                peak = std::max(peak, std::abs(static_cast<int>(v[i])));
            if (peak > z->peak.load()) z->peak.store(peak);
            z->blocks.fetch_add(1);
        },
        &seen, -1);
    ASSERT_TRUE(BASS_ChannelPlay(h, FALSE));
    for (int i = 0; i < 60; ++i) {
        s.gainDb = -(i % 13);
        s.lowCut = 1000 + 150 * (i % 40);
        s.highCut = 20 * (i % 25);
        chain.SetSettings(s);
        if (i % 15 == 7) {
            BASS_ChannelSetPosition(h, BASS_ChannelSeconds2Bytes(h, 0.1 * (i % 9)), BASS_POS_BYTE);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
    while (seen.blocks.load() < 20)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    BASS_StreamFree(h);
    BASS_Free();
    // The tone peaks at half scale; gains of 0 dB and less, and filters of damping 1, keep it
    // well below full scale.
    EXPECT_GT(seen.peak.load(), 0);
    EXPECT_LT(seen.peak.load(), 16384 * 3 / 2);
}

}  // namespace
}  // namespace chime::test
