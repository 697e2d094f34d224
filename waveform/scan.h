#pragma once
// The background scan of a song: one pass through a decoding stream of it, as fast as it
// decodes, storing each column's peak levels as it goes, so that the waveform grows from the
// left while the song already plays from its own stream.

#include <atomic>
#include <cstdint>
#include <thread>

#include "engine.h"
#include "levels.h"

namespace chime {

class WaveScan {
  public:
    explicit WaveScan(WaveLevels& levels) : levels_(levels) {}
    // Stops and joins a running scan.
    ~WaveScan();
    WaveScan(const WaveScan&) = delete;
    WaveScan& operator=(const WaveScan&) = delete;

    // UI thread. Stops and joins a running scan, clears the levels, then scans stream at
    // bytesPerColumn bytes of it per column. The scan owns stream from here on and frees it
    // when it ends, also when it does not start (a stream of 0 or a scale of 0).
    void Start(HSTREAM stream, uint32_t bytesPerColumn);
    // UI thread. Ends a running scan at the start of its next pass and waits for its thread;
    // its stream has been freed when this returns. The levels keep what it stored.
    void Stop();
    // UI thread. Waits until a running scan has ended by itself.
    void Wait();

    // Any thread. True while a scan's thread has not finished.
    bool Running() const { return running_.load(); }
    // Any thread. True from Stop until the next Start.
    bool Closing() const { return closing_.load(); }
    // Any thread. The scale of the latest scan, bytes of its stream per column.
    uint32_t BytesPerColumn() const { return bytesPerColumn_.load(); }

  private:
    // Scan thread: the passes, then the stream freed.
    void ScanLevels(HSTREAM Stream);

    WaveLevels& levels_;
    std::thread thread_;  // UI thread only
    std::atomic<bool> closing_{false};
    std::atomic<bool> running_{false};
    std::atomic<uint32_t> bytesPerColumn_{0};
};

}  // namespace chime
