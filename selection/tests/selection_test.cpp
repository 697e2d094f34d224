// The selection on a real stream: displays, the export button and where its three syncs act,
// observed by pulling the stream through them; pointer editing and whole-second steps.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include "editing.h"
#include "fixtures.h"
#include "selection.h"

namespace chime::test {
namespace {

// 20 s of 8 kHz mono 16-bit: 16000 bytes a second.
constexpr int64_t kSecond = 16000;
int64_t At(double seconds) {
    return std::llround(seconds * 8000) * 2;
}

struct View : SelectionView {
    std::optional<int> start, end;
    std::optional<std::string> length;
    std::optional<bool> exportOn;
    void ShowStartSeconds(int s) override { start = s; }
    void ShowEndSeconds(int s) override { end = s; }
    void ShowLength(const std::string& t) override { length = t; }
    void EnableExport(bool e) override { exportOn = e; }
};

struct Fired {
    std::vector<int64_t> fadeIns, fadeOuts;
};

class SelectionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string path =
            Made("sel-8k.wav",
                 "-f lavfi -i \"aevalsrc=0.3*sin(2*PI*300*t):s=8000:d=20\" -c:a pcm_s16le");
        stream = BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0,
                                       BASS_STREAM_DECODE | BASS_STREAM_PRESCAN);
        ASSERT_NE(stream, 0u);
        sel.SetStream(stream);
        sel.attachPreviewFade = [this](HSTREAM channel, Fade fade) {
            const int64_t at = BASS_ChannelGetPosition(channel, BASS_POS_BYTE);
            (fade == Fade::In ? fired.fadeIns : fired.fadeOuts).push_back(at);
        };
    }
    void TearDown() override { BASS_StreamFree(stream); }

    // Where the fades act on one pass through the whole stream, without looping.
    Fired OnePass() {
        fired = {};
        sel.loopChecked = false;
        BASS_ChannelSetPosition(stream, 0, BASS_POS_BYTE);
        PullAll(stream);
        return fired;
    }
    // With looping on: the position just after the stream passes end (-1: no jump).
    int64_t JumpAt(int64_t end) {
        fired = {};
        sel.loopChecked = true;
        BASS_ChannelSetPosition(stream, 0, BASS_POS_BYTE);
        std::vector<uint8_t> block(static_cast<size_t>(end));
        EXPECT_EQ(BASS_ChannelGetData(stream, block.data(), static_cast<DWORD>(end)), end);
        EXPECT_EQ(BASS_ChannelGetPosition(stream, BASS_POS_BYTE), end);
        BASS_ChannelGetData(stream, block.data(), 2);
        const int64_t now = BASS_ChannelGetPosition(stream, BASS_POS_BYTE);
        sel.loopChecked = false;
        return now == end + 2 ? -1 : now - 2;
    }

    HSTREAM stream = 0;
    View view;
    Selection sel{view};
    Fired fired;
};

