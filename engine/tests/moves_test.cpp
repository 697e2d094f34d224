// What routines with state learn from the engine: the move sync that tells a break in a channel's
// data before the first block from the new place, and where a routine acts from.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "engine.h"
#include "fixtures.h"

namespace chime::test {
namespace {

std::string Tone(double seconds) {
    return Made("moves-" + std::to_string(static_cast<int>(seconds * 1000)) + "ms.wav",
                "-f lavfi -i \"" + std::string(kToneGraph) +
                    ":s=44100:d=" + std::to_string(seconds) + "\" -c:a pcm_s16le");
}

// Counts moves; a DSP routine notes the count that each block found when it ran.
struct Moves {
    std::atomic<int> count{0};
    std::atomic<std::thread::id> thread{};
    std::vector<int> seenByBlocks;
    HSTREAM channel = 0;
    QWORD jumpTo = 0;
};

void CountMove(HSYNC, DWORD, DWORD data, void* user) {
    auto* m = static_cast<Moves*>(user);
    EXPECT_EQ(data, 0u);
    m->count.fetch_add(1);
    m->thread = std::this_thread::get_id();
}
void NoteBlock(HDSP, DWORD, void*, DWORD, void* user) {
    auto* m = static_cast<Moves*>(user);
    m->seenByBlocks.push_back(m->count.load());
}
void Jump(HSYNC, DWORD channel, DWORD, void* user) {
    BASS_ChannelSetPosition(channel, static_cast<Moves*>(user)->jumpTo, BASS_POS_BYTE);
}

struct MoveCase {
    const char* name;
    DWORD flags;                // added to BASS_SYNC_MOVE
    std::vector<double> seeks;  // seconds; a seek to where the stream is counts too
    bool removeBeforeSeeking;
    int moves;
};

void PrintTo(const MoveCase& c, std::ostream* os) {
    *os << c.name;
}

class MoveSyncs : public ::testing::TestWithParam<MoveCase> {};

TEST_P(MoveSyncs, FireForEverySeekThatBreaksTheData) {
    const MoveCase& c = GetParam();
    const std::string path = Tone(2);
    const HSTREAM h =
        BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, BASS_STREAM_DECODE | BASS_STREAM_PRESCAN);
    ASSERT_NE(h, 0u);
    Moves m;
    const HSYNC sync = BASS_ChannelSetSync(h, BASS_SYNC_MOVE | c.flags, 0, CountMove, &m);
    ASSERT_NE(sync, 0u);
    if (c.removeBeforeSeeking) {
        ASSERT_TRUE(BASS_ChannelRemoveSync(h, sync));
    }
    for (double s : c.seeks) {
        ASSERT_TRUE(BASS_ChannelSetPosition(h, BASS_ChannelSeconds2Bytes(h, s), BASS_POS_BYTE));
    }
    EXPECT_EQ(m.count.load(), c.moves);
    if (c.moves > 0) {
        EXPECT_EQ(m.thread.load(), std::this_thread::get_id());
    }
    BASS_StreamFree(h);
}

const MoveCase kMoveCases[] = {
    {"ASeek", 0, {1.0}, false, 1},
    {"ToWhereItIs", 0, {0.0}, false, 0},
    {"ThreeSeeksOneInPlace", BASS_SYNC_MIXTIME, {0.5, 0.5, 1.5, 0.2}, false, 3},
    {"OneTime", BASS_SYNC_ONETIME, {0.5, 1.5}, false, 1},
    {"Removed", 0, {0.5, 1.5}, true, 0},
};

INSTANTIATE_TEST_SUITE_P(Seeks, MoveSyncs, ::testing::ValuesIn(kMoveCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MoveSync, ALoopJumpIsToldBeforeTheFirstBlockFromTheStart) {
    const std::string path = Tone(2);
    const HSTREAM h =
        BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, BASS_STREAM_DECODE | BASS_STREAM_PRESCAN);
    ASSERT_NE(h, 0u);
    Moves m;
    m.jumpTo = BASS_ChannelSeconds2Bytes(h, 0.1);
    BASS_ChannelSetSync(h, BASS_SYNC_MOVE, 0, CountMove, &m);
    BASS_ChannelSetDSP(h, NoteBlock, &m, 0);
    // The loop's end lies inside the one pull below.
    const QWORD end = BASS_ChannelSeconds2Bytes(h, 0.2) + 4 * 3;
    BASS_ChannelSetSync(h, BASS_SYNC_MIXTIME | BASS_SYNC_POS, end, Jump, &m);
    std::vector<uint8_t> block(static_cast<size_t>(end + 4000));
    ASSERT_EQ(BASS_ChannelGetData(h, block.data(), static_cast<DWORD>(block.size())), block.size());
    EXPECT_EQ(m.count.load(), 1);
    // The blocks up to the jump found no move; the one after it found it.
    ASSERT_GE(m.seenByBlocks.size(), 2u);
    EXPECT_EQ(m.seenByBlocks.front(), 0);
    EXPECT_EQ(m.seenByBlocks.back(), 1);
    EXPECT_EQ(BASS_ChannelGetPosition(h, BASS_POS_BYTE), m.jumpTo + 4000);
    BASS_StreamFree(h);
}

TEST(MoveSync, StopAndRestartOfAPlayingStreamAreMovesPauseIsNot) {
    TestDeviceEngine engine;
    ASSERT_TRUE(engine.Started());
    const std::string path = Tone(3);
    const HSTREAM h = BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, BASS_STREAM_PRESCAN);
    ASSERT_NE(h, 0u);
    Moves m;
    BASS_ChannelSetSync(h, BASS_SYNC_MOVE | BASS_SYNC_MIXTIME, 0, CountMove, &m);
    ASSERT_TRUE(BASS_ChannelPlay(h, FALSE));
    // The playback thread decodes a quarter second ahead of the 0.1 s heard.
    ASSERT_TRUE(Advance(100));
    ASSERT_TRUE(BASS_ChannelPause(h));
    ASSERT_TRUE(BASS_ChannelPlay(h, FALSE));
    EXPECT_EQ(m.count.load(), 0);
    // Stop goes back to what was heard: what was decoded beyond it is made again.
    ASSERT_TRUE(BASS_ChannelStop(h));
    EXPECT_EQ(m.count.load(), 1);
    EXPECT_EQ(m.thread.load(), std::this_thread::get_id());
    EXPECT_EQ(BASS_ChannelGetPosition(h, BASS_POS_BYTE), BASS_ChannelSeconds2Bytes(h, 0.1));
    ASSERT_TRUE(BASS_ChannelPlay(h, TRUE));
    EXPECT_EQ(m.count.load(), 2);
    BASS_StreamFree(h);
}

