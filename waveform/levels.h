#pragma once
// The levels of one song, one pair per column of the waveform box: the left channel's peak for
// the upper half, the right channel's for the lower half, in pixels. The scan thread writes
// them; the view reads them on the UI thread, without a lock, while the scan goes on.

#include <array>
#include <atomic>
#include <cstdint>

#include "engine.h"

namespace chime {

// A peak of 0..32768 as pixels of a half of the box: 60 for full scale, rounded to the nearest
// pixel with halves up.
constexpr int16_t LevelPixels(DWORD peak) {
    return static_cast<int16_t>((60 * static_cast<int64_t>(peak) + 16384) / 32768);
}

class WaveLevels {
  public:
    // The waveform box's width: the whole song spreads over these columns.
    static constexpr int kColumns = 520;

    WaveLevels() { Clear(); }
    WaveLevels(const WaveLevels&) = delete;
    WaveLevels& operator=(const WaveLevels&) = delete;

    // UI thread, while no scan runs: every level 0 and no column done.
    void Clear();

    // Any thread. A column that the scan has not reached reads 0.
    int16_t Left(int column) const { return left_[column].load(std::memory_order_relaxed); }
    int16_t Right(int column) const { return right_[column].load(std::memory_order_relaxed); }
    // Any thread. Columns below this count hold their final levels: a reader that sees the
    // count also sees every level stored before it (acquire, pairing with SetColumnsDone).
    int ColumnsDone() const { return done_.load(std::memory_order_acquire); }

    // Scan thread (the only writer). Raises a column's levels to at least these.
    void Raise(int column, int16_t left, int16_t right);
    // Scan thread. Publishes the levels stored so far (release).
    void SetColumnsDone(int count) { done_.store(count, std::memory_order_release); }

  private:
    // Relaxed: each element is read and written whole, and no other data hangs on one element.
    std::array<std::atomic<int16_t>, kColumns> left_;
    std::array<std::atomic<int16_t>, kColumns> right_;
    std::atomic<int> done_{0};
};

}  // namespace chime
