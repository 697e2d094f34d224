// The waveform box on pictures rendered off-screen: the colours of the columns, the levels'
// place in the picture, the markers and their labels, what the box shows with and without a
// song; and the window's scan of each song it opens.

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QPainter>
#include <QTemporaryDir>
#include <QtTest>
#include <filesystem>
#include <set>

#include "application.h"
#include "fixtures.h"
#include "level_rows.h"
#include "mainwindow.h"
#include "waveform_view.h"
#include "window_testing.h"

using namespace chime;
namespace fs = std::filesystem;

namespace {

// The desktop of a window under test: errors are said on the test's output, not in a box.
Shell QuietShell() {
    Shell s;
    s.showError = [](const QString& text) { qInfo("error box: %s", qPrintable(text)); };
    s.showFatalError = s.showError;
    return s;
}

constexpr QRgb kBlack = 0xFF000000;

// 8 kHz mono (16000 bytes a second), a 400 Hz tone at half scale: every 20 ms block peaks at
// 16384, 30 pixels.
QString Tone(const std::string& name, double seconds) {
    return QString::fromStdString(test::Made(
        name, "-f lavfi -i \"aevalsrc=0.5*sin(2*PI*400*t):s=8000:d=" + std::to_string(seconds) +
                  "\" -c:a pcm_s16le -f wav"));
}

using test::Row;

QImage Shown(QWidget* widget) {
    return widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// The lowest file descriptor number not in use: the one a new file gets.
int LowestFreeDescriptor() {
    const int probe = ::open("/dev/null", O_RDONLY);
    ::close(probe);
    return probe;
}

// The rows of one column of a picture, top to bottom.
std::vector<QRgb> ColumnOf(const QImage& image, int x) {
    std::vector<QRgb> rows;
    for (int y = 0; y < image.height(); ++y)
        rows.push_back(image.pixel(x, y));
    return rows;
}

// Checks one column of a picture over a black background: up pixels of the upper colour from
// row 73 upward, down pixels of the lower colour from row 75 downward, exactly one white dot
// 0..4 rows beyond each tip, and black everywhere else. The rows of the dots are added to
// dotRows (with the column). Says what is wrong, or nothing.
QString CheckColumn(const QImage& picture, int x, int up, int down, std::set<int>* dotRows) {
    const int mid = WaveformBox::kMid;
    std::vector<QRgb> got = ColumnOf(picture, x);
    std::vector<QRgb> want(got.size(), kBlack);
    for (int y = mid - 1; y >= mid - up; --y)
        want[y] = WaveformBox::kUpper;
    for (int y = mid + 1; y <= mid + down; ++y)
        want[y] = WaveformBox::kLower;
    auto findDot = [&](int from, int to) {
        int found = -1;
        for (int y = std::min(from, to); y <= std::max(from, to); ++y) {
            if (got[y] != WaveformBox::kPlayColour) continue;
            if (found >= 0) return -2;
            found = y;
        }
        return found;
    };
    const int upperDot = findDot(mid - 1 - up, mid - 5 - up);
    const int lowerDot = findDot(mid + 1 + down, mid + 5 + down);
    if (upperDot < 0 || lowerDot < 0)
        return QString("column %1: dots at %2 and %3").arg(x).arg(upperDot).arg(lowerDot);
    want[upperDot] = want[lowerDot] = WaveformBox::kPlayColour;
    dotRows->insert(x * 1000 + upperDot);
    dotRows->insert(x * 1000 + lowerDot);
    for (size_t y = 0; y < got.size(); ++y) {
        if (got[y] != want[y]) {
            return QString("column %1 row %2: %3 instead of %4")
                .arg(x)
                .arg(y)
                .arg(got[y], 8, 16)
                .arg(want[y], 8, 16);
        }
    }
    return {};
}

// The box on its own, over a black background, with every column 1..519 at one level.
struct Box {
    std::atomic<uint32_t> bytesPerColumn{1846};  // 60 s of 8 kHz mono
    WaveLevels levels;
    WaveformBox box{nullptr, bytesPerColumn};
    explicit Box(int level = 30) {
        box.resize(WaveformBox::kWidth, WaveformBox::kHeight);
        box.BackBitmap = QImage(WaveformBox::kWidth, WaveformBox::kHeight, QImage::Format_RGB32);
        box.BackBitmap.fill(kBlack);
        for (int i = 1; i < WaveLevels::kColumns; ++i)
            levels.Raise(i, static_cast<int16_t>(level), static_cast<int16_t>(level));
        levels.SetColumnsDone(WaveLevels::kColumns);
    }
    WaveMarks Marks(int64_t selStart = -1, int64_t selEnd = -1) const {
        WaveMarks m;
        m.bytesPerColumn = bytesPerColumn;
        m.selStart = selStart;
        m.selEnd = selEnd;
        return m;
    }
    int64_t At(int column) const { return int64_t{column} * bytesPerColumn; }
};

}  // namespace

class WaveformViewTest : public QObject {
    Q_OBJECT