TEST(DspStart, WhereARoutineActsFromOnAStreamAndOnAMixer) {
    const std::string path = Tone(2);
    const HSTREAM h =
        BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, BASS_STREAM_DECODE | BASS_STREAM_PRESCAN);
    ASSERT_NE(h, 0u);
    const QWORD at = BASS_ChannelSeconds2Bytes(h, 0.5);
    ASSERT_TRUE(BASS_ChannelSetPosition(h, at, BASS_POS_BYTE));
    const HDSP dsp = BASS_ChannelSetDSP(h, NoteBlock, nullptr, 0);
    ASSERT_TRUE(BASS_ChannelRemoveDSP(h, dsp));
    EXPECT_EQ(BASS_ChannelGetDSPStart(h, dsp), -1) << "removed";
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
    const HDSP silence = BASS_ChannelSetDSP(
        h, [](HDSP, DWORD, void*, DWORD, void*) {}, nullptr, 0);
    EXPECT_EQ(BASS_ChannelGetDSPStart(h, silence), at);
    std::vector<uint8_t> block(4096);
    BASS_ChannelGetData(h, block.data(), 4096);
    EXPECT_EQ(BASS_ChannelGetDSPStart(h, silence), at) << "kept once the routine has run";
    BASS_StreamFree(h);
    EXPECT_EQ(BASS_ChannelGetDSPStart(h, silence), -1) << "freed";

    // On a mixer, a routine set from a source's sync acts from that sync's place in the mix.
    const std::string floats =
        Made("moves-48k.wav", "-f lavfi -i \"sine=f=500:r=48000:d=2\" -c:a pcm_f32le");
    const HSTREAM source =
        BASS_StreamCreateFile(FALSE, floats.c_str(), 0, 0, BASS_STREAM_DECODE | BASS_SAMPLE_FLOAT);
    const HSTREAM mixer = BASS_Mixer_StreamCreate(44100, 2, BASS_STREAM_DECODE | BASS_MIXER_END);
    ASSERT_TRUE(BASS_Mixer_StreamAddChannel(mixer, source, BASS_STREAM_AUTOFREE));
    ASSERT_TRUE(BASS_ChannelSetPosition(source, 4 * 4800, BASS_POS_BYTE));
    struct Shared {
        HSTREAM mixer;
        HDSP dsp = 0;
    } shared{mixer};
    const QWORD syncAt = 4 * 4800 + 4 * 33331;
    const QWORD expected = BASS_Mixer_ChannelGetMixerPosition(source, syncAt);
    ASSERT_GT(expected, 0);
    BASS_ChannelSetSync(
        source, BASS_SYNC_MIXTIME | BASS_SYNC_POS, syncAt,
        [](HSYNC, DWORD, DWORD, void* user) {
            auto* s = static_cast<Shared*>(user);
            s->dsp = BASS_ChannelSetDSP(
                s->mixer, [](HDSP, DWORD, void*, DWORD, void*) {}, nullptr, 0);
        },
        &shared);
    std::vector<uint8_t> out(1024);
    for (int i = 0; i < 200 && shared.dsp == 0; ++i)
        ASSERT_EQ(BASS_ChannelGetData(mixer, out.data(), 1024), 1024u);
    ASSERT_NE(shared.dsp, 0u);
    EXPECT_EQ(BASS_ChannelGetDSPStart(mixer, shared.dsp), expected);
    BASS_StreamFree(mixer);
}

}  // namespace
}  // namespace chime::test
