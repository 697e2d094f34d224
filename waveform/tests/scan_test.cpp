// The scan on files written here sample by sample: the level scale, which columns fill, the
// peak of a whole column, the end of the data, a second song after a first, and stopping.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "fixtures.h"
#include "level_rows.h"
#include "levels.h"
#include "scan.h"

using namespace chime;

namespace {

constexpr int kRate = 8000;
// 0.02 s of 8 kHz 16-bit mono: the smallest scale, and the block one level call measures.
constexpr uint32_t kBlockBytes = 320;

// A 16-bit PCM WAVE file of the given frames (interleaved samples), written beside the other
// fixtures under a name of the caller's.
std::string WriteWav(const std::string& name, int channels, const std::vector<int16_t>& samples) {
    const std::string path = test::Scratch("scan-" + name + ".wav");
    const std::string temp = path + "." + std::to_string(::getpid());
    {
        std::ofstream out(temp, std::ios::binary);
        auto u32 = [&out](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
        auto u16 = [&out](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
        const uint32_t data = static_cast<uint32_t>(samples.size() * 2);
        out.write("RIFF", 4);
        u32(36 + data);
        out.write("WAVEfmt ", 8);
        u32(16);
        u16(1);
        u16(static_cast<uint16_t>(channels));
        u32(kRate);
        u32(kRate * 2 * channels);
        u16(static_cast<uint16_t>(2 * channels));
        u16(16);
        out.write("data", 4);
        u32(data);
        out.write(reinterpret_cast<const char*>(samples.data()), data);
    }
    std::filesystem::rename(temp, path);
    return path;
}

// frames of a square wave of the given peak: +peak, -peak, ...
std::vector<int16_t> Square(int frames, int peak) {
    std::vector<int16_t> s(frames);
    for (int i = 0; i < frames; ++i)
        s[i] = static_cast<int16_t>(i % 2 ? -peak : peak);
    return s;
}

HSTREAM OpenForScan(const std::string& path) {
    return BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0,
                                 BASS_STREAM_DECODE | BASS_STREAM_PRESCAN);
}

struct Scanner {
    WaveLevels levels;
    WaveScan scan{levels};
    // Scans the file to its end.
    void Run(const std::string& path, uint32_t bytesPerColumn) {
        const HSTREAM stream = OpenForScan(path);
        ASSERT_NE(stream, 0u) << path;
        scan.Start(stream, bytesPerColumn);
        scan.Wait();
        EXPECT_FALSE(scan.Running());
        // The scan freed its stream.
        EXPECT_EQ(BASS_ChannelGetLength(stream, BASS_POS_BYTE), QWORD{-1});
    }
    std::vector<int> Left() const { return test::LeftRow(levels); }
    std::vector<int> Right() const { return test::RightRow(levels); }
};

using test::Row;

struct ScaleCase {
    int leftPeak;
    int rightPeak;
    int left;
    int right;
};

void PrintTo(const ScaleCase& c, std::ostream* os) {
    *os << "peaks " << c.leftPeak << "/" << c.rightPeak << " -> " << c.left << "/" << c.right;
}

class LevelScale : public ::testing::TestWithParam<ScaleCase> {};

// A peak of 0..32768 becomes 0..60 pixels, nearest with halves up; left and right apart.
TEST_P(LevelScale, PeaksBecomePixels) {
    const ScaleCase c = GetParam();
    std::vector<int16_t> stereo;
    const int frames = kRate / 2;
    // +32768 does not fit: a peak of 32768 is written as -32768 on both signs.
    auto sample = [](int peak, int sign) {
        return static_cast<int16_t>(peak == 32768 ? -32768 : sign * peak);
    };
    for (int i = 0; i < frames; ++i) {
        const int sign = i % 2 ? -1 : 1;
        stereo.push_back(sample(c.leftPeak, sign));
        stereo.push_back(sample(c.rightPeak, sign));
    }
    const std::string name =
        "scale-" + std::to_string(c.leftPeak) + "-" + std::to_string(c.rightPeak);
    Scanner s;
    // 0.5 s at 0.02 s per column: 25 columns, of which column 0 stays empty.
    s.Run(WriteWav(name, 2, stereo), 2 * kBlockBytes);
    EXPECT_EQ(s.Left(), Row(1, 24, c.left));
    EXPECT_EQ(s.Right(), Row(1, 24, c.right));
    EXPECT_EQ(s.levels.ColumnsDone(), 25);
}

INSTANTIATE_TEST_SUITE_P(Peaks, LevelScale,
                         ::testing::Values(ScaleCase{0, 0, 0, 0}, ScaleCase{273, 274, 0, 1},
                                           ScaleCase{274, 273, 1, 0},
                                           // 4096 is exactly 7.5 pixels
                                           ScaleCase{4096, 4095, 8, 7},
                                           ScaleCase{16384, 32767, 30, 60},
                                           ScaleCase{32768, 0, 60, 0}));

// A song under 10.4 s has 0.02 s columns and fills only the columns its length reaches; the
// end of the data stores no level of its own.
TEST(Scan, ShortSongFillsItsColumnsAndNoMore) {
    struct Case {
        int frames;
        int columnsDone;
    };
    // 5 s is 250 columns; 5.01 s adds a part column; 0.5 frames of a column, and nothing.
    for (const Case c : {Case{5 * kRate, 250}, Case{5 * kRate + 80, 251}, Case{80, 1}}) {
        SCOPED_TRACE(c.frames);
        Scanner s;
        s.Run(WriteWav("short-" + std::to_string(c.frames), 1, Square(c.frames, 8192)),
              kBlockBytes);
        EXPECT_EQ(s.levels.ColumnsDone(), c.columnsDone);
        EXPECT_EQ(s.Left(), Row(1, c.columnsDone - 1, 15));
        EXPECT_EQ(s.Right(), s.Left());
    }
}

// A long song spreads over the whole box: columns 1 to 519, the last one included.
TEST(Scan, LongSongFillsEveryColumnButTheFirst) {
    Scanner s;
    const int frames = 60 * kRate;
    // 960000 bytes over 520 columns.
    s.Run(WriteWav("long", 1, Square(frames, 32767)), 960000 / 520);
    EXPECT_EQ(s.levels.ColumnsDone(), 520);
    EXPECT_EQ(s.Left(), Row(1, 519, 60));
}

// One loud block in the middle of a column, away from its edges, raises that column alone.
TEST(Scan, ColumnShowsItsLoudestBlock) {
    const int frames = 60 * kRate;
    const uint32_t perColumn = frames * 4 / 520;  // 3692 bytes of stereo: over five blocks
    std::vector<int16_t> stereo(2 * frames, 0);
    for (int i = 0; i < frames; ++i)
        stereo[2 * i] = static_cast<int16_t>(i % 2 ? -1000 : 1000);
    struct Click {
        int column;
        bool right;
    };
    const Click clicks[] = {{3, true}, {200, false}, {517, true}};
    for (const Click& c : clicks) {
        // A burst of 16 frames (4 bytes each) at the column's middle.
        const int64_t middle = (int64_t{c.column} * perColumn + perColumn / 2) / 4;
        for (int64_t f = middle - 8; f < middle + 8; ++f)
            stereo[2 * f + (c.right ? 1 : 0)] = 30000;
    }
    Scanner s;
    s.Run(WriteWav("clicks", 2, stereo), perColumn);
    std::vector<int> left = Row(1, 519, 2);  // 1000 is 2.3 pixels
    std::vector<int> right = Row(1, 519, 0);
    for (const Click& c : clicks)
        (c.right ? right : left)[c.column] = 55;
    EXPECT_EQ(s.Left(), left);
    EXPECT_EQ(s.Right(), right);
}

// Opening a second, shorter song clears the first one's levels before its scan.
TEST(Scan, SecondShorterSongLeavesNoTraceOfTheFirst) {
    Scanner s;
    s.Run(WriteWav("first", 1, Square(60 * kRate, 32767)), 960000 / 520);
    ASSERT_EQ(s.Left(), Row(1, 519, 60));
    s.Run(WriteWav("second", 1, Square(2 * kRate, 16384)), kBlockBytes);
    EXPECT_EQ(s.levels.ColumnsDone(), 100);
    EXPECT_EQ(s.Left(), Row(1, 99, 30));
    EXPECT_EQ(s.Right(), Row(1, 99, 30));
}

// Holds a stream's decoding when it reaches a position, until the scan is told to close, so
// that a test knows where a scan stands without looking at a clock.
struct Gate {
    explicit Gate(const WaveScan& watched) : scan(&watched) {}
    const WaveScan* scan;
    std::atomic<bool> held{false};
    static void SyncProc(HSYNC, DWORD, DWORD, void* user) {
        auto* gate = static_cast<Gate*>(user);
        gate->held = true;
        while (!gate->scan->Closing())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    bool Hold(HSTREAM stream, QWORD position) {
        return BASS_ChannelSetSync(stream, BASS_SYNC_MIXTIME | BASS_SYNC_POS, position, SyncProc,
                                   this) != 0;
    }
    void WaitUntilHeld() const {
        while (!held.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
};

// Stopping ends a scan at its next pass: the block being measured is stored, no other, and the
// stream is freed. The columns done so far stay readable while the scan is held.
TEST(Scan, StopEndsAScanAtItsNextPassAndFreesItsStream) {
    Scanner s;
    const HSTREAM stream = OpenForScan(WriteWav("stop", 1, Square(60 * kRate, 16384)));
    ASSERT_NE(stream, 0u);
    Gate gate(s.scan);
    // Held in the 40th level call, before its block: 39 blocks measured, two to a column, so
    // columns 0..18 are final and 19 has one of its two blocks.
    ASSERT_TRUE(gate.Hold(stream, 39 * kBlockBytes));
    s.scan.Start(stream, 2 * kBlockBytes);
    gate.WaitUntilHeld();
    EXPECT_EQ(s.levels.ColumnsDone(), 19);
    EXPECT_EQ(s.Left(), Row(1, 19, 30));
    EXPECT_TRUE(s.scan.Running());
    s.scan.Stop();
    EXPECT_FALSE(s.scan.Running());
    // The 40th block was stored, and no later one.
    EXPECT_EQ(s.levels.ColumnsDone(), 20);
    EXPECT_EQ(s.Left(), Row(1, 19, 30));
    EXPECT_EQ(BASS_ChannelGetLength(stream, BASS_POS_BYTE), QWORD{-1});
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
}

// One scan at a time: a new start stops and joins the running scan first.
TEST(Scan, StartStopsTheRunningScanFirst) {
    Scanner s;
    const HSTREAM first = OpenForScan(WriteWav("held", 1, Square(60 * kRate, 32767)));
    ASSERT_NE(first, 0u);
    Gate gate(s.scan);
    ASSERT_TRUE(gate.Hold(first, 4 * kBlockBytes));
    s.scan.Start(first, kBlockBytes);
    gate.WaitUntilHeld();
    s.Run(WriteWav("after-held", 1, Square(kRate, 8192)), kBlockBytes);
    EXPECT_EQ(BASS_ChannelGetLength(first, BASS_POS_BYTE), QWORD{-1});
    EXPECT_EQ(s.levels.ColumnsDone(), 50);
    EXPECT_EQ(s.Left(), Row(1, 49, 15));
}

// Nothing to scan: the stream handed over is freed all the same, and the levels are clear.
TEST(Scan, NothingToScan) {
    Scanner s;
    s.Run(WriteWav("before-nothing", 1, Square(kRate, 8192)), kBlockBytes);
    const HSTREAM stream = OpenForScan(WriteWav("unscaled", 1, Square(kRate, 8192)));
    ASSERT_NE(stream, 0u);
    s.scan.Start(stream, 0);
    EXPECT_FALSE(s.scan.Running());
    EXPECT_EQ(BASS_ChannelGetLength(stream, BASS_POS_BYTE), QWORD{-1});
    EXPECT_EQ(s.Left(), Row(0, -1, 0));
    s.scan.Start(0, kBlockBytes);
    EXPECT_FALSE(s.scan.Running());
    EXPECT_EQ(s.levels.ColumnsDone(), 0);
}

}  // namespace
