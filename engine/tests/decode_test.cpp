// Decoding: exact lengths, sample-accurate seeking, sample formats, levels and bad input, on
// real files of every kind the program opens.

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>

#include "engine.h"
#include "fixtures.h"

namespace chime::test {
namespace {

struct Kind {
    const char* name;   // file name of the fixture
    const char* codec;  // ffmpeg arguments that make it from the test tone, "" for special ones
    CreateFn* create;
    int tolerance;  // largest difference after a seek, in 16-bit steps (0: bit-exact)
};

std::string Tone(double seconds, int rate = 44100) {
    return "-f lavfi -i \"" + std::string(kToneGraph) + ":s=" + std::to_string(rate) +
           ":d=" + std::to_string(seconds) + "\" ";
}

// A file of the kind, or "" when it cannot be had here.
std::string FileOf(const Kind& k) {
    const std::string name = k.name;
    if (name == "tone.mpc") return MadeMusepack(name, 6);
    if (std::string(k.codec).empty()) return Shared(name);
    return Made(name, Tone(6) + k.codec);
}

// Every kind the program opens, made at test time. Lossless kinds and rendered modules seek
// bit-exactly, lossy ones within their decoder's noise (a sample off would be ~1000 steps).
const Kind kKinds[] = {
    {"tone.mp3", "-c:a libmp3lame -b:a 192k", BASS_StreamCreateFile, 16},
    {"tone.mp2", "-c:a mp2 -b:a 192k", BASS_StreamCreateFile, 16},
    {"tone.mp1", "-c:a mp2 -b:a 192k -f mp2", BASS_StreamCreateFile, 16},
    {"tone.ogg", "-c:a libvorbis -q:a 5", BASS_StreamCreateFile, 16},
    {"tone.wav", "-c:a pcm_s16le", BASS_StreamCreateFile, 0},
    {"tone.aiff", "-c:a pcm_s16be", BASS_StreamCreateFile, 0},
    {"tone.aif", "-c:a pcm_s16be -f aiff", BASS_StreamCreateFile, 0},
    {"tone.wma", "-c:a wmav2 -b:a 128k", BASS_WMA_StreamCreateFile, 16},
    {"tone.flac", "-c:a flac", BASS_FLAC_StreamCreateFile, 0},
    {"tone.aac", "-c:a aac -b:a 160k -f adts", BASS_AAC_StreamCreateFile, 16},
    {"tone.m4a", "-c:a aac -b:a 160k", BASS_MP4_StreamCreateFile, 16},
    {"tone.mp4", "-c:a aac -b:a 128k", BASS_MP4_StreamCreateFile, 16},
    {"alac.m4a", "-c:a alac", BASS_MP4_StreamCreateFile, 0},
    {"tone.alac", "-c:a alac -f ipod", BASS_ALAC_StreamCreateFile, 0},
    {"tone.m4b", "-c:a aac -b:a 96k -f ipod", BASS_MP4_StreamCreateFile, 16},
    {"tone.ac3", "-c:a ac3 -b:a 192k", BASS_AC3_StreamCreateFile, 16},
    {"tone.mpc", "", BASS_MPC_StreamCreateFile, 16},
    {"tone.ape", "", BASS_APE_StreamCreateFile, 0},
    {"song.mod", "", BASS_StreamCreateFile, 0},
    {"song.xm", "", BASS_StreamCreateFile, 0},
    {"song.it", "", BASS_StreamCreateFile, 0},
    {"song.s3m", "", BASS_StreamCreateFile, 0},
    {"song.mtm", "", BASS_StreamCreateFile, 0},
};

// Test names carry the file name; the rest of the case is not worth printing.
void PrintTo(const Kind& k, std::ostream* os) {
    *os << k.name;
}

class EveryKind : public ::testing::TestWithParam<Kind> {
  protected:
    void SetUp() override {
        path_ = FileOf(GetParam());
        if (path_.empty()) GTEST_SKIP() << "../shared/fixtures is absent: no " << GetParam().name;
    }
    HSTREAM Open(DWORD flags) {
        const HSTREAM h = GetParam().create(FALSE, path_.c_str(), 0, 0, flags);
        EXPECT_NE(h, 0u) << path_ << " error " << BASS_ErrorGetCode();
        return h;
    }
    std::string path_;
};

TEST_P(EveryKind, PrescanLengthIsWhatPullingDelivers) {
    const HSTREAM h = Open(BASS_STREAM_DECODE | BASS_STREAM_PRESCAN);
    ASSERT_NE(h, 0u);
    const QWORD length = BASS_ChannelGetLength(h, BASS_POS_BYTE);
    EXPECT_EQ(BASS_ChannelIsActive(h), BASS_ACTIVE_PLAYING);
    const std::vector<uint8_t> all = PullAll(h, 1000);
    EXPECT_GT(all.size(), 0u);
    EXPECT_EQ(length, static_cast<QWORD>(all.size()));
    EXPECT_EQ(BASS_ChannelGetPosition(h, BASS_POS_BYTE), length);
    EXPECT_EQ(BASS_ChannelIsActive(h), BASS_ACTIVE_STOPPED);
    EXPECT_EQ(BASS_ChannelGetData(h, const_cast<uint8_t*>(all.data()), 1000), 0u);
    BASS_StreamFree(h);

    // Without the prescan the length is an estimate, but there is one.
    const HSTREAM quick = Open(BASS_STREAM_DECODE);
    ASSERT_NE(quick, 0u);
    EXPECT_GT(BASS_ChannelGetLength(quick, BASS_POS_BYTE), 0);
    BASS_StreamFree(quick);
}

TEST_P(EveryKind, SeekDeliversWhatALinearPullDeliversThere) {
    const HSTREAM h = Open(BASS_STREAM_DECODE | BASS_STREAM_PRESCAN);
    ASSERT_NE(h, 0u);
    const std::vector<uint8_t> all = PullAll(h, 8192);
    BASS_CHANNELINFO info{};
    BASS_ChannelGetInfo(h, &info);
    const QWORD frame = 2 * info.chans;
    const QWORD length = static_cast<QWORD>(all.size());
    ASSERT_GT(length, 0);
    const QWORD window = std::min<QWORD>(length / 4, 4096 * frame);
    // Far back, forward a long way, a short step forward, near the start, at the very end.
    const double fractions[] = {0.8, 0.31, 0.52, 0.33, 0.001, 0.0};
    for (const double f : fractions) {
        const QWORD at = static_cast<QWORD>(f * (length - window) / frame) * frame;
        ASSERT_TRUE(BASS_ChannelSetPosition(h, at, BASS_POS_BYTE)) << "to " << at;
        EXPECT_EQ(BASS_ChannelGetPosition(h, BASS_POS_BYTE), at);
        std::vector<uint8_t> got(window);
        ASSERT_EQ(BASS_ChannelGetData(h, got.data(), static_cast<DWORD>(window)), window)
            << "after a seek to " << at;
        EXPECT_LE(MaxDifference16(got.data(), all.data() + at, window), GetParam().tolerance)
            << "after a seek to " << at << " of " << length;
    }
    // The end itself is a position; a byte past it is not, and a refused seek changes nothing.
    ASSERT_TRUE(BASS_ChannelSetPosition(h, length, BASS_POS_BYTE));
    EXPECT_EQ(BASS_ChannelIsActive(h), BASS_ACTIVE_STOPPED);
    const QWORD middle = length / 2 / frame * frame;
    ASSERT_TRUE(BASS_ChannelSetPosition(h, middle, BASS_POS_BYTE));
    EXPECT_FALSE(BASS_ChannelSetPosition(h, length + frame, BASS_POS_BYTE));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_POSITION);
    EXPECT_EQ(BASS_ChannelGetPosition(h, BASS_POS_BYTE), middle);
    std::vector<uint8_t> got(frame * 256);
    ASSERT_EQ(BASS_ChannelGetData(h, got.data(), static_cast<DWORD>(got.size())), got.size());
    EXPECT_LE(MaxDifference16(got.data(), all.data() + middle, got.size()), GetParam().tolerance);
    BASS_StreamFree(h);
}

INSTANTIATE_TEST_SUITE_P(Kinds, EveryKind, ::testing::ValuesIn(kKinds), [](const auto& info) {
    std::string n = info.param.name;
    for (char& c : n)
        c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return n;
});

// Sample formats: 16-bit by default, float on request, at the file's own rate and channels.
struct Format {
    const char* name;
    int rate;
    int channels;
    const char* codec;
};

const Format kFormats[] = {
    {"u8.wav", 22050, 1, "pcm_u8"},          {"s16.wav", 44100, 2, "pcm_s16le"},
    {"s24.wav", 48000, 2, "pcm_s24le"},      {"f32.wav", 96000, 2, "pcm_f32le"},
    {"surround.wav", 48000, 6, "pcm_s16le"}, {"surround.flac", 44100, 6, "flac"},
};

void PrintTo(const Format& f, std::ostream* os) {
    *os << f.name;
}

class SampleFormats : public ::testing::TestWithParam<Format> {};

TEST_P(SampleFormats, SixteenBitByDefaultAndFloatOnRequest) {
    const Format& f = GetParam();
    // A 0.5 full-scale 1 kHz sine on every channel, 0.5 s long.
    std::string graph = "aevalsrc=";
    for (int c = 0; c < f.channels; ++c)
        graph += (c ? "|" : "") + std::string("0.5*sin(2*PI*1000*t)");
    const std::string path =
        Made(f.name, "-f lavfi -i \"" + graph + ":s=" + std::to_string(f.rate) + ":d=0.5\" -c:a " +
                         f.codec);
    const int frames = f.rate / 2;
    for (const bool isFloat : {false, true}) {
        const HSTREAM h = BASS_StreamCreateFile(
            FALSE, path.c_str(), 0, 0,
            BASS_STREAM_DECODE | BASS_STREAM_PRESCAN | (isFloat ? BASS_SAMPLE_FLOAT : 0));
        ASSERT_NE(h, 0u) << path;
        BASS_CHANNELINFO info{};
        ASSERT_TRUE(BASS_ChannelGetInfo(h, &info));
        EXPECT_EQ(info.freq, static_cast<DWORD>(f.rate));
        EXPECT_EQ(info.chans, static_cast<DWORD>(f.channels));
        const int sampleBytes = isFloat ? 4 : 2;
        EXPECT_EQ(BASS_ChannelGetLength(h, BASS_POS_BYTE),
                  static_cast<QWORD>(frames) * f.channels * sampleBytes);
        const std::vector<uint8_t> all = PullAll(h);
        ASSERT_EQ(all.size(), static_cast<size_t>(frames) * f.channels * sampleBytes);
        double peak = 0;
        for (size_t i = 0; i < all.size() / sampleBytes; ++i) {
            const double v = isFloat ? reinterpret_cast<const float*>(all.data())[i]
                                     : reinterpret_cast<const int16_t*>(all.data())[i] / 32768.0;
            peak = std::max(peak, std::fabs(v));
        }
        // 8-bit samples are coarse: 1/128 of full scale.
        EXPECT_NEAR(peak, 0.5, f.rate == 22050 ? 0.01 : 0.002) << (isFloat ? "float" : "16-bit");

        // Conversions are exact for the stream's format.
        const QWORD frameBytes = static_cast<QWORD>(f.channels) * sampleBytes;
        EXPECT_EQ(BASS_ChannelSeconds2Bytes(h, 1.0), f.rate * frameBytes);
        EXPECT_EQ(BASS_ChannelSeconds2Bytes(h, 0.02), (f.rate / 50) * frameBytes);
        EXPECT_EQ(BASS_ChannelSeconds2Bytes(h, 0.3333),
                  static_cast<QWORD>(0.3333 * f.rate) * frameBytes);
        EXPECT_EQ(BASS_ChannelSeconds2Bytes(h, 1.0 / f.rate * 2.5), 2 * frameBytes);
        EXPECT_DOUBLE_EQ(BASS_ChannelBytes2Seconds(h, 3 * f.rate * frameBytes + frameBytes),
                         3.0 + 1.0 / f.rate);
        BASS_StreamFree(h);
    }
}

INSTANTIATE_TEST_SUITE_P(Files, SampleFormats, ::testing::ValuesIn(kFormats), [](const auto& info) {
    std::string n = info.param.name;
    for (char& c : n)
        c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return n;
});

TEST(Levels, EachCallConsumesTwentyMillisecondsAndGivesBothPeaks) {
    // Left at half scale, right at a quarter; then the mono case gives one level twice.
    const std::string stereo =
        Made("levels.wav",
             "-f lavfi -i \"aevalsrc=0.5*sin(2*PI*1000*t)|0.25*sin(2*PI*1000*t):s=44100:d=1\" -c:a "
             "pcm_s16le");
    const std::string mono = Made(
        "levels-mono.flac", "-f lavfi -i \"aevalsrc=0.5*sin(2*PI*1000*t):s=48000:d=1\" -c:a flac");
    for (const bool isFloat : {false, true}) {
        const HSTREAM h = BASS_StreamCreateFile(
            FALSE, stereo.c_str(), 0, 0,
            BASS_STREAM_DECODE | BASS_STREAM_PRESCAN | (isFloat ? BASS_SAMPLE_FLOAT : 0));
        ASSERT_NE(h, 0u);
        const DWORD level = BASS_ChannelGetLevel(h);
        EXPECT_NEAR(level & 0xFFFF, 16384, 40);
        EXPECT_NEAR(level >> 16, 8192, 40);
        EXPECT_EQ(BASS_ChannelGetPosition(h, BASS_POS_BYTE), BASS_ChannelSeconds2Bytes(h, 0.02));
        int calls = 1;
        while (BASS_ChannelIsActive(h) == BASS_ACTIVE_PLAYING) {
            ASSERT_NE(BASS_ChannelGetLevel(h), 0xFFFFFFFFu);
            ++calls;
        }
        EXPECT_EQ(calls, 50);
        EXPECT_EQ(BASS_ChannelGetLevel(h), 0xFFFFFFFFu);
        EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ENDED);
        BASS_StreamFree(h);
    }
    const HSTREAM m = BASS_StreamCreateFile(FALSE, mono.c_str(), 0, 0, BASS_STREAM_DECODE);
    ASSERT_NE(m, 0u);
    const DWORD level = BASS_ChannelGetLevel(m);
    EXPECT_NEAR(level & 0xFFFF, 16384, 40);
    EXPECT_EQ(level & 0xFFFF, level >> 16);
    EXPECT_EQ(BASS_ChannelGetPosition(m, BASS_POS_BYTE), 960 * 2);
    BASS_StreamFree(m);

