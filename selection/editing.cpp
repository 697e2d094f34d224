#include "editing.h"

#include <algorithm>

namespace chime {

int64_t ColumnPosition(int x, uint32_t bytesPerColumn, int columns) {
    return static_cast<int64_t>(std::clamp(x, 0, columns - 1)) * bytesPerColumn;
}

int64_t StepTarget(HSTREAM stream, int shown, int maximum, int direction) {
    const int target = shown + direction;
    if (target < 0 || target > maximum) return -1;
    return BASS_ChannelSeconds2Bytes(stream, static_cast<double>(target));
}

void PointerEditing::MouseDown(DragModes button, int x, uint32_t bytesPerColumn) {
    DragMode = button;
    Apply(x, bytesPerColumn);
}

void PointerEditing::MouseMove(int x, uint32_t bytesPerColumn) {
    Apply(x, bytesPerColumn);
}

void PointerEditing::Apply(int x, uint32_t bytesPerColumn) {
    int64_t position = ColumnPosition(x, bytesPerColumn, columns_);
    // On a short song the right of the box lies past its end: a point there is the end.
    const QWORD length = BASS_ChannelGetLength(selection_.Stream(), BASS_POS_BYTE);
    if (length >= 0) position = std::min<int64_t>(position, length);
    switch (DragMode) {
        case DragModes::Start:
            selection_.SetSelectionStart(position);
            break;
        case DragModes::End:
            selection_.SetSelectionEnd(position);
            break;
        case DragModes::Play:
            BASS_ChannelSetPosition(selection_.Stream(), position, BASS_POS_BYTE);
            break;
        case DragModes::None:
            break;
    }
}

}  // namespace chime
