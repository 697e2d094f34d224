// Syncs, DSP routines and playback: where and on which thread routines run, the loop that a
// sync makes, and the heard position of a playing stream: on the test device, whose clock the
// tests move, and on the silent device, which keeps real time by itself.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>

#include "engine.h"
#include "fixtures.h"

namespace chime::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string ToneWav(double seconds) {
    return Made("tone-" + std::to_string(static_cast<int>(seconds * 1000)) + "ms.wav",
                "-f lavfi -i \"" + std::string(kToneGraph) +
                    ":s=44100:d=" + std::to_string(seconds) + "\" -c:a pcm_s16le");
}

// What routines saw, written from whichever thread runs them.
struct Log {
    std::mutex mutex;
    std::vector<std::string> events;
    std::vector<QWORD> positions;
    std::vector<std::thread::id> threads;
    HSTREAM channel = 0;
    QWORD jumpTo = 0;
    QWORD bytesSeen = 0;
    void Add(const std::string& e) {
        // Asked before taking the log's lock: the engine's lock is held around a mixtime sync.
        const QWORD position = BASS_ChannelGetPosition(channel, BASS_POS_BYTE);
        std::lock_guard lock(mutex);
        events.push_back(e);
        positions.push_back(position);
        threads.push_back(std::this_thread::get_id());
    }
};

void RecordSync(HSYNC, DWORD, DWORD, void* user) {
    static_cast<Log*>(user)->Add("sync");
}
void JumpSync(HSYNC, DWORD channel, DWORD, void* user) {
    auto* log = static_cast<Log*>(user);
    log->Add("jump");
    BASS_ChannelSetPosition(channel, log->jumpTo, BASS_POS_BYTE);
}
void CountDsp(HDSP, DWORD, void*, DWORD length, void* user) {
    static_cast<Log*>(user)->bytesSeen += length;
}

