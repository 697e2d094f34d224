#pragma once
// Pointer editing on the waveform box and whole-second steps of the time boxes. UI thread.

#include <cstdint>

#include "selection.h"

namespace chime {

// The byte position a pointer column stands for, the column clamped to the box.
int64_t ColumnPosition(int x, uint32_t bytesPerColumn, int columns);

// Where a step of the start or end box goes: the box's whole seconds plus direction (+1 or -1)
// as bytes, or -1 when the step leaves 0..maximum and does nothing.
int64_t StepTarget(HSTREAM stream, int shown, int maximum, int direction);

enum class DragModes : int { None = 0, Start = 1, End = 2, Play = 3 };

class PointerEditing {
  public:
    PointerEditing(Selection& selection, int columns) : selection_(selection), columns_(columns) {}
    // A press of button (Start for left, End for right, Play for middle) at column x.
    void MouseDown(DragModes button, int x, uint32_t bytesPerColumn);
    void MouseMove(int x, uint32_t bytesPerColumn);
    void MouseUp() { DragMode = DragModes::None; }
    DragModes DragMode = DragModes::None;

  private:
    void Apply(int x, uint32_t bytesPerColumn);
    Selection& selection_;
    const int columns_;
};

}  // namespace chime
