// Decoding: exact lengths, sample-accurate seeking, sample formats, levels and bad input, on
// real files of every kind the program opens.

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
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
    // Far back, forward a long way, a short step forward, near the start, at the very start,
    // near the end, and the last stretch before the end.
    const double fractions[] = {0.8, 0.31, 0.52, 0.33, 0.001, 0.0, 0.93, 0.9, 0.97, 0.99};
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
            // A bound on a hang, far above any machine's speed: bad input never keeps a call
            // busy for long.
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20)) << c.path;
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

std::vector<char> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>((std::istreambuf_iterator<char>(in)), {});
}

void WriteBytes(const std::string& path, const std::vector<char>& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A copy of from with count bytes at the fraction at of its size set to zero.
std::string Zeroed(const std::string& from, const std::string& name, double at, size_t count) {
    std::vector<char> bytes = ReadBytes(from);
    const size_t start = static_cast<size_t>(static_cast<double>(bytes.size()) * at);
    std::fill_n(bytes.begin() + static_cast<ptrdiff_t>(start),
                std::min(count, bytes.size() - start), '\0');
    const std::string to = Scratch(name);
    WriteBytes(to, bytes);
    return to;
}

std::string Joined(const std::string& first, const std::string& second, const std::string& name) {
    std::vector<char> bytes = ReadBytes(first);
    const std::vector<char> more = ReadBytes(second);
    bytes.insert(bytes.end(), more.begin(), more.end());
    const std::string to = Scratch(name);
    WriteBytes(to, bytes);
    return to;
}

// A canonical WAV header whose fields are given one by one, followed by data.
std::string Wav(const std::string& name, uint16_t tag, uint16_t channels, uint32_t rate,
                uint32_t byteRate, uint16_t blockAlign, uint16_t bits,
                const std::vector<char>& data) {
    std::vector<char> out;
    auto put = [&out](uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            out.push_back(static_cast<char>(v >> (8 * i)));
    };
    auto id = [&out](const char* text) { out.insert(out.end(), text, text + 4); };
    id("RIFF");
    put(static_cast<uint32_t>(36 + data.size()), 4);
    id("WAVE");
    id("fmt ");
    put(16, 4);
    put(tag, 2);
    put(channels, 2);
    put(rate, 4);
    put(byteRate, 4);
    put(blockAlign, 2);
    put(bits, 2);
    id("data");
    put(static_cast<uint32_t>(data.size()), 4);
    out.insert(out.end(), data.begin(), data.end());
    const std::string path = Scratch(name);
    WriteBytes(path, out);
    return path;
}

// 16-bit samples of a sine that never repeats within the data, so a misplaced sample shows.
std::vector<char> Sweep16(int frames, int channels) {
    std::vector<char> data;
    for (int i = 0; i < frames; ++i) {
        for (int c = 0; c < channels; ++c) {
            const auto v = static_cast<int16_t>(12000 * std::sin(0.0001 * i * i + c));
            data.push_back(static_cast<char>(v & 0xFF));
            data.push_back(static_cast<char>((v >> 8) & 0xFF));
        }
    }
    return data;
}

// Frames a pull of the whole file delivers.
int64_t FramesOf(const std::string& path) {
    const HSTREAM h =
        BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, BASS_STREAM_DECODE | BASS_STREAM_PRESCAN);
    if (h == 0) return -1;
    BASS_CHANNELINFO info{};
    BASS_ChannelGetInfo(h, &info);
    const int64_t frames = static_cast<int64_t>(PullAll(h, 65536).size()) / (2 * info.chans);
    BASS_StreamFree(h);
    return frames;
}

// Frames that the ffmpeg tool decodes from the file, at the given rate and channel count.
int64_t FramesByFfmpeg(const std::string& path, int channels) {
    const std::string command = "ffmpeg -nostdin -v quiet -i '" + path + "' -f s16le - | wc -c";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return -1;
    long long bytes = -1;
    if (std::fscanf(pipe, "%lld", &bytes) != 1) bytes = -1;
    ::pclose(pipe);
    return bytes < 0 ? -1 : bytes / (2 * channels);
}

struct OddFile {
    const char* name;
    std::function<std::string()> make;
    // The frames it must play, from something other than this file's own decode; -1 for "as
    // measured", when only the length and the seeks are checked.
    std::function<int64_t()> expectedFrames;
    int tolerance;  // largest difference after a seek, in 16-bit steps
};