TEST(DecodingSyncs, FireOncePerPassAtTheirPositionOnThePullingThread) {
    const std::string path = ToneWav(2);
    const HSTREAM h =
        BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, BASS_STREAM_DECODE | BASS_STREAM_PRESCAN);
    ASSERT_NE(h, 0u);
    const std::vector<uint8_t> linear = PullAll(h);
    ASSERT_TRUE(BASS_ChannelSetPosition(h, 0, BASS_POS_BYTE));
    Log log;
    log.channel = h;
    const QWORD start = BASS_ChannelSeconds2Bytes(h, 0.25);
    const QWORD end = BASS_ChannelSeconds2Bytes(h, 0.75) + 4 * 7;  // not on a block boundary
    log.jumpTo = start;
    // A plain position sync, the loop sync at the end (mixtime) and an end sync.
    ASSERT_NE(BASS_ChannelSetSync(h, BASS_SYNC_POS, start + 400, RecordSync, &log), 0u);
    const HSYNC loop =
        BASS_ChannelSetSync(h, BASS_SYNC_MIXTIME | BASS_SYNC_POS, end, JumpSync, &log);
    ASSERT_NE(loop, 0u);
    ASSERT_NE(BASS_ChannelSetSync(h, BASS_SYNC_END | BASS_SYNC_MIXTIME, 0, RecordSync, &log), 0u);
    ASSERT_NE(BASS_ChannelSetDSP(h, CountDsp, &log, 0), 0u);
    // Position syncs before 0, as a fade-out longer than its end computes them: taken, and
    // never reached (one just below 0 included, which must not round up to 0).
    std::vector<HSYNC> beforeZero;
    for (const QWORD at : {QWORD{-2}, QWORD{-4}, -start}) {
        for (const DWORD type : {DWORD{BASS_SYNC_POS}, DWORD{BASS_SYNC_POS | BASS_SYNC_MIXTIME}}) {
            beforeZero.push_back(BASS_ChannelSetSync(
                h, type, at,
                [](HSYNC, DWORD, DWORD, void* user) {
                    static_cast<Log*>(user)->Add("before zero");
                },
                &log));
            ASSERT_NE(beforeZero.back(), 0u) << at;
        }
    }

    // Two passes through the loop, in odd-sized pulls, up to the end point of the third.
    std::vector<uint8_t> out;
    std::vector<uint8_t> block(1000);
    const QWORD want = end + 2 * (end - start);
    while (out.size() < static_cast<size_t>(want)) {
        const DWORD n = BASS_ChannelGetData(
            h, block.data(), static_cast<DWORD>(std::min<QWORD>(1000, want - out.size())));
        ASSERT_NE(n, 0xFFFFFFFFu);
        out.insert(out.end(), block.begin(), block.begin() + n);
    }
    std::vector<uint8_t> expected(linear.begin(), linear.begin() + end);
    for (int pass = 0; pass < 2; ++pass) {
        expected.insert(expected.end(), linear.begin() + start, linear.begin() + end);
    }
    EXPECT_EQ(out, expected) << "the loop is not seamless";
    {
        std::lock_guard lock(log.mutex);
        // The third jump is due before the next byte, so it has not run yet.
        const std::vector<std::string> events = {"sync", "jump", "sync", "jump", "sync"};
        ASSERT_EQ(log.events, events);
        EXPECT_EQ(log.positions[0], start + 400);
        EXPECT_EQ(log.positions[1], end);
        for (const auto& id : log.threads)
            EXPECT_EQ(id, std::this_thread::get_id());
    }
    // Every delivered byte went through the DSP routine.
    EXPECT_GE(log.bytesSeen, static_cast<QWORD>(want));

    // Without the loop the stream runs to its end, where the end sync fires once.
    ASSERT_TRUE(BASS_ChannelRemoveSync(h, loop));
    EXPECT_FALSE(BASS_ChannelRemoveSync(h, loop));
    PullAll(h);
    PullAll(h);
    {
        std::lock_guard lock(log.mutex);
        ASSERT_EQ(log.events.size(), 6u);
        EXPECT_EQ(log.events.back(), "sync");
        EXPECT_EQ(log.positions.back(), static_cast<QWORD>(linear.size()));
    }
    // A pass from 0 to the end did not reach them either, and they are real syncs to remove.
    ASSERT_TRUE(BASS_ChannelSetPosition(h, 0, BASS_POS_BYTE));
    PullAll(h);
    for (const HSYNC s : beforeZero)
        EXPECT_TRUE(BASS_ChannelRemoveSync(h, s));
    {
        std::lock_guard lock(log.mutex);
        EXPECT_EQ(std::count(log.events.begin(), log.events.end(), "before zero"), 0);
    }
    BASS_StreamFree(h);
}

TEST(DecodingSyncs, AnEndSyncThatSeeksLoopsTheWholeStream) {
    const std::string path = ToneWav(0.5);
    const HSTREAM h =
        BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, BASS_STREAM_DECODE | BASS_STREAM_PRESCAN);
    ASSERT_NE(h, 0u);
    const QWORD length = BASS_ChannelGetLength(h, BASS_POS_BYTE);
    Log log;
    log.channel = h;
    log.jumpTo = 0;
    BASS_ChannelSetSync(h, BASS_SYNC_END | BASS_SYNC_MIXTIME, 0, JumpSync, &log);
    std::vector<uint8_t> block(4096);
    QWORD total = 0;
    for (int i = 0; i < 200; ++i)
        total += BASS_ChannelGetData(h, block.data(), 4096);
    EXPECT_EQ(total, 200 * 4096);
    BASS_StreamFree(h);
    std::lock_guard lock(log.mutex);
    EXPECT_EQ(static_cast<QWORD>(log.events.size()), total / length);
}

// DSP routines: priority order, removal from inside, and one attached by a sync applies from
// the sync's position on.
struct DspLog {
    std::vector<int> order;
    HSTREAM channel = 0;
    HDSP self = 0;
    int selfCalls = 0;
};
DspLog* gDsp = nullptr;

void Silence(HDSP, DWORD, void* buffer, DWORD length, void*) {
    std::memset(buffer, 0, length);
}
void AttachSilence(HSYNC, DWORD channel, DWORD, void*) {
    BASS_ChannelSetDSP(channel, Silence, nullptr, 0);
}

