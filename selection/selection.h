#pragma once
// The selection: a start and an end point in the preview stream, their consistency rule (the
// start before the end), their displays, and the three syncs that loop the preview and restart
// its fades (the fade-in at the start, the fade-out before the end, the loop at the end). Plain
// C++: the window shows what it is told.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "engine.h"

namespace chime {

// What the selection shows: the start and end seconds, the length text and the export button.
struct SelectionView {
    virtual ~SelectionView() = default;
    virtual void ShowStartSeconds(int seconds) = 0;
    virtual void ShowEndSeconds(int seconds) = 0;
    virtual void ShowLength(const std::string& text) = 0;
    virtual void EnableExport(bool enabled) = 0;
};

enum class Fade { In, Out };

class Selection {
  public:
    // A point that is not set, kept apart from position 0.
    static constexpr int64_t kNotSet = -1;

    explicit Selection(SelectionView& view) : view_(view) {}

    // UI thread. The stream the points belong to; 0 when none is open.
    void SetStream(HSTREAM stream) { stream_ = stream; }
    HSTREAM Stream() const { return stream_; }
    // UI thread. Both points not set; the syncs stay where they are (they go with their stream).
    void Clear();
    // UI thread.
    void SetSelectionStart(int64_t position);
    void SetSelectionEnd(int64_t position);
    // UI thread. True when it exchanged start and end (which placed all three syncs).
    bool ValidateSelection();

    // Copies of controls, kept current by the UI thread; the playback thread reads the loop.
    std::atomic<bool> loopChecked{false};
    int fadeOutSeconds = 5;  // UI thread: read when the end is placed
    // Called on the playback thread when a fade sync fires.
    std::function<void(HSTREAM channel, Fade fade)> attachPreviewFade;

    // The points, byte positions in the stream; readable whole from any thread.
    std::atomic<int64_t> SelStart{kNotSet};
    std::atomic<int64_t> SelEnd{kNotSet};
    // UI thread.
    HSYNC StartSync = 0;
    HSYNC EndSync = 0;
    HSYNC FadeOutSync = 0;

    // Sync routines (user value: the Selection). Playback thread.
    static void LoopSyncProc(HSYNC sync, DWORD channel, DWORD data, void* user);
    static void FadeInSyncProc(HSYNC sync, DWORD channel, DWORD data, void* user);
    static void FadeOutSyncProc(HSYNC sync, DWORD channel, DWORD data, void* user);

    // Whole seconds of a byte count, truncated toward zero; 0 without a stream.
    int WholeSeconds(int64_t bytes) const;

  private:
    SelectionView& view_;
    HSTREAM stream_ = 0;
};

}  // namespace chime