    // A full-scale negative sample reads as 32768.
    const std::string full =
        Made("full-scale.wav", "-f lavfi -i \"aevalsrc=-1:s=8000:d=0.1\" -c:a pcm_s16le");
    const HSTREAM f = BASS_StreamCreateFile(FALSE, full.c_str(), 0, 0, BASS_STREAM_DECODE);
    ASSERT_NE(f, 0u);
    EXPECT_EQ(BASS_ChannelGetLevel(f), 32768u | (32768u << 16));
    BASS_StreamFree(f);
}

// Bad input never crashes or hangs: creation fails, or the stream ends where decoding stops.
TEST(BadInput, FailsCleanlyOrEndsAtTheLastDecodableSample) {
    namespace fs = std::filesystem;
    const std::string good = Made("tone.mp3", Tone(6) + "-c:a libmp3lame -b:a 192k");
    const std::string goodFlac = Made("tone.flac", Tone(6) + "-c:a flac");
    const std::string empty = Scratch("empty.mp3");
    std::ofstream(empty, std::ios::trunc).close();
    const std::string random = Scratch("random.mp3");
    {
        std::mt19937 rng(7);
        std::ofstream out(random, std::ios::binary | std::ios::trunc);
        for (int i = 0; i < 200000; ++i)
            out.put(static_cast<char>(rng()));
    }
    auto truncated = [](const std::string& from, const std::string& name) {
        const std::string to = Scratch(name);
        fs::copy_file(from, to, fs::copy_options::overwrite_existing);
        fs::resize_file(to, fs::file_size(from) / 2);
        return to;
    };
    const std::string cutMp3 = truncated(good, "cut.mp3");
    const std::string cutFlac = truncated(goodFlac, "cut.flac");
    const std::string dir = Scratch("a-folder.wav");
    fs::create_directories(dir);
    const std::string unreadable = Scratch("unreadable.mp3");
    fs::remove(unreadable);  // a user who is not root cannot write over last run's copy
    fs::copy_file(good, unreadable);
    ::chmod(unreadable.c_str(), 0);

    struct Case {
        std::string path;
        bool mayOpen;
    };
    const Case cases[] = {
        {Scratch("missing.mp3"), false},
        {dir, false},
        {empty, false},
        {random, true},
        {cutMp3, true},
        {cutFlac, true},
    };
    for (const Case& c : cases) {
        for (const DWORD flags : {BASS_STREAM_DECODE | BASS_STREAM_PRESCAN, DWORD{0}}) {
            const auto start = std::chrono::steady_clock::now();
            const HSTREAM h = BASS_StreamCreateFile(FALSE, c.path.c_str(), 0, 0, flags);
            if (!c.mayOpen) {
                EXPECT_EQ(h, 0u) << c.path;
                EXPECT_NE(BASS_ErrorGetCode(), BASS_OK);
            }
            if (h != 0 && (flags & BASS_STREAM_DECODE)) {
                // Damaged data may end decoding before the measured length; the length then
                // tells where it really ended.
                const QWORD pulled = static_cast<QWORD>(PullAll(h).size());
                EXPECT_EQ(pulled, BASS_ChannelGetLength(h, BASS_POS_BYTE)) << c.path;
                EXPECT_EQ(BASS_ChannelIsActive(h), BASS_ACTIVE_STOPPED);
            }
            if (h != 0) BASS_StreamFree(h);
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << c.path;
        }
    }
    // A file its reader may not read fails to open. Root reads anything, so as root the
    // creates run in a child that has given up root, and its exit status tells what it saw.
    auto refusesUnreadable = [&unreadable] {
        if (::access(unreadable.c_str(), R_OK) == 0) return 3;
        for (const DWORD flags : {BASS_STREAM_DECODE | BASS_STREAM_PRESCAN, DWORD{0}}) {
            if (BASS_StreamCreateFile(FALSE, unreadable.c_str(), 0, 0, flags) != 0) return 1;
            if (BASS_ErrorGetCode() != BASS_ERROR_FILEOPEN) return 2;
        }
        return 0;
    };
    const char* const seen[] = {"refused", "opened", "another error", "still readable",
                                "could not give up root"};
    int verdict = 0;
    if (::geteuid() != 0) {
        verdict = refusesUnreadable();
    } else {
        const pid_t child = ::fork();
        ASSERT_NE(child, -1);
        if (child == 0) {
            ::alarm(60);  // a hang shows as a killed child
            const bool dropped =
                ::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0;
            ::_exit(dropped ? refusesUnreadable() : 4);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << "the child died of signal " << WTERMSIG(status);
        verdict = WEXITSTATUS(status);
    }
    EXPECT_EQ(verdict, 0) << (verdict >= 0 && verdict <= 4 ? seen[verdict] : "?");

    // A truncated file ends at what it still holds.
    const HSTREAM whole =
        BASS_StreamCreateFile(FALSE, good.c_str(), 0, 0, BASS_STREAM_DECODE | BASS_STREAM_PRESCAN);
    const HSTREAM cut = BASS_StreamCreateFile(FALSE, cutMp3.c_str(), 0, 0,
                                              BASS_STREAM_DECODE | BASS_STREAM_PRESCAN);
    ASSERT_NE(cut, 0u);
    const QWORD cutLength = BASS_ChannelGetLength(cut, BASS_POS_BYTE);
    EXPECT_GT(cutLength, BASS_ChannelGetLength(whole, BASS_POS_BYTE) / 3);
    EXPECT_LT(cutLength, BASS_ChannelGetLength(whole, BASS_POS_BYTE) * 2 / 3);
    BASS_StreamFree(whole);
    BASS_StreamFree(cut);
}

TEST(BadInput, ALostFrameInTheMiddleKeepsLengthAndPositions) {
    // Zeros in the middle of an MP3: the decoder drops a frame there. Its time stays (as
    // silence), so the measured length holds and a seek beyond the damage lands exactly.
    namespace fs = std::filesystem;
    const std::string good = Made("tone.mp3", Tone(6) + "-c:a libmp3lame -b:a 192k");
    const std::string damaged = Scratch("damaged.mp3");
    {
        std::ifstream in(good, std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
        bytes.insert(bytes.begin() + static_cast<ptrdiff_t>(bytes.size() / 2), 3000, '\0');
        std::ofstream(damaged, std::ios::binary | std::ios::trunc)
            .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    const HSTREAM h = BASS_StreamCreateFile(FALSE, damaged.c_str(), 0, 0,
                                            BASS_STREAM_DECODE | BASS_STREAM_PRESCAN);
    ASSERT_NE(h, 0u);
    const QWORD length = BASS_ChannelGetLength(h, BASS_POS_BYTE);
    const std::vector<uint8_t> all = PullAll(h);
    EXPECT_EQ(static_cast<QWORD>(all.size()), length);
    const QWORD at = length * 3 / 4 / 4 * 4;
    ASSERT_TRUE(BASS_ChannelSetPosition(h, at, BASS_POS_BYTE));
    std::vector<uint8_t> got(16384);
    ASSERT_EQ(BASS_ChannelGetData(h, got.data(), 16384), 16384u);
    EXPECT_LE(MaxDifference16(got.data(), all.data() + at, got.size()), 16);
    BASS_StreamFree(h);
}

TEST(BadInput, AStaleHandleFailsWithoutEffectOnEveryCall) {
    const std::string path = Made("tone.wav", Tone(6) + "-c:a pcm_s16le");
    const HSTREAM other = BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, BASS_STREAM_DECODE);
    const HSTREAM h = BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, BASS_STREAM_DECODE);
    ASSERT_NE(h, 0u);
    ASSERT_NE(other, h);
    const HSYNC sync = BASS_ChannelSetSync(
        h, BASS_SYNC_END, 0, [](HSYNC, DWORD, DWORD, void*) {}, nullptr);
    ASSERT_TRUE(BASS_StreamFree(h));
    uint8_t buffer[64];
    BASS_CHANNELINFO info{};
    for (const DWORD stale : {h, DWORD{0}}) {
        EXPECT_FALSE(BASS_StreamFree(stale));
        EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
        EXPECT_FALSE(BASS_ChannelGetInfo(stale, &info));
        EXPECT_EQ(BASS_ChannelGetLength(stale, BASS_POS_BYTE), -1);
        EXPECT_LT(BASS_ChannelBytes2Seconds(stale, 100), 0);
        EXPECT_EQ(BASS_ChannelSeconds2Bytes(stale, 1.0), -1);
        EXPECT_FALSE(BASS_ChannelPlay(stale, FALSE));
        EXPECT_FALSE(BASS_ChannelPause(stale));
        EXPECT_FALSE(BASS_ChannelStop(stale));
        EXPECT_FALSE(BASS_ChannelSetPosition(stale, 0, BASS_POS_BYTE));
        EXPECT_EQ(BASS_ChannelGetPosition(stale, BASS_POS_BYTE), -1);
        EXPECT_EQ(BASS_ChannelIsActive(stale), BASS_ACTIVE_STOPPED);
        EXPECT_EQ(BASS_ChannelGetLevel(stale), 0xFFFFFFFFu);
        EXPECT_EQ(BASS_ChannelGetData(stale, buffer, sizeof buffer), 0xFFFFFFFFu);
        EXPECT_EQ(BASS_ChannelSetSync(
                      stale, BASS_SYNC_END, 0, [](HSYNC, DWORD, DWORD, void*) {}, nullptr),
                  0u);
        EXPECT_FALSE(BASS_ChannelRemoveSync(stale, sync));
        EXPECT_EQ(BASS_ChannelSetDSP(
                      stale, [](HDSP, DWORD, void*, DWORD, void*) {}, nullptr, 0),
                  0u);
        EXPECT_FALSE(BASS_ChannelRemoveDSP(stale, 1));
        EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
    }
    // The other stream of the same file is untouched, and a new handle is a new number.
    EXPECT_EQ(BASS_ChannelGetData(other, buffer, sizeof buffer), sizeof buffer);
    const HSTREAM again = BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, BASS_STREAM_DECODE);
    EXPECT_NE(again, h);
    BASS_StreamFree(again);
    BASS_StreamFree(other);
}

}  // namespace
}  // namespace chime::test