TEST(DecodingDsp, PriorityOrderSelfRemovalAndAttachFromASync) {
    const std::string path = ToneWav(1);
    const HSTREAM h = BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, BASS_STREAM_DECODE);
    ASSERT_NE(h, 0u);
    DspLog log;
    log.channel = h;
    gDsp = &log;
    // Each routine notes its user value when it runs.
    DSPPROC* note = [](HDSP, DWORD, void*, DWORD, void* user) {
        gDsp->order.push_back(static_cast<int>(reinterpret_cast<intptr_t>(user)));
    };
    BASS_ChannelSetDSP(h, note, reinterpret_cast<void*>(intptr_t{1}), 1);
    BASS_ChannelSetDSP(h, note, reinterpret_cast<void*>(intptr_t{3}), 3);
    BASS_ChannelSetDSP(h, note, reinterpret_cast<void*>(intptr_t{2}), 2);
    const HDSP second1 = BASS_ChannelSetDSP(h, note, reinterpret_cast<void*>(intptr_t{11}), 1);
    log.self = BASS_ChannelSetDSP(
        h,
        [](HDSP dsp, DWORD channel, void*, DWORD, void*) {
            ++gDsp->selfCalls;
            EXPECT_TRUE(BASS_ChannelRemoveDSP(channel, dsp));
        },
        nullptr, 5);
    std::vector<uint8_t> block(1024);
    ASSERT_EQ(BASS_ChannelGetData(h, block.data(), 1024), 1024u);
    ASSERT_EQ(BASS_ChannelGetData(h, block.data(), 1024), 1024u);
    EXPECT_EQ(log.order, (std::vector<int>{3, 2, 1, 11, 3, 2, 1, 11}));
    EXPECT_EQ(log.selfCalls, 1);
    EXPECT_FALSE(BASS_ChannelRemoveDSP(h, log.self));
    ASSERT_TRUE(BASS_ChannelRemoveDSP(h, second1));

    // A sync 1000 frames on attaches a routine that silences everything from there.
    const QWORD at = BASS_ChannelGetPosition(h, BASS_POS_BYTE) + 4000;
    BASS_ChannelSetSync(h, BASS_SYNC_POS | BASS_SYNC_MIXTIME, at, AttachSilence, nullptr);
    std::vector<uint8_t> data(8000);
    ASSERT_EQ(BASS_ChannelGetData(h, data.data(), 8000), 8000u);
    int loudBefore = 0;
    for (int i = 0; i < 4000; i += 2)
        loudBefore += data[i] != 0 || data[i + 1] != 0;
    EXPECT_GT(loudBefore, 1000);
    EXPECT_TRUE(std::all_of(data.begin() + 4000, data.end(), [](uint8_t b) { return b == 0; }));
    gDsp = nullptr;
    BASS_StreamFree(h);
}

// Playback on the silent device.
class Playing : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { ASSERT_TRUE(BASS_Init(-1, 44100, 0, nullptr, nullptr)); }
    static void TearDownTestSuite() { BASS_Free(); }
    double Seconds(HSTREAM h) {
        return BASS_ChannelBytes2Seconds(h, BASS_ChannelGetPosition(h, BASS_POS_BYTE));
    }
};

