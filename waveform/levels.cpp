#include "levels.h"

#include <algorithm>

namespace chime {

void WaveLevels::Clear() {
    for (int i = 0; i < kColumns; ++i) {
        left_[i].store(0, std::memory_order_relaxed);
        right_[i].store(0, std::memory_order_relaxed);
    }
    SetColumnsDone(0);
}

void WaveLevels::Raise(int column, int16_t left, int16_t right) {
    // A load and a store, not an atomic maximum: the scan thread is the only writer.
    std::atomic<int16_t>& l = left_[column];
    std::atomic<int16_t>& r = right_[column];
    l.store(std::max(l.load(std::memory_order_relaxed), left), std::memory_order_relaxed);
    r.store(std::max(r.load(std::memory_order_relaxed), right), std::memory_order_relaxed);
}

}  // namespace chime