void PrintTo(const OddFile& f, std::ostream* os) {
    *os << f.name;
}

const OddFile kOddFiles[] = {
    // A second FLAC stream appended to a 96 kHz one: both play, one after the other.
    {"appended_flac",
     [] {
         const std::string a = Made("hi-a.flac", Tone(2, 96000) + "-c:a flac");
         const std::string b = Made("hi-b.flac", Tone(3, 96000) + "-c:a flac");
         return Joined(a, b, "appended.flac");
     },
     [] { return FramesOf(Made("hi-a.flac", "")) + FramesOf(Made("hi-b.flac", "")); }, 0},
    // Zeros over a frame of FLAC: the frame lost keeps its time as silence.
    {"damaged_flac",
     [] { return Zeroed(Made("tone.flac", Tone(6) + "-c:a flac"), "damaged.flac", 0.5, 4096); },
     [] { return FramesOf(Made("tone.flac", "")); }, 0},
    // AC-3 with frames the decoder rejects.
    {"damaged_ac3",
     [] {
         return Zeroed(Made("tone.ac3", Tone(6) + "-c:a ac3 -b:a 192k"), "damaged.ac3", 0.5, 4096);
     },
     [] { return int64_t{-1}; }, 32},
    {"damaged_adts",
     [] {
         return Zeroed(Made("tone.aac", Tone(6) + "-c:a aac -b:a 160k -f adts"), "damaged.aac", 0.5,
                       4096);
     },
     [] { return int64_t{-1}; }, 32},
    // An MP3 whose start is gone, its encoder's header with it.
    {"mp3_start_zeroed",
     [] {
         return Zeroed(Made("tone.mp3", Tone(6) + "-c:a libmp3lame -b:a 192k"), "zeroed-start.mp3",
                       0.0, 65536);
     },
     [] { return int64_t{-1}; }, 16},
    // Damaged Musepack: what plays is everything its decoder gives, not up to the first error.
    {"damaged_musepack",
     [] { return Zeroed(MadeMusepack("tone.mpc", 6), "damaged.mpc", 0.3, 300); },
     [] { return FramesByFfmpeg(Scratch("damaged.mpc"), 2); }, 16},
    // Two Ogg Vorbis songs chained, as radio rips are: both play.
    {"chained_ogg",
     [] {
         const std::string a = Made("part-a.ogg", Tone(3, 48000) + "-c:a libvorbis -q:a 4");
         const std::string b =
             Made("part-b.ogg",
                  "-f lavfi -i \"aevalsrc=0.5*sin(2*PI*1000*t)|0.2*sin(2*PI*300*t):s=48000:d=4\" "
                  "-c:a libvorbis -q:a 4");
         return Joined(a, b, "chained.ogg");
     },
     [] { return FramesByFfmpeg(Scratch("chained.ogg"), 2); }, 16},
    // A 16-bit mono WAV whose block size field says 3 bytes: the data is 16-bit mono all the same.
    {"wav_block_align_3",
     [] { return Wav("align3.wav", 1, 1, 8000, 16000, 3, 16, Sweep16(6610, 1)); },
     [] { return int64_t{6610}; }, 0},
    // A WAV whose byte rate field is twice what its rate and sample format make.
    {"wav_wrong_byte_rate",
     [] { return Wav("byterate.wav", 1, 2, 44100, 44100 * 8, 4, 16, Sweep16(44100, 2)); },
     [] { return int64_t{44100}; }, 0},
};

class OddFiles : public ::testing::TestWithParam<OddFile> {};