TEST_F(Playing, HeardPositionKeepsRealTimeThroughPauseStopAndSeek) {
    ASSERT_TRUE(BASS_IsSilentDevice()) << "tests run with CHIMEWRIGHT_AUDIO=silent";
    const std::string path = ToneWav(6);
    const HSTREAM h = BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, BASS_STREAM_PRESCAN);
    ASSERT_NE(h, 0u);
    EXPECT_EQ(BASS_ChannelIsActive(h), BASS_ACTIVE_STOPPED);
    const auto started = Clock::now();
    ASSERT_TRUE(BASS_ChannelPlay(h, FALSE));
    EXPECT_EQ(BASS_ChannelIsActive(h), BASS_ACTIVE_PLAYING);
    std::this_thread::sleep_for(600ms);
    const double heard = Seconds(h);
    const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
    EXPECT_NEAR(heard, elapsed, 0.05);

    // Paused: the position stands still, and play goes on from it.
    ASSERT_TRUE(BASS_ChannelPause(h));
    EXPECT_EQ(BASS_ChannelIsActive(h), BASS_ACTIVE_PAUSED);
    const double pausedAt = Seconds(h);
    std::this_thread::sleep_for(200ms);
    EXPECT_DOUBLE_EQ(Seconds(h), pausedAt);
    const auto resumed = Clock::now();
    ASSERT_TRUE(BASS_ChannelPlay(h, FALSE));
    std::this_thread::sleep_for(300ms);
    EXPECT_NEAR(Seconds(h) - pausedAt,
                std::chrono::duration<double>(Clock::now() - resumed).count(), 0.05);

    // Stopped: reads 0; play then starts where the position was set.
    ASSERT_TRUE(BASS_ChannelStop(h));
    EXPECT_EQ(BASS_ChannelIsActive(h), BASS_ACTIVE_STOPPED);
    const double stoppedAt = Seconds(h);
    std::this_thread::sleep_for(100ms);
    EXPECT_DOUBLE_EQ(Seconds(h), stoppedAt);
    ASSERT_TRUE(BASS_ChannelSetPosition(h, BASS_ChannelSeconds2Bytes(h, 4.0), BASS_POS_BYTE));
    EXPECT_DOUBLE_EQ(Seconds(h), 4.0);
    const auto again = Clock::now();
    ASSERT_TRUE(BASS_ChannelPlay(h, FALSE));
    std::this_thread::sleep_for(200ms);
    EXPECT_NEAR(Seconds(h) - 4.0, std::chrono::duration<double>(Clock::now() - again).count(),
                0.05);

    // A seek while playing is heard at once; restart plays from 0.
    ASSERT_TRUE(BASS_ChannelSetPosition(h, BASS_ChannelSeconds2Bytes(h, 1.0), BASS_POS_BYTE));
    EXPECT_NEAR(Seconds(h), 1.0, 0.02);
    ASSERT_TRUE(BASS_ChannelPlay(h, TRUE));
    EXPECT_LT(Seconds(h), 0.02);

    // Played to its end, the stream stops by itself at its length.
    ASSERT_TRUE(BASS_ChannelSetPosition(h, BASS_ChannelSeconds2Bytes(h, 5.8), BASS_POS_BYTE));
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(BASS_ChannelIsActive(h), BASS_ACTIVE_STOPPED);
    EXPECT_EQ(BASS_ChannelGetPosition(h, BASS_POS_BYTE), BASS_ChannelGetLength(h, BASS_POS_BYTE));
    BASS_StreamFree(h);
}

// Playback on the test device: time passes only when a test moves the device's clock, so every
// position is known to the frame.
class OnTheTestDevice : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        engine_ = new TestDeviceEngine();
        ASSERT_TRUE(engine_->Started());
    }
    static void TearDownTestSuite() { delete engine_; }
    static void Advance(DWORD milliseconds, DWORD period = 0, DWORD flags = 0) {
        ASSERT_TRUE(test::Advance(milliseconds, period, flags)) << BASS_ErrorGetCode();
    }
    static QWORD Pos(HSTREAM h) { return BASS_ChannelGetPosition(h, BASS_POS_BYTE); }
    static QWORD At(HSTREAM h, double seconds) { return BASS_ChannelSeconds2Bytes(h, seconds); }
    static TestDeviceEngine* engine_;
};
TestDeviceEngine* OnTheTestDevice::engine_ = nullptr;