struct Case {
    const char* name;
    std::vector<std::pair<char, double>> steps;  // 's' start, 'e' end, 'f' fade-out seconds
    std::optional<int> start, end;
    std::optional<std::string> length;
    std::optional<bool> exportOn;
    std::vector<double> fadeIns, fadeOuts;
    double loopEnd;     // where the loop sync sits (-1 none)
    double loopTarget;  // where it jumps to (-1 no jump)
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

class SelectionCases : public SelectionTest, public ::testing::WithParamInterface<Case> {};

TEST_P(SelectionCases, DisplaysExportAndSyncs) {
    const Case& c = GetParam();
    for (const auto& [what, value] : c.steps) {
        if (what == 's') sel.SetSelectionStart(At(value));
        if (what == 'e') sel.SetSelectionEnd(At(value));
        if (what == 'f') sel.fadeOutSeconds = static_cast<int>(value);
    }
    EXPECT_EQ(view.start, c.start);
    EXPECT_EQ(view.end, c.end);
    EXPECT_EQ(view.length, c.length);
    EXPECT_EQ(view.exportOn, c.exportOn);
    const Fired f = OnePass();
    std::vector<int64_t> ins, outs;
    for (double s : c.fadeIns)
        ins.push_back(At(s));
    for (double s : c.fadeOuts)
        outs.push_back(At(s));
    EXPECT_EQ(f.fadeIns, ins);
    EXPECT_EQ(f.fadeOuts, outs);
    if (c.loopEnd >= 0) {
        EXPECT_EQ(JumpAt(At(c.loopEnd)), c.loopTarget < 0 ? -1 : At(c.loopTarget));
    }
    if (c.loopTarget >= 0) {
        // The jump lands on the fade-in sync: the fade-in starts at the seam itself, on the
        // first pass and again after the jump.
        EXPECT_EQ(std::count(fired.fadeIns.begin(), fired.fadeIns.end(), At(c.loopTarget)), 2);
    }
}

const Case kCases[] = {
    {"NothingSet", {}, {}, {}, {}, {}, {}, {}, -1, -1},
    // A start at 0 is a start: it shows, loops back to 0 and the export takes it.
    {"StartAtZeroIsSet", {{'s', 0}, {'e', 7}}, 0, 7, "7 sec", true, {0}, {2}, 7, 0},
    // An end alone shows, and places its loop and fade-out syncs (counted from 0); the length
    // and the export wait for the start.
    {"EndOnly", {{'e', 8}}, {}, 8, {}, {}, {}, {3}, 8, -1},
    {"StartOnly", {{'s', 3}}, 3, {}, {}, {}, {3}, {}, -1, -1},
    // A start after the end exchanges the points, with all three syncs.
    {"Exchange", {{'f', 3}, {'e', 4}, {'s', 9}}, 4, 9, "5 sec", true, {4}, {6}, 9, 4},
    // Equal points: no exchange; the loop jumps to where it is, so playback runs on.
    {"EqualPoints", {{'s', 6}, {'e', 6}}, 6, 6, "0 sec", false, {6}, {}, 6, -1},
    // The length is the exact difference, not the boxes' difference.
    {"HalfToTwoPointFour", {{'s', 0.5}, {'e', 2.4}}, 0, 2, "1 sec", false, {0.5}, {}, 2.4, 0.5},
    {"OneToThree", {{'s', 1}, {'e', 3}}, 1, 3, "2 sec", true, {1}, {}, 3, 1},
    // A fade-out needs more room than its own length.
    {"FiveSecondsGetsNoFadeOut", {{'s', 2}, {'e', 7}}, 2, 7, "5 sec", true, {2}, {}, 7, 2},
    {"FivePointOneGetsOne", {{'s', 2}, {'e', 7.1}}, 2, 7, "5 sec", true, {2}, {2.1}, 7.1, 2},
    // A new fade-out length counts from the next placement of the end.
    {"FadeLengthChangedLater",
     {{'s', 2}, {'e', 10}, {'f', 3}},
     2,
     10,
     "8 sec",
     true,
     {2},
     {5},
     10,
     2},
    {"FadeLengthChangedAndEndPlaced",
     {{'s', 2}, {'e', 10}, {'f', 3}, {'e', 10}},
     2,
     10,
     "8 sec",
     true,
     {2},
     {7},
     10,
     2},
    // Moving the start leaves the end's syncs alone.
    {"StartMovedAfterEnd", {{'s', 2}, {'e', 10}, {'s', 4}}, 4, 10, "6 sec", true, {4}, {5}, 10, 4},
};

INSTANTIATE_TEST_SUITE_P(Sequences, SelectionCases, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SelectionTest, WithLoopingTheEndOfTheFileJumpsBackToTheStart) {
    BASS_ChannelSetSync(stream, BASS_SYNC_MIXTIME | BASS_SYNC_END, 0, Selection::LoopSyncProc,
                        &sel);
    sel.SetSelectionStart(At(18));
    sel.loopChecked = true;
    BASS_ChannelSetPosition(stream, At(19.5), BASS_POS_BYTE);
    std::vector<uint8_t> block(static_cast<size_t>(At(1)));
    ASSERT_EQ(BASS_ChannelGetData(stream, block.data(), static_cast<DWORD>(At(1))), At(1));
    // Half a second to the end, then on from 18 s.
    EXPECT_EQ(BASS_ChannelGetPosition(stream, BASS_POS_BYTE), At(18.5));
}

TEST(Editing, StepsColumnsAndDrags) {
    const std::string path = Made(
        "sel-8k.wav", "-f lavfi -i \"aevalsrc=0.3*sin(2*PI*300*t):s=8000:d=20\" -c:a pcm_s16le");
    const HSTREAM stream =
        BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, BASS_STREAM_DECODE | BASS_STREAM_PRESCAN);
    ASSERT_NE(stream, 0u);

    struct Step {
        int shown, maximum, direction;
        int64_t target;
    };
    for (const Step& s : {Step{12, 20, 1, At(13)}, Step{12, 20, -1, At(11)}, Step{1, 20, -1, 0},
                          Step{0, 20, -1, -1}, Step{20, 20, 1, -1}, Step{0, 0, 1, -1}}) {
        EXPECT_EQ(StepTarget(stream, s.shown, s.maximum, s.direction), s.target)
            << s.shown << " " << s.direction;
    }
    EXPECT_EQ(ColumnPosition(-5, 300, 520), 0);
    EXPECT_EQ(ColumnPosition(37, 300, 520), 37 * 300);
    EXPECT_EQ(ColumnPosition(600, 300, 520), 519 * 300);

    View view;
    Selection sel(view);
    sel.SetStream(stream);
    // A start at 12.7 s shows 12; a step up lands on exactly 13 s.
    sel.SetSelectionStart(At(12.7));
    EXPECT_EQ(view.start, 12);
    sel.SetSelectionStart(StepTarget(stream, *view.start, 20, 1));
    EXPECT_EQ(sel.SelStart, At(13));
    // Down from 1 s reaches 0 s, which is a start like any other.
    sel.SetSelectionStart(At(1));
    sel.SetSelectionStart(StepTarget(stream, *view.start, 20, -1));
    EXPECT_EQ(sel.SelStart, 0);
    EXPECT_EQ(view.start, 0);

