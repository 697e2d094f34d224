#pragma once
// The waveform box: a song's levels drawn upward (left channel) and downward (right channel)
// from a centre line, the part already played and the selection in colours of their own, and
// the start, end and play markers with their times. The window's timer rebuilds the picture
// whole off-screen on every tick; the box shows it, or its background while no song is open.
// UI thread.

#include <QImage>
#include <QString>
#include <QWidget>
#include <atomic>
#include <cstdint>
#include <functional>
#include <random>

#include "engine.h"
#include "levels.h"

namespace chime {

// What a tick shows over the levels: the scale and the three points, in bytes of the playing
// stream. A point below 0 is not set.
struct WaveMarks {
    uint32_t bytesPerColumn = 0;
    int64_t selStart = -1;
    int64_t selEnd = -1;
    int64_t play = 0;
    HSTREAM stream = 0;  // turns positions into seconds for the labels
};

class WaveformBox : public QWidget {
  public:
    static constexpr int kWidth = WaveLevels::kColumns;
    static constexpr int kHeight = 148;
    static constexpr int kMid = kHeight / 2;  // the centre line, never drawn over
    // A marker's label row, which also tells the three apart.
    static constexpr int kPlayRow = 0;
    static constexpr int kStartRow = 12;
    static constexpr int kEndRow = 24;

    static constexpr QRgb kUpper = 0xFF00FF00;        // green
    static constexpr QRgb kLower = 0xFFFF0000;        // red
    static constexpr QRgb kPlayed = 0xFFA6CAF0;       // sky blue
    static constexpr QRgb kSelected = 0xFF000080;     // navy
    static constexpr QRgb kStartColour = 0xFF00FFFF;  // aqua
    static constexpr QRgb kEndColour = 0xFFFFFF00;    // yellow
    static constexpr QRgb kPlayColour = 0xFFFFFFFF;   // white, also the dots over the levels

    // bytesPerColumn is the window's scale: 0 while no song is open.
    WaveformBox(QWidget* parent, const std::atomic<uint32_t>& bytesPerColumn);

    // The background picture from a file. When it cannot be read, a plain one drawn here takes
    // its place, a note in the box says what is missing, and the result is false.
    bool LoadBackground(const QString& path);

    // One tick's picture into FrontBitmap: the background, then every column's levels.
    void RenderWaveform(const WaveLevels& levels, const WaveMarks& marks);
    // The colour of one half of one column.
    QRgb ColumnColour(int32_t column, bool upper, const WaveMarks& marks) const;
    // One marker, its line over the whole height and its label in row, into FrontBitmap;
    // PlayColumn becomes its column.
    void DrawMarker(int row, QRgb colour, int64_t position, const WaveMarks& marks);

    QImage BackBitmap;
    QImage FrontBitmap;
    // The column of the marker drawn last, so after a tick the play position's: the played
    // colour follows the play marker one tick behind.
    int32_t PlayColumn = 0;
    QString missingNote;
    std::function<void(QMouseEvent*)> onPress, onMove, onRelease;

  protected:
    void paintEvent(QPaintEvent*) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

  private:
    void PBPaint();

    const std::atomic<uint32_t>& bytesPerColumn_;
    std::minstd_rand dots_;
};

// A marker's label: "Start:", "End:" or "Play:" by its row, then minutes and seconds ("1:05";
// minutes neither padded nor wrapped, "60:00").
QString MarkerLabel(int row, int seconds);

}  // namespace chime