TEST_F(OnTheTestDevice, HeardPositionFollowsTheClockThroughPauseStopAndSeek) {
    EXPECT_TRUE(BASS_IsSilentDevice());
    const std::string path = ToneWav(6);
    const HSTREAM h = BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, BASS_STREAM_PRESCAN);
    ASSERT_NE(h, 0u);
    ASSERT_TRUE(BASS_ChannelPlay(h, FALSE));
    Advance(0);
    EXPECT_EQ(Pos(h), 0) << "nothing is heard before the clock moves";
    Advance(600);
    EXPECT_EQ(Pos(h), At(h, 0.6));

    // Paused: the position stands still, and play goes on from it.
    ASSERT_TRUE(BASS_ChannelPause(h));
    Advance(200);
    EXPECT_EQ(Pos(h), At(h, 0.6));
    ASSERT_TRUE(BASS_ChannelPlay(h, FALSE));
    Advance(300);
    EXPECT_EQ(Pos(h), At(h, 0.9));

    // Stopped where it was heard, not where it was decoded; play then starts where the position
    // was set.
    ASSERT_TRUE(BASS_ChannelStop(h));
    EXPECT_EQ(BASS_ChannelIsActive(h), BASS_ACTIVE_STOPPED);
    Advance(100);
    EXPECT_EQ(Pos(h), At(h, 0.9));
    ASSERT_TRUE(BASS_ChannelSetPosition(h, At(h, 4.0), BASS_POS_BYTE));
    EXPECT_EQ(Pos(h), At(h, 4.0));
    ASSERT_TRUE(BASS_ChannelPlay(h, FALSE));
    Advance(200);
    EXPECT_EQ(Pos(h), At(h, 4.2));

    // A seek while playing is heard at once and goes on without a gap; restart plays from 0.
    ASSERT_TRUE(BASS_ChannelSetPosition(h, At(h, 1.0), BASS_POS_BYTE));
    EXPECT_EQ(Pos(h), At(h, 1.0));
    Advance(250);
    EXPECT_EQ(Pos(h), At(h, 1.25));
    ASSERT_TRUE(BASS_ChannelPlay(h, TRUE));
    EXPECT_EQ(Pos(h), 0);
    Advance(20);
    EXPECT_EQ(Pos(h), At(h, 0.02));

    // Played to its end, the stream stops by itself at its length: not a frame early.
    ASSERT_TRUE(BASS_ChannelSetPosition(h, At(h, 5.8), BASS_POS_BYTE));
    Advance(199);
    EXPECT_EQ(BASS_ChannelIsActive(h), BASS_ACTIVE_PLAYING);
    EXPECT_EQ(Pos(h), At(h, 5.999));
    Advance(10);
    EXPECT_EQ(BASS_ChannelIsActive(h), BASS_ACTIVE_STOPPED);
    EXPECT_EQ(Pos(h), BASS_ChannelGetLength(h, BASS_POS_BYTE));
    BASS_StreamFree(h);
}

TEST_F(OnTheTestDevice, MixtimeSyncsRunOnThePlaybackThreadAndLoopSeamlessly) {
    const std::string path = ToneWav(6);
    const HSTREAM h = BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, BASS_STREAM_PRESCAN);
    ASSERT_NE(h, 0u);
    Log log;
    log.channel = h;
    const QWORD start = At(h, 0.2);
    const QWORD end = At(h, 0.5);
    const QWORD heardAt = At(h, 0.3);
    const QWORD step = 221 * 4;  // the most the device takes in 5 ms
    log.jumpTo = start;
    // A loop from 0.5 s back to 0.2 s, and a plain sync at 0.3 s that runs when it is heard.
    BASS_ChannelSetSync(h, BASS_SYNC_MIXTIME | BASS_SYNC_POS, end, JumpSync, &log);
    BASS_ChannelSetSync(h, BASS_SYNC_POS, heardAt, RecordSync, &log);
    ASSERT_TRUE(BASS_ChannelPlay(h, FALSE));
    // Every 5 ms of the clock, the position heard is the one that the loop gives for the frames
    // the device has taken by then (220.5 a step): no frame lost or repeated at the jumps.
    int crossings = 0;
    QWORD last = 0;
    for (int step = 1; step <= 300; ++step) {
        Advance(5);
        const QWORD taken = static_cast<QWORD>(step * 441 / 2) * 4;
        const QWORD expected = taken < end ? taken : start + (taken - end) % (end - start);
        ASSERT_EQ(Pos(h), expected) << "at step " << step;
        if (last < heardAt && expected >= heardAt) ++crossings;
        last = expected;
    }
    BASS_ChannelStop(h);
    BASS_StreamFree(h);
    std::lock_guard lock(log.mutex);
    int jumps = 0;
    int heard = 0;
    for (size_t i = 0; i < log.events.size(); ++i) {
        EXPECT_NE(log.threads[i], std::this_thread::get_id()) << log.events[i];
        if (log.events[i] == "jump") {
            ++jumps;
        } else {
            ++heard;
            // Run when the position is heard, within the device's step after it, not when it is
            // decoded a quarter second ahead.
            EXPECT_GE(log.positions[i], heardAt);
            EXPECT_LE(log.positions[i], heardAt + step);
        }
    }
    EXPECT_EQ(heard, crossings);
    EXPECT_GE(jumps, heard);
}