  private slots:
    void columnColours_data() {
        QTest::addColumn<int>("playColumn");  // the previous tick's
        QTest::addColumn<int>("selStart");    // columns; -1 not set
        QTest::addColumn<int>("selEnd");
        QTest::addColumn<int>("column");
        QTest::addColumn<uint>("upper");
        QTest::addColumn<uint>("lower");
        const uint green = WaveformBox::kUpper, red = WaveformBox::kLower;
        const uint sky = WaveformBox::kPlayed, navy = WaveformBox::kSelected;
        QTest::newRow("plain") << 0 << -1 << -1 << 100 << green << red;
        QTest::newRow("played, its last column") << 200 << -1 << -1 << 200 << sky << sky;
        QTest::newRow("just past the played part") << 200 << -1 << -1 << 201 << green << red;
        QTest::newRow("selection's first column") << 0 << 100 << 300 << 100 << navy << navy;
        QTest::newRow("selection's last column") << 0 << 100 << 300 << 300 << navy << navy;
        QTest::newRow("before the selection") << 0 << 100 << 300 << 99 << green << red;
        QTest::newRow("after the selection") << 0 << 100 << 300 << 301 << green << red;
        QTest::newRow("selection over the played part") << 400 << 100 << 300 << 200 << navy << navy;
        QTest::newRow("played after the selection") << 400 << 100 << 300 << 350 << sky << sky;
        QTest::newRow("start only") << 0 << 100 << -1 << 150 << green << red;
        QTest::newRow("end only") << 0 << -1 << 300 << 150 << green << red;
        QTest::newRow("start at 0, whole song") << 0 << 0 << 519 << 519 << navy << navy;
    }

    void columnColours() {
        QFETCH(int, playColumn);
        QFETCH(int, selStart);
        QFETCH(int, selEnd);
        QFETCH(int, column);
        QFETCH(uint, upper);
        QFETCH(uint, lower);
        Box b;
        b.box.PlayColumn = playColumn;
        // A point within its column counts for the whole column.
        const int64_t start = selStart < 0 ? -1 : b.At(selStart) + 1000;
        const int64_t end = selEnd < 0 ? -1 : b.At(selEnd) + 1845;
        const WaveMarks marks = b.Marks(start, end);
        b.box.RenderWaveform(b.levels, marks);
        QCOMPARE(b.box.ColumnColour(column, true, marks), QRgb(upper));
        // Drawn from the centre line outward: rows 73 up to 44 and 75 down to 104.
        const QImage& picture = b.box.FrontBitmap;
        for (int y : {73, 60, 44})
            QCOMPARE(picture.pixel(column, y), QRgb(upper));
        for (int y : {75, 90, 104})
            QCOMPARE(picture.pixel(column, y), QRgb(lower));
    }

    // Full scale covers rows 73 up to 14 and 75 down to 134, with a white dot 0..4 rows beyond
    // each tip; an empty column has only its two dots; row 74, the centre line, is never drawn.
    // A column the scan has not finished is drawn empty.
    void levelsInThePicture() {
        Box b(0);
        b.levels.Raise(10, 60, 60);
        b.levels.Raise(12, 1, 0);
        b.levels.Raise(13, 0, 2);
        b.levels.Raise(300, 60, 60);
        b.levels.SetColumnsDone(200);
        struct Expected {
            int column;
            int up;
            int down;
        };
        const Expected columns[] = {{10, 60, 60}, {11, 0, 0}, {12, 1, 0}, {13, 0, 2}, {300, 0, 0}};
        std::set<int> dotRows;
        for (int tick = 0; tick < 30; ++tick) {
            b.box.RenderWaveform(b.levels, b.Marks());
            for (const Expected& e : columns) {
                const QString problem =
                    CheckColumn(b.box.FrontBitmap, e.column, e.up, e.down, &dotRows);
                QVERIFY2(problem.isEmpty(), qPrintable(problem));
            }
        }
        // The dots are drawn anew on every tick: they do not all stand still.
        QVERIFY(dotRows.size() > 2 * std::size(columns));
    }

