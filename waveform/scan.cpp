#include "scan.h"

#include <pthread.h>

#include <algorithm>

namespace chime {

namespace {

constexpr DWORD kLevelError = 0xFFFFFFFF;

}  // namespace

WaveScan::~WaveScan() {
    Stop();
}

void WaveScan::Start(HSTREAM stream, uint32_t bytesPerColumn) {
    Stop();
    levels_.Clear();
    if (stream == 0) return;
    if (bytesPerColumn == 0) {
        BASS_StreamFree(stream);
        return;
    }
    bytesPerColumn_ = bytesPerColumn;
    closing_ = false;
    running_ = true;
    thread_ = std::thread([this, stream] {
        pthread_setname_np(pthread_self(), "chime-scan");
        ScanLevels(stream);
        running_ = false;
    });
}

void WaveScan::Stop() {
    closing_ = true;
    if (thread_.joinable()) thread_.join();
}

void WaveScan::Wait() {
    if (thread_.joinable()) thread_.join();
}

void WaveScan::ScanLevels(HSTREAM Stream) {
    constexpr int64_t kColumns = WaveLevels::kColumns;
    // The stream is the scan's own and nothing else moves it, so each level call measures the
    // block from where the previous one ended.
    int64_t from = 0;
    while (!closing_) {
        const DWORD level = BASS_ChannelGetLevel(Stream);
        // All bits set: the data has ended (or the stream failed); nothing was measured.
        if (level == kLevelError) break;
        const int64_t to = BASS_ChannelGetPosition(Stream, BASS_POS_BYTE);
        if (to <= from) break;
        const int64_t perColumn = bytesPerColumn_.load();
        // The block counts for every column that holds some of its bytes, so each column
        // shows the loudest of all its blocks. Column 0 stays empty: it is where the markers
        // of points not set stand.
        const int64_t first = std::max<int64_t>(from / perColumn, 1);
        const int64_t last = std::min((to - 1) / perColumn, kColumns - 1);
        const int16_t left = LevelPixels(level & 0xFFFF);
        const int16_t right = LevelPixels(level >> 16);
        for (int64_t c = first; c <= last; ++c)
            levels_.Raise(static_cast<int>(c), left, right);
        from = to;
        // The next block starts in column from / perColumn: every column before it is final.
        const int64_t complete = from / perColumn;
        levels_.SetColumnsDone(static_cast<int>(std::min(complete, kColumns)));
        if (complete >= kColumns) break;
    }
    // At the end of the data the column of the last byte is final too.
    if (!closing_) {
        const int64_t reached = (from + bytesPerColumn_.load() - 1) / bytesPerColumn_.load();
        levels_.SetColumnsDone(static_cast<int>(std::min(reached, kColumns)));
    }
    BASS_StreamFree(Stream);
}

}  // namespace chime