std::atomic<int> gHeardCalls{0};
void CountHeard(HSYNC, DWORD, DWORD, void*) {
    ++gHeardCalls;
}
void AdvanceFromASync(HSYNC, DWORD, DWORD, void* user) {
    auto* result = static_cast<std::pair<BOOL, int>*>(user);
    result->first = BASS_TestDeviceAdvance(10, 0, 0);
    result->second = BASS_ErrorGetCode();
}

TEST_F(OnTheTestDevice, HeardSyncsStopWithTheirRemovalAndOneTimeOnesSurviveASeek) {
    const std::string path = ToneWav(6);
    const HSTREAM h = BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, BASS_STREAM_PRESCAN);
    ASSERT_NE(h, 0u);
    const QWORD at = At(h, 0.5);
    // Removed after it was decoded (queued) but before it was heard: it never runs.
    gHeardCalls = 0;
    const HSYNC removed = BASS_ChannelSetSync(h, BASS_SYNC_POS, at, CountHeard, nullptr);
    ASSERT_TRUE(BASS_ChannelPlay(h, FALSE));
    Advance(350);
    ASSERT_TRUE(BASS_ChannelRemoveSync(h, removed));
    Advance(400);
    EXPECT_EQ(gHeardCalls, 0);
    // A one-time sync queued and then dropped by a stop before it was heard still runs once.
    ASSERT_TRUE(BASS_ChannelStop(h));
    ASSERT_TRUE(BASS_ChannelSetPosition(h, 0, BASS_POS_BYTE));
    BASS_ChannelSetSync(h, BASS_SYNC_POS | BASS_SYNC_ONETIME, at, CountHeard, nullptr);
    ASSERT_TRUE(BASS_ChannelPlay(h, FALSE));
    Advance(350);
    ASSERT_TRUE(BASS_ChannelStop(h));
    EXPECT_EQ(gHeardCalls, 0);
    ASSERT_TRUE(BASS_ChannelPlay(h, FALSE));
    Advance(140);
    EXPECT_EQ(gHeardCalls, 0) << "due at 0.5 s, heard at 0.49 s";
    Advance(20);
    EXPECT_EQ(gHeardCalls, 1);
    Advance(500);
    EXPECT_EQ(gHeardCalls, 1);
    // The playback thread cannot wait for its own rounds: moving the clock from a sync fails.
    // (Set beyond what is decoded ahead of the 1.01 s heard.)
    std::pair<BOOL, int> fromSync{TRUE, BASS_OK};
    BASS_ChannelSetSync(h, BASS_SYNC_POS | BASS_SYNC_ONETIME, At(h, 1.5), AdvanceFromASync,
                        &fromSync);
    Advance(500);
    EXPECT_EQ(fromSync, (std::pair<BOOL, int>{FALSE, BASS_ERROR_NOTAVAIL}));
    // A stream played to its end plays again from the start.
    ASSERT_TRUE(
        BASS_ChannelSetPosition(h, BASS_ChannelGetLength(h, BASS_POS_BYTE) - 4000, BASS_POS_BYTE));
    Advance(30);
    ASSERT_EQ(BASS_ChannelIsActive(h), BASS_ACTIVE_STOPPED);
    ASSERT_TRUE(BASS_ChannelPlay(h, FALSE));
    Advance(100);
    EXPECT_EQ(BASS_ChannelIsActive(h), BASS_ACTIVE_PLAYING);
    EXPECT_EQ(Pos(h), At(h, 0.1));
    BASS_StreamFree(h);
}