    void markerLabels_data() {
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("seconds");
        QTest::addColumn<QString>("label");
        QTest::newRow("start 65 s") << WaveformBox::kStartRow << 65 << "Start:1:05";
        QTest::newRow("end 9 s") << WaveformBox::kEndRow << 9 << "End:0:09";
        QTest::newRow("play 10 s") << WaveformBox::kPlayRow << 10 << "Play:0:10";
        QTest::newRow("nothing yet") << WaveformBox::kEndRow << 0 << "End:0:00";
        QTest::newRow("a minute less a second") << WaveformBox::kPlayRow << 59 << "Play:0:59";
        QTest::newRow("a minute") << WaveformBox::kPlayRow << 60 << "Play:1:00";
        QTest::newRow("605 s") << WaveformBox::kStartRow << 605 << "Start:10:05";
        QTest::newRow("an hour") << WaveformBox::kStartRow << 3600 << "Start:60:00";
    }

    void markerLabels() {
        QFETCH(int, row);
        QFETCH(int, seconds);
        QFETCH(QString, label);
        QCOMPARE(MarkerLabel(row, seconds), label);
    }

    void markers_data() {
        QTest::addColumn<int64_t>("position");  // bytes of a 60 s song of 8 kHz mono
        QTest::addColumn<int>("column");
        QTest::addColumn<int>("labelLeft");
        // 1846 bytes a column.
        QTest::newRow("column 0") << int64_t{0} << 0 << 2;
        QTest::newRow("column 459") << int64_t{459 * 1846 + 100} << 459 << 461;
        QTest::newRow("column 460") << int64_t{460 * 1846} << 460 << 402;
        QTest::newRow("column 517") << int64_t{517 * 1846 + 1845} << 517 << 459;
        QTest::newRow("column 519") << int64_t{519 * 1846} << 519 << 421;
        QTest::newRow("the song's end") << int64_t{960000} << 519 << 421;
    }

    // The play marker's line fills its column; its label stands at the place of the column's
    // range; the start and end markers that are not set stand at column 0, labelled at 2.
    void markers() {
        QFETCH(int64_t, position);
        QFETCH(int, column);
        QFETCH(int, labelLeft);
        const HSTREAM song = BASS_StreamCreateFile(
            FALSE, Tone("view-tone-60s.wav", 60).toUtf8().constData(), 0, 0, BASS_STREAM_DECODE);
        QVERIFY(song != 0);
        QCOMPARE(BASS_ChannelGetLength(song, BASS_POS_BYTE), QWORD{960000});
        Box b(0);
        WaveMarks marks = b.Marks();
        marks.stream = song;
        marks.play = position;
        b.box.RenderWaveform(b.levels, marks);
        b.box.DrawMarker(WaveformBox::kStartRow, WaveformBox::kStartColour, marks.selStart, marks);
        b.box.DrawMarker(WaveformBox::kEndRow, WaveformBox::kEndColour, marks.selEnd, marks);
        b.box.DrawMarker(WaveformBox::kPlayRow, WaveformBox::kPlayColour, marks.play, marks);
        QCOMPARE(b.box.PlayColumn, column);
        const QImage& picture = b.box.FrontBitmap;
        QCOMPARE(ColumnOf(picture, column),
                 std::vector<QRgb>(WaveformBox::kHeight, WaveformBox::kPlayColour));
        // The end marker is drawn over the start marker, and the play marker over both.
        const QRgb first = column == 0 ? WaveformBox::kPlayColour : WaveformBox::kEndColour;
        QCOMPARE(ColumnOf(picture, 0), std::vector<QRgb>(WaveformBox::kHeight, first));

        // The labels, as the same text in the same face would stand at their places.
        const int seconds = static_cast<int>(position / 16000);
        QImage expected(picture.size(), QImage::Format_RGB32);
        expected.fill(kBlack);
        {
            QPainter p(&expected);
            QFont font = QGuiApplication::font();
            font.setPointSize(8);
            font.setBold(true);
            p.setFont(font);
            auto label = [&p](int left, int row, QRgb colour, const QString& text) {
                p.setPen(QColor::fromRgb(colour));
                p.drawText(QRect(left, row, 520, 148), Qt::AlignLeft | Qt::AlignTop, text);
            };
            label(2, 12, WaveformBox::kStartColour, "Start:0:00");
            label(2, 24, WaveformBox::kEndColour, "End:0:00");
            label(labelLeft, 0, WaveformBox::kPlayColour, MarkerLabel(0, seconds));
        }
        int inked = 0;
        for (int y = 0; y < 40; ++y) {
            for (int x = 1; x < picture.width(); ++x) {
                if (x == column) continue;
                if (picture.pixel(x, y) != expected.pixel(x, y))
                    QFAIL(qPrintable(QString("label pixel %1, %2 differs").arg(x).arg(y)));
                if (picture.pixel(x, y) != kBlack) ++inked;
            }
        }
        QVERIFY(inked > 100);  // the labels were drawn
    }