// The length is what a pull delivers (and, where something else can tell, what the file holds);
// a seek anywhere inside it, the damaged stretch included, lands where that pull is.
TEST_P(OddFiles, LengthIsWhatPlaysAndSeeksLandWhereALinearPullIs) {
    const OddFile& f = GetParam();
    const std::string path = f.make();
    const HSTREAM h =
        BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, BASS_STREAM_DECODE | BASS_STREAM_PRESCAN);
    ASSERT_NE(h, 0u) << path << " error " << BASS_ErrorGetCode();
    BASS_CHANNELINFO info{};
    ASSERT_TRUE(BASS_ChannelGetInfo(h, &info));
    const QWORD frame = 2 * info.chans;
    const QWORD length = BASS_ChannelGetLength(h, BASS_POS_BYTE);
    const std::vector<uint8_t> all = PullAll(h, 65536);
    ASSERT_EQ(static_cast<QWORD>(all.size()), length);
    const int64_t expected = f.expectedFrames();
    if (expected >= 0) {
        EXPECT_EQ(length, expected * static_cast<int64_t>(frame));
    }

    const QWORD window = std::min<QWORD>(length / 8, 2048 * frame) / frame * frame;
    for (const double at : {0.3, 0.49, 0.5, 0.51, 0.52, 0.85, 0.1}) {
        const QWORD pos = static_cast<QWORD>(at * static_cast<double>(length) / frame) * frame;
        ASSERT_TRUE(BASS_ChannelSetPosition(h, pos, BASS_POS_BYTE)) << "to " << pos;
        std::vector<uint8_t> got(window);
        ASSERT_EQ(BASS_ChannelGetData(h, got.data(), static_cast<DWORD>(window)), window)
            << "after a seek to " << pos;
        EXPECT_LE(MaxDifference16(got.data(), all.data() + pos, window), f.tolerance)
            << "after a seek to " << pos << " of " << length;
    }
    EXPECT_TRUE(BASS_ChannelSetPosition(h, length, BASS_POS_BYTE));
    EXPECT_FALSE(BASS_ChannelSetPosition(h, length + frame, BASS_POS_BYTE));
    BASS_StreamFree(h);
}

INSTANTIATE_TEST_SUITE_P(Files, OddFiles, ::testing::ValuesIn(kOddFiles),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(OddFiles, AChainedPartInAnotherFormatIsConvertedToTheFirstPartsFormat) {
    // 48 kHz stereo, then 22.05 kHz mono: the stream stays 48 kHz stereo throughout, the mono
    // part on both channels at its own level, as long as it lasts.
    const std::string a = Made("part-a.ogg", Tone(3, 48000) + "-c:a libvorbis -q:a 4");
    const std::string b =
        Made("part-mono.ogg",
             "-f lavfi -i \"aevalsrc=0.5*sin(2*PI*1000*t):s=22050:d=2\" -c:a libvorbis -q:a 4");
    const std::string chained = Joined(a, b, "chained-mixed.ogg");
    const HSTREAM h = BASS_StreamCreateFile(FALSE, chained.c_str(), 0, 0,
                                            BASS_STREAM_DECODE | BASS_STREAM_PRESCAN);
    ASSERT_NE(h, 0u);
    BASS_CHANNELINFO info{};
    ASSERT_TRUE(BASS_ChannelGetInfo(h, &info));
    EXPECT_EQ(info.freq, 48000u);
    EXPECT_EQ(info.chans, 2u);
    const QWORD length = BASS_ChannelGetLength(h, BASS_POS_BYTE);
    const std::vector<uint8_t> all = PullAll(h, 65536);
    ASSERT_EQ(static_cast<QWORD>(all.size()), length);
    EXPECT_NEAR(static_cast<double>(length) / (48000 * 4), 5.0, 0.05);
    // The last second: the mono tone, the same on both sides, at half scale.
    const auto* samples = reinterpret_cast<const int16_t*>(all.data());
    const size_t frames = all.size() / 4;
    int peak = 0;
    int sideDifference = 0;
    for (size_t i = frames - 48000; i < frames - 4800; ++i) {
        peak = std::max(peak, std::abs(samples[2 * i]));
        sideDifference = std::max(sideDifference, std::abs(samples[2 * i] - samples[2 * i + 1]));
    }
    EXPECT_NEAR(peak, 16384, 1500);  // not 11585, as a mix of the mono part down by 3 dB gives
    EXPECT_EQ(sideDifference, 0);
    // A seek into the second part lands where the pull was there.
    const QWORD at = length * 4 / 5 / 4 * 4;
    ASSERT_TRUE(BASS_ChannelSetPosition(h, at, BASS_POS_BYTE));
    std::vector<uint8_t> got(8192);
    ASSERT_EQ(BASS_ChannelGetData(h, got.data(), 8192), 8192u);
    EXPECT_EQ(MaxDifference16(got.data(), all.data() + at, got.size()), 0);
    BASS_StreamFree(h);
}

// Headers with absurd rates are refused at once with a format error; the edges of the range
// open.
TEST(AbsurdHeaders, RatesOutsideTheRangeAreRefused) {
    struct Case {
        const char* name;
        uint32_t rate;
        uint16_t channels;
        uint16_t tag;  // 1: 16-bit PCM, 3: float
        bool opens;
    };
    const Case cases[] = {
        {"one-hertz.wav", 1, 1, 1, false},  {"below.wav", 999, 1, 1, false},
        {"lowest.wav", 1000, 1, 1, true},   {"highest.wav", 768000, 2, 1, true},
        {"above.wav", 768001, 2, 1, false}, {"huge-float.wav", 2147483647, 32, 3, false},
    };
    for (const Case& c : cases) {
        const uint16_t bits = c.tag == 3 ? 32 : 16;
        const uint16_t align = static_cast<uint16_t>(c.channels * bits / 8);
        const std::string path = Wav(c.name, c.tag, c.channels, c.rate, c.rate * align, align, bits,
                                     std::vector<char>(static_cast<size_t>(align) * 2000, '\0'));
        for (const DWORD flags : {BASS_STREAM_DECODE | BASS_STREAM_PRESCAN, DWORD{0}}) {
            const HSTREAM h = BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, flags);
            EXPECT_EQ(h != 0, c.opens) << c.name;
            if (h == 0) {
                EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_FORMAT) << c.name;
            } else {
                BASS_StreamFree(h);
            }
        }
    }
}