// A card that takes a whole quarter second in one callback, as some drivers do, while the
// playback thread keeps its own pace: the refill after each callback writes over the ring's
// first bytes that the callback has just read, and nothing but the ring's indexes orders the
// two, so a read index published before the bytes were copied shows under ThreadSanitizer.
// Every byte is taken once: the position is the clock's, with no gap.
TEST_F(OnTheTestDevice, ACardThatTakesTheWholeBufferAtOnceGetsEveryByteOnce) {
    const std::string path = ToneWav(6);
    const HSTREAM h = BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, BASS_STREAM_PRESCAN);
    ASSERT_NE(h, 0u);
    ASSERT_TRUE(BASS_ChannelPlay(h, FALSE));
    Advance(5000, 250, BASS_TESTDEVICE_OWNPACE);
    EXPECT_EQ(Pos(h), At(h, 5.0));
    BASS_StreamFree(h);
}

TEST_F(OnTheTestDevice, CallsFromManyThreadsAtOnce) {
    const std::string path = ToneWav(6);
    const HSTREAM h = BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, BASS_STREAM_PRESCAN);
    ASSERT_NE(h, 0u);
    Log log;
    log.channel = h;
    log.jumpTo = 0;
    BASS_ChannelSetSync(h, BASS_SYNC_MIXTIME | BASS_SYNC_END, 0, JumpSync, &log);
    ASSERT_TRUE(BASS_ChannelPlay(h, FALSE));
    std::atomic<bool> stop{false};
    std::atomic<int> calls{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([h, t, &stop, &calls, &log] {
            std::mt19937 rng(static_cast<unsigned>(t));
            const QWORD length = BASS_ChannelGetLength(h, BASS_POS_BYTE);
            while (!stop.load()) {
                switch (rng() % 6) {
                    case 0:
                        BASS_ChannelSetPosition(h, (rng() % (length / 4)) * 4, BASS_POS_BYTE);
                        break;
                    case 1:
                        BASS_ChannelGetPosition(h, BASS_POS_BYTE);
                        BASS_ChannelGetLevel(h);
                        break;
                    case 2: {
                        const HSYNC s =
                            BASS_ChannelSetSync(h, BASS_SYNC_POS | BASS_SYNC_MIXTIME,
                                                (rng() % (length / 4)) * 4, RecordSync, &log);
                        BASS_ChannelRemoveSync(h, s);
                        break;
                    }
                    case 3: {
                        const HDSP d = BASS_ChannelSetDSP(h, CountDsp, &log, 0);
                        std::this_thread::sleep_for(1ms);
                        BASS_ChannelRemoveDSP(h, d);
                        break;
                    }
                    case 4:
                        if (rng() % 8 == 0) {
                            BASS_ChannelPause(h);
                            BASS_ChannelPlay(h, FALSE);
                        }
                        break;
                    default:
                        BASS_ChannelIsActive(h);
                        break;
                }
                ++calls;
                std::this_thread::sleep_for(std::chrono::microseconds(rng() % 500));
            }
        });
    }
    // The device takes its data while the others make their calls; then the stream is freed
    // under them, and their calls fail without effect while the clock goes on.
    while (calls.load() < 2000)
        Advance(5);
    EXPECT_TRUE(BASS_StreamFree(h));
    for (int i = 0; i < 10; ++i)
        Advance(5);
    stop = true;
    for (auto& t : threads)
        t.join();
    EXPECT_FALSE(BASS_ChannelIsActive(h));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
}

TEST(TestDevice, OnlyTheTestDevicesClockIsMovedByHand) {
    EXPECT_FALSE(BASS_TestDeviceAdvance(10, 0, 0));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_INIT);
    ASSERT_TRUE(BASS_Init(-1, 44100, 0, nullptr, nullptr));
    EXPECT_FALSE(BASS_TestDeviceAdvance(10, 0, 0)) << "the silent device keeps its own time";
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_NOTAVAIL);
    BASS_Free();
}

}  // namespace
}  // namespace chime::test
