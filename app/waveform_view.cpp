#include "waveform_view.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <algorithm>
#include <cmath>

#include "mainwindow.h"

namespace chime {

namespace {

// A marker past this column has its label moved 40 columns further left, clear of the edge.
constexpr int kLabelShiftAfter = 517;
// The label stands right of its line up to this column, left of it from here on.
constexpr int kLabelLeftFrom = WaveformBox::kWidth - 60;

}  // namespace

QString MarkerLabel(int row, int seconds) {
    const char* kind = row == WaveformBox::kEndRow     ? "End:"
                       : row == WaveformBox::kStartRow ? "Start:"
                       : row == WaveformBox::kPlayRow  ? "Play:"
                                                       : "";
    const int minutes = seconds / 60;
    const int rest = seconds % 60;
    return QString(kind) + QString::number(minutes) + (rest < 10 ? ":0" : ":") +
           QString::number(rest);
}

WaveformBox::WaveformBox(QWidget* parent, const std::atomic<uint32_t>& bytesPerColumn)
    : QWidget(parent), bytesPerColumn_(bytesPerColumn) {
    FrontBitmap = QImage(kWidth, kHeight, QImage::Format_RGB32);
    FrontBitmap.fill(Qt::black);
}

bool WaveformBox::LoadBackground(const QString& path) {
    QImage loaded;
    if (loaded.load(path)) {
        BackBitmap = loaded.convertToFormat(QImage::Format_RGB32);
        missingNote.clear();
        return true;
    }
    missingNote = "The background picture " + path + " could not be loaded.";
    // A plain background with its centre line.
    BackBitmap = QImage(kWidth, kHeight, QImage::Format_RGB32);
    BackBitmap.fill(QColor(16, 20, 36));
    QPainter p(&BackBitmap);
    p.setPen(QColor(120, 120, 140));
    p.drawLine(0, kMid, kWidth - 1, kMid);
    return false;
}

QRgb WaveformBox::ColumnColour(int32_t column, bool upper, const WaveMarks& marks) const {
    QRgb colour = upper ? kUpper : kLower;
    if (column <= PlayColumn) colour = kPlayed;
    const int64_t perColumn = marks.bytesPerColumn;
    if (marks.selStart >= 0 && marks.selEnd >= 0 && perColumn != 0 &&
        marks.selStart / perColumn <= column && column <= marks.selEnd / perColumn) {
        colour = kSelected;
    }
    return colour;
}

void WaveformBox::RenderWaveform(const WaveLevels& levels, const WaveMarks& marks) {
    {
        QPainter p(&FrontBitmap);
        p.setCompositionMode(QPainter::CompositionMode_Source);
        p.drawImage(0, 0, BackBitmap);
    }
    const int width = std::min(FrontBitmap.width(), int{WaveLevels::kColumns});
    const int height = FrontBitmap.height();
    const int mid = height / 2;
    const qsizetype stride = FrontBitmap.bytesPerLine() / 4;
    QRgb* const bits = reinterpret_cast<QRgb*>(FrontBitmap.bits());
    auto set = [&](int x, int y, QRgb colour) {
        if (y >= 0 && y < height) bits[y * stride + x] = colour;
    };
    std::uniform_int_distribution<int> dot(0, 4);
    // Columns the scan has not finished are drawn as empty: the picture grows from the left.
    const int done = levels.ColumnsDone();
    for (int i = 0; i < width; ++i) {
        const int left = i < done ? levels.Left(i) : 0;
        const QRgb upper = ColumnColour(i, true, marks);
        for (int y = mid - 1; y > mid - 1 - left && y >= 0; --y)
            bits[y * stride + i] = upper;
        set(i, mid - 1 - left - dot(dots_), kPlayColour);

        const int right = i < done ? levels.Right(i) : 0;
        const QRgb lower = ColumnColour(i, false, marks);
        for (int y = mid + 1; y < mid + 1 + right && y < height; ++y)
            bits[y * stride + i] = lower;
        set(i, mid + 1 + right + dot(dots_), kPlayColour);
    }
}

void WaveformBox::DrawMarker(int row, QRgb colour, int64_t position, const WaveMarks& marks) {
    // A point not set (or no position) stands at the start.
    position = std::max<int64_t>(position, 0);
    const int seconds = std::max(
        0, static_cast<int>(std::trunc(BASS_ChannelBytes2Seconds(marks.stream, position))));
    const int64_t perColumn = marks.bytesPerColumn;
    // The very end of a song divides to one column past the box; it is drawn on the last one.
    const int column = static_cast<int>(
        std::min<int64_t>(perColumn == 0 ? 0 : position / perColumn, WaveLevels::kColumns - 1));
    PlayColumn = column;

    QPainter p(&FrontBitmap);
    p.setPen(QColor::fromRgb(colour));
    p.drawLine(column, 0, column, FrontBitmap.height() - 1);
    QFont font = QGuiApplication::font();
    font.setPointSize(8);
    font.setBold(true);
    p.setFont(font);
    const int x = column > kLabelShiftAfter ? column - 40 : column;
    const int left = x < kLabelLeftFrom ? x + 2 : x - 58;
    // Transparent background: QPainter's default.
    p.drawText(QRect(left, row, kWidth, kHeight), Qt::AlignLeft | Qt::AlignTop,
               MarkerLabel(row, seconds));
}

void WaveformBox::paintEvent(QPaintEvent*) {
    PBPaint();
}

void WaveformBox::PBPaint() {
    QPainter p(this);
    if (bytesPerColumn_.load() != 0) {
        p.drawImage(0, 0, FrontBitmap);
        return;
    }
    p.drawImage(0, 0, BackBitmap);
    if (!missingNote.isEmpty()) {
        p.setPen(QColor(200, 200, 210));
        p.drawText(rect().adjusted(6, 4, -6, -4), Qt::AlignTop | Qt::AlignLeft | Qt::TextWordWrap,
                   missingNote);
    }
}

void WaveformBox::mousePressEvent(QMouseEvent* event) {
    if (onPress) onPress(event);
}
void WaveformBox::mouseMoveEvent(QMouseEvent* event) {
    if (onMove) onMove(event);
}
void WaveformBox::mouseReleaseEvent(QMouseEvent* event) {
    if (onRelease) onRelease(event);
}

// The window's side: its timer, and the scan of each song it opens.

void Tfrmmain::Timer1Timer() {
    WaveMarks marks;
    marks.bytesPerColumn = BytesPerColumn;
    if (marks.bytesPerColumn == 0) return;
    marks.selStart = SelStart;
    marks.selEnd = SelEnd;
    marks.stream = PreviewStream;
    marks.play = BASS_ChannelGetPosition(PreviewStream, BASS_POS_BYTE);
    PB->RenderWaveform(levels_, marks);
    PB->DrawMarker(WaveformBox::kStartRow, WaveformBox::kStartColour, marks.selStart, marks);
    PB->DrawMarker(WaveformBox::kEndRow, WaveformBox::kEndColour, marks.selEnd, marks);
    PB->DrawMarker(WaveformBox::kPlayRow, WaveformBox::kPlayColour, marks.play, marks);
    PB->repaint();
}

void Tfrmmain::StopWaveform() {
    scan_.Stop();
    BytesPerColumn = 0;  // the box shows its background until a song is open
    PB->update();
}

void Tfrmmain::StartWaveform(HSTREAM scanStream) {
    scan_.Start(scanStream, BytesPerColumn);
    // The first picture at once, not the previous song's until the timer's first tick.
    Timer1Timer();
}

}  // namespace chime