    // Dragging the start past the end exchanges the points; the drag still moves the start.
    const uint32_t perColumn = 300;
    PointerEditing pointer(sel, 520);
    sel.SetSelectionEnd(100 * perColumn);
    pointer.MouseDown(DragModes::Start, 50, perColumn);
    EXPECT_EQ(sel.SelStart, 50 * perColumn);
    pointer.MouseMove(150, perColumn);
    EXPECT_EQ(sel.SelStart, 100 * perColumn);
    EXPECT_EQ(sel.SelEnd, 150 * perColumn);
    EXPECT_EQ(pointer.DragMode, DragModes::Start);
    pointer.MouseMove(200, perColumn);
    EXPECT_EQ(sel.SelStart, 150 * perColumn);
    EXPECT_EQ(sel.SelEnd, 200 * perColumn);
    pointer.MouseMove(170, perColumn);
    EXPECT_EQ(sel.SelStart, 170 * perColumn);
    // Outside the box the pointer counts as its edge column.
    pointer.MouseMove(-40, perColumn);
    EXPECT_EQ(sel.SelStart, 0);
    pointer.MouseUp();
    pointer.MouseMove(300, perColumn);
    EXPECT_EQ(sel.SelStart, 0);  // no drag: moves change nothing
    // The middle button moves the play position.
    pointer.MouseDown(DragModes::Play, 40, perColumn);
    EXPECT_EQ(BASS_ChannelGetPosition(stream, BASS_POS_BYTE), 40 * perColumn);
    pointer.MouseMove(45, perColumn);
    EXPECT_EQ(BASS_ChannelGetPosition(stream, BASS_POS_BYTE), 45 * perColumn);
    pointer.MouseUp();
    // Past the song's end (20 s: column 106 and up at 3000 bytes a column) every point is the
    // end itself, so the points, the boxes, the length and the export button agree.
    sel.Clear();
    pointer.MouseDown(DragModes::Start, 50, 3000);
    pointer.MouseUp();
    pointer.MouseDown(DragModes::End, 300, 3000);
    pointer.MouseUp();
    EXPECT_EQ(sel.SelStart, 50 * 3000);
    EXPECT_EQ(sel.SelEnd, At(20));
    EXPECT_EQ(view.end, 20);
    EXPECT_EQ(view.length, "10 sec");
    pointer.MouseDown(DragModes::Start, 250, 3000);
    pointer.MouseUp();
    EXPECT_EQ(sel.SelStart, At(20));
    EXPECT_EQ(view.length, "0 sec");
    EXPECT_EQ(view.exportOn, false);
    pointer.MouseDown(DragModes::Play, 519, 3000);
    EXPECT_EQ(BASS_ChannelGetPosition(stream, BASS_POS_BYTE), At(20));
    BASS_StreamFree(stream);
}

// A selection played with looping on: on the test device, every 5 ms of its clock, the heard
// position is the one the loop gives, back at the start exactly where the end was reached.
TEST(SelectionPlaying, TheLoopReallyJumpsBack) {
    TestDeviceEngine engine;
    ASSERT_TRUE(engine.Started());
    const std::string path = Made("sel-44k.wav",
                                  "-f lavfi -i \"aevalsrc=0.3*sin(2*PI*300*t):"
                                  "s=44100:d=6\" -c:a pcm_s16le");
    const HSTREAM stream = BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, BASS_STREAM_PRESCAN);
    ASSERT_NE(stream, 0u);
    View view;
    Selection sel(view);
    sel.SetStream(stream);
    sel.loopChecked = true;
    const int64_t start = BASS_ChannelSeconds2Bytes(stream, 1.0);
    const int64_t end = BASS_ChannelSeconds2Bytes(stream, 1.4);
    const int64_t from = BASS_ChannelSeconds2Bytes(stream, 0.9);
    sel.SetSelectionStart(start);
    sel.SetSelectionEnd(end);
    BASS_ChannelSetPosition(stream, from, BASS_POS_BYTE);
    ASSERT_TRUE(BASS_ChannelPlay(stream, FALSE));
    int wraps = 0;
    int64_t last = from;
    for (int step = 1; step <= 300; ++step) {
        ASSERT_TRUE(Advance(5));
        // 220.5 frames of 16-bit mono a step.
        const int64_t at = from + int64_t{step} * 441 / 2 * 2;
        const int64_t expected = at < end ? at : start + (at - end) % (end - start);
        const int64_t heard = BASS_ChannelGetPosition(stream, BASS_POS_BYTE);
        ASSERT_EQ(heard, expected) << "step " << step;
        wraps += heard < last;
        last = heard;
    }
    // 1.5 s of a 0.4 s loop entered 0.5 s before its end: back at 0.5, 0.9 and 1.3 s.
    EXPECT_EQ(wraps, 3);
    BASS_StreamFree(stream);
}

}  // namespace
}  // namespace chime::test