    // The played colour goes up to the column of the previous tick's play marker.
    void playedPartFollowsOneTickBehind() {
        Box b;
        const WaveMarks marks = b.Marks();
        auto tick = [&b, &marks](int64_t play) {
            b.box.RenderWaveform(b.levels, marks);
            b.box.DrawMarker(WaveformBox::kPlayRow, WaveformBox::kPlayColour, play, marks);
        };
        tick(b.At(100));
        QCOMPARE(b.box.FrontBitmap.pixel(50, 73), WaveformBox::kUpper);
        tick(b.At(120));
        QCOMPARE(b.box.FrontBitmap.pixel(50, 73), WaveformBox::kPlayed);
        QCOMPARE(b.box.FrontBitmap.pixel(100, 75), WaveformBox::kPlayed);
        QCOMPARE(b.box.FrontBitmap.pixel(101, 73), WaveformBox::kUpper);
        QCOMPARE(b.box.FrontBitmap.pixel(110, 75), WaveformBox::kLower);
    }

    // Without a song the box shows its background, with one the picture of the last tick; a
    // background that cannot be read is replaced by a plain one with a note.
    void whatTheBoxShows() {
        Box b;
        auto shown = [&b] { return b.box.grab().toImage().convertToFormat(QImage::Format_RGB32); };
        b.box.RenderWaveform(b.levels, b.Marks());
        b.bytesPerColumn = 0;
        QCOMPARE(shown(), b.box.BackBitmap);
        b.bytesPerColumn = 1846;
        QCOMPARE(shown(), b.box.FrontBitmap);
        QVERIFY(b.box.FrontBitmap != b.box.BackBitmap);

        QVERIFY(b.box.LoadBackground(QCoreApplication::applicationDirPath() + "/back.bmp"));
        QCOMPARE(b.box.BackBitmap.size(), QSize(520, 148));
        QVERIFY(b.box.missingNote.isEmpty());
        QVERIFY(!b.box.LoadBackground("/nonexistent/back.bmp"));
        QCOMPARE(b.box.BackBitmap.size(), QSize(520, 148));
        QVERIFY(b.box.missingNote.contains("/nonexistent/back.bmp"));
        QVERIFY(b.box.BackBitmap.pixel(300, 74) != b.box.BackBitmap.pixel(300, 73));
        b.bytesPerColumn = 0;
        QVERIFY(shown() != b.box.BackBitmap);  // the note stands in it
        // The plain background serves the waveform too.
        b.box.RenderWaveform(b.levels, b.Marks());
        QCOMPARE(b.box.FrontBitmap.pixel(300, 74), b.box.BackBitmap.pixel(300, 74));
        QCOMPARE(b.box.FrontBitmap.pixel(300, 120), b.box.BackBitmap.pixel(300, 120));
    }
    // Each song the window opens is scanned into the levels from a clear start, and the box
    // shows the picture of them.
    void windowScansEachSong() {
        Tfrmmain w(QuietShell());
        QVERIFY(w.FormCreate());
        w.OpenNamed(Tone("view-tone-30s.wav", 30));
        QVERIFY(w.WaitForOpening());
        QTRY_VERIFY(!w.Scan().Running());
        QCOMPARE(w.Levels().ColumnsDone(), 520);
        QCOMPARE(test::LeftRow(w.Levels()), Row(1, 519, 30));
        w.Timer1Timer();
        const QImage shown = Shown(w.PB);
        QCOMPARE(shown, w.PB->FrontBitmap);
        QCOMPARE(shown.pixel(300, 73), WaveformBox::kUpper);
        QCOMPARE(shown.pixel(300, 44), WaveformBox::kUpper);
        QCOMPARE(shown.pixel(300, 104), WaveformBox::kLower);
        QCOMPARE(shown.pixel(300, 74), w.PB->BackBitmap.pixel(300, 74));

        w.OpenNamed(Tone("view-tone-5s.wav", 5));
        QVERIFY(w.WaitForOpening());
        QTRY_VERIFY(!w.Scan().Running());
        QCOMPARE(w.Levels().ColumnsDone(), 250);
        QCOMPARE(test::LeftRow(w.Levels()), Row(1, 249, 30));
        w.Timer1Timer();
        // Past the shorter song's end nothing of the first one is left, but for the dots along
        // the centre line (rows 69 to 79).
        const QImage after = Shown(w.PB);
        QCOMPARE(after.pixel(300, 60), w.PB->BackBitmap.pixel(300, 60));
        QCOMPARE(after.pixel(300, 90), w.PB->BackBitmap.pixel(300, 90));
        w.FormDestroy();
        QVERIFY(!w.Scan().Running());
    }

