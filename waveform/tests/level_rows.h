#pragma once
// Levels as rows of numbers, one per column, for comparing a scan's result whole.

#include <vector>

#include "levels.h"

namespace chime::test {

inline std::vector<int> LeftRow(const WaveLevels& levels) {
    std::vector<int> v;
    for (int i = 0; i < WaveLevels::kColumns; ++i)
        v.push_back(levels.Left(i));
    return v;
}

inline std::vector<int> RightRow(const WaveLevels& levels) {
    std::vector<int> v;
    for (int i = 0; i < WaveLevels::kColumns; ++i)
        v.push_back(levels.Right(i));
    return v;
}

// Columns first..last (inclusive) hold value, all others 0.
inline std::vector<int> Row(int first, int last, int value) {
    std::vector<int> v(WaveLevels::kColumns, 0);
    for (int i = first; i <= last; ++i)
        v[i] = value;
    return v;
}

}  // namespace chime::test
