#include "selection.h"

#include <cmath>

namespace chime {

int Selection::WholeSeconds(int64_t bytes) const {
    const double seconds = BASS_ChannelBytes2Seconds(stream_, bytes);
    if (seconds < 0) return 0;
    return static_cast<int>(std::trunc(seconds));
}

void Selection::Clear() {
    SelStart = kNotSet;
    SelEnd = kNotSet;
}

bool Selection::ValidateSelection() {
    // Each point that is set shows at once; an end box that lagged behind its point would
    // make its arrows step from a stale value.
    if (SelStart != kNotSet) view_.ShowStartSeconds(WholeSeconds(SelStart));
    if (SelEnd != kNotSet) view_.ShowEndSeconds(WholeSeconds(SelEnd));
    if (SelStart == kNotSet || SelEnd == kNotSet) return false;
    bool exchanged = false;
    if (SelStart > SelEnd) {
        const int64_t start = SelStart;
        SelStart = SelEnd.load();
        SelEnd = start;
        // Each setter finds the points in order now, so this nests one level at most.
        SetSelectionStart(SelStart);
        SetSelectionEnd(SelEnd);
        view_.ShowStartSeconds(WholeSeconds(SelStart));
        view_.ShowEndSeconds(WholeSeconds(SelEnd));
        exchanged = true;
    }
    // The length comes from the exact difference, not from the two boxes.
    const int length = WholeSeconds(SelEnd - SelStart);
    view_.ShowLength(std::to_string(length) + " sec");
    view_.EnableExport(length > 1);
    return exchanged;
}

void Selection::SetSelectionStart(int64_t position) {
    SelStart = position;
    if (ValidateSelection()) return;
    BASS_ChannelRemoveSync(stream_, StartSync);
    StartSync = 0;
    // At the start itself: the loop's jump lands on it and fires it there, so the fade-in
    // begins at the seam instead of after a moment at full level.
    if (SelStart != kNotSet) {
        StartSync = BASS_ChannelSetSync(stream_, BASS_SYNC_MIXTIME | BASS_SYNC_POS, SelStart,
                                        FadeInSyncProc, this);
    }
}

void Selection::SetSelectionEnd(int64_t position) {
    SelEnd = position;
    if (ValidateSelection()) return;
    BASS_ChannelRemoveSync(stream_, EndSync);
    EndSync =
        BASS_ChannelSetSync(stream_, BASS_SYNC_MIXTIME | BASS_SYNC_POS, SelEnd, LoopSyncProc, this);
    if (SelEnd == kNotSet) return;
    const int64_t fade = BASS_ChannelSeconds2Bytes(stream_, fadeOutSeconds);
    BASS_ChannelRemoveSync(stream_, FadeOutSync);
    FadeOutSync = 0;
    // Without a start the fade-out counts from the beginning of the file.
    const int64_t start = SelStart == kNotSet ? 0 : SelStart.load();
    if (fade >= 0 && start + fade < SelEnd) {
        FadeOutSync = BASS_ChannelSetSync(stream_, BASS_SYNC_MIXTIME | BASS_SYNC_POS, SelEnd - fade,
                                          FadeOutSyncProc, this);
    }
}

void Selection::LoopSyncProc(HSYNC, DWORD channel, DWORD, void* user) {
    auto* self = static_cast<Selection*>(user);
    if (!self->loopChecked.load(std::memory_order_relaxed)) return;
    const int64_t start = self->SelStart.load();
    if (start == kNotSet) return;
    BASS_ChannelSetPosition(channel, start, BASS_POS_BYTE);
}

void Selection::FadeInSyncProc(HSYNC, DWORD channel, DWORD, void* user) {
    auto* self = static_cast<Selection*>(user);
    if (self->attachPreviewFade) self->attachPreviewFade(channel, Fade::In);
}

void Selection::FadeOutSyncProc(HSYNC, DWORD channel, DWORD, void* user) {
    auto* self = static_cast<Selection*>(user);
    if (self->attachPreviewFade) self->attachPreviewFade(channel, Fade::Out);
}

}  // namespace chime