TEST(AbsurdHeaders, ALevelOfManyChannelsAtTheHighestRateIsExact) {
    // 32 float channels at 768 kHz: 20 ms is 15360 frames of 128 bytes, measured in pieces.
    std::vector<char> data(static_cast<size_t>(20000) * 32 * 4, '\0');
    auto put = [&data](size_t frame, int channel, float v) {
        std::memcpy(&data[(frame * 32 + static_cast<size_t>(channel)) * 4], &v, 4);
    };
    put(15000, 4, 0.5f);   // left side, late in the first 20 ms
    put(100, 31, -0.25f);  // right side, early
    put(16000, 0, 1.0f);   // in the next 20 ms
    const std::string path = Wav("wide.wav", 3, 32, 768000, 768000 * 128, 128, 32, data);
    const HSTREAM h =
        BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, BASS_STREAM_DECODE | BASS_SAMPLE_FLOAT);
    ASSERT_NE(h, 0u);
    EXPECT_EQ(BASS_ChannelGetLevel(h), 16384u | (8192u << 16));
    EXPECT_EQ(BASS_ChannelGetPosition(h, BASS_POS_BYTE), 15360 * 128);
    EXPECT_EQ(BASS_ChannelGetLevel(h) & 0xFFFF, 32768u);
    BASS_StreamFree(h);
}

TEST(AbsurdHeaders, AModuleThatDeclaresHoursPlaysAtMostHalfAnHour) {
    // The song of song.xm made 256 orders of slow empty rows: eleven hours.
    const std::string original = Shared("song.xm");
    if (original.empty()) GTEST_SKIP() << "../shared/fixtures is absent: no song.xm";
    std::vector<char> bytes = ReadBytes(original);
    ASSERT_GT(bytes.size(), 0x150u);
    bytes[0x40] = 0;  // song length 256
    bytes[0x41] = 1;
    bytes[0x4C] = 31;  // ticks per row
    bytes[0x4E] = 32;  // beats per minute
    std::fill(bytes.begin() + 0x50, bytes.begin() + 0x150, '\0');
    const std::string path = Scratch("hours.xm");
    WriteBytes(path, bytes);
    for (const DWORD flags :
         {BASS_STREAM_DECODE | BASS_STREAM_PRESCAN, DWORD{BASS_STREAM_DECODE}}) {
        const HSTREAM h = BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, flags);
        ASSERT_NE(h, 0u);
        const QWORD limit = BASS_ChannelSeconds2Bytes(h, 30 * 60);
        EXPECT_LE(BASS_ChannelGetLength(h, BASS_POS_BYTE), limit);
        EXPECT_TRUE(BASS_ChannelSetPosition(h, limit - 4, BASS_POS_BYTE));
        uint8_t buffer[64];
        EXPECT_EQ(BASS_ChannelGetData(h, buffer, sizeof buffer), 4u);
        EXPECT_EQ(BASS_ChannelGetLength(h, BASS_POS_BYTE), limit);
        EXPECT_FALSE(BASS_ChannelSetPosition(h, limit + 4, BASS_POS_BYTE));
        BASS_StreamFree(h);
    }
}

}  // namespace
}  // namespace chime::test