    // After a song fails to open, the box is back to its background.
    void failedOpeningShowsTheBackground() {
        Tfrmmain w(QuietShell());
        QVERIFY(w.FormCreate());
        w.OpenNamed(Tone("view-tone-5s.wav", 5));
        QVERIFY(w.WaitForOpening());
        w.Timer1Timer();
        QVERIFY(Shown(w.PB) != w.PB->BackBitmap);
        w.OpenNamed(QString::fromStdString(test::Scratch("no such song.mp3")));
        QVERIFY(!w.WaitForOpening());
        QCOMPARE(w.BytesPerColumn.load(), 0u);
        QVERIFY(!w.Scan().Running());
        w.Timer1Timer();
        QCOMPARE(Shown(w.PB), w.PB->BackBitmap);
    }

    // A song whose scan stream cannot be made is not open: its preview, already playing, is
    // stopped and freed, and the box stays as with no song.
    void scanStreamThatCannotOpenFailsTheOpening() {
        Tfrmmain w(QuietShell());
        QVERIFY(w.FormCreate());
        const QString song = Tone("view-tone-30s.wav", 30);
        const int free = LowestFreeDescriptor();
        rlimit saved{};
        QCOMPARE(getrlimit(RLIMIT_NOFILE, &saved), 0);
        // Room for one more open file, the preview's, and not for the scan's.
        rlimit one = saved;
        one.rlim_cur = free + 1;
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &one), 0);
        w.OpenNamed(song);
        QVERIFY(!w.WaitForOpening());
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &saved), 0);
        QCOMPARE(w.barhighcut->maximum(), 4000);  // the preview did open
        QCOMPARE(w.PreviewStream, 0u);
        QCOMPARE(LowestFreeDescriptor(), free);  // and is gone
        QCOMPARE(w.BytesPerColumn.load(), 0u);
        QVERIFY(!w.Scan().Running());
        QVERIFY(!w.PB->isEnabled());
        QVERIFY(!w.Timer1->isActive());
        // With the files to spare, the same song opens.
        w.OpenNamed(song);
        QVERIFY(w.WaitForOpening());
        QCOMPARE(BASS_ChannelIsActive(w.PreviewStream), BASS_ACTIVE_PLAYING);
        QVERIFY(w.PB->isEnabled());
        QTRY_COMPARE(w.Levels().ColumnsDone(), 520);
    }
};

int main(int argc, char** argv) {
    return RunWindowTests<WaveformViewTest>(argc, argv);
}

#include "waveform_view_test.moc"
