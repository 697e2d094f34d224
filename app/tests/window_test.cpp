// The main window: its start state, the folder routines, start-up, opening a file by dialog,
// drop and command line, the about window, the help link and dragging the window.

#include <QAbstractButton>
#include <QMessageBox>
#include <QMimeData>
#include <QSignalSpy>
#include <QStyle>
#include <QTemporaryDir>
#include <QtTest>
#include <filesystem>
#include <fstream>

#include "aboutwindow.h"
#include "application.h"
#include "fixtures.h"
#include "folders.h"
#include "mainwindow.h"
#include "window_testing.h"

using namespace chime;
namespace fs = std::filesystem;

namespace {

// Every test's window, with the desktop replaced by recorders.
struct Recorder {
    QString nextFile;
    int dialogs = 0;
    QList<QUrl> opened;
    int moves = 0;
    QStringList fatal;
    QStringList errors;
    Shell MakeShell() {
        Shell s;
        s.chooseAudioFile = [this] {
            ++dialogs;
            return nextFile;
        };
        s.openUrl = [this](const QUrl& u) { opened << u; };
        s.startSystemMove = [this] {
            ++moves;
            return true;
        };
        s.showFatalError = [this](const QString& t) { fatal << t; };
        s.showError = [this](const QString& t) { errors << t; };
        return s;
    }
};

QString Wav(const std::string& name, int rate, int channels, double seconds) {
    std::string graph = "aevalsrc=";
    for (int c = 0; c < channels; ++c)
        graph += (c ? "|" : "") + std::string("0.3*sin(2*PI*440*t)");
    return QString::fromStdString(
        test::Made(name, "-f lavfi -i \"" + graph + ":s=" + std::to_string(rate) +
                             ":d=" + std::to_string(seconds) + "\" -c:a pcm_s16le -f wav"));
}

// A copy of a file under another name, in the test's scratch folder.
QString CopyAs(const QString& from, const QString& name) {
    const fs::path to = fs::path(test::Scratch("window")) / name.toStdString();
    fs::create_directories(to.parent_path());
    fs::copy_file(from.toStdString(), to, fs::copy_options::overwrite_existing);
    return QString::fromStdString(to.string());
}

// The position heard, in seconds, after each 5 ms of the test device's clock for the given
// time.
std::vector<double> HeardPositions(HSTREAM h, int milliseconds) {
    std::vector<double> heard;
    for (int t = 0; t < milliseconds; t += 5) {
        if (!test::Advance(5)) return {};
        heard.push_back(BASS_ChannelBytes2Seconds(h, BASS_ChannelGetPosition(h, BASS_POS_BYTE)));
    }
    return heard;
}

// Captions wider than their places, or running over a neighbour, in a window as the skin
// paints it.
QStringList CaptionsOutOfPlace(QWidget* window) {
    QStringList found;
    window->ensurePolished();
    for (QWidget* widget : window->findChildren<QWidget*>()) {
        widget->ensurePolished();
        int needed = 0;
        if (auto* label = qobject_cast<QLabel*>(widget)) {
            if (label->text().isEmpty()) continue;
            needed = label->fontMetrics()
                         .boundingRect(QRect(0, 0, 4000, 4000), Qt::AlignLeft, label->text())
                         .width();
        } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
            if (button->text().isEmpty()) continue;
            needed = button->sizeHint().width();
        } else {
            continue;
        }
        const QString name = widget->objectName();
        if (needed > widget->width())
            found
                << QString("%1 needs %2 px and has %3").arg(name).arg(needed).arg(widget->width());
        const QRect ink(widget->pos(), QSize(std::max(needed, widget->width()), widget->height()));
        for (QWidget* other :
             widget->parentWidget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            if (other != widget && !other->objectName().isEmpty() &&
                ink.intersects(other->geometry()))
                found << QString("%1 runs over %2").arg(name, other->objectName());
        }
    }
    return found;
}

}  // namespace

class WindowTest : public QObject {
    Q_OBJECT

  private:
    Recorder rec;
    std::unique_ptr<Tfrmmain> w;

    void Open(const QString& file) {
        rec.nextFile = file;
        w->btnselectClick();
        w->WaitForOpening();
    }

  private slots:
    void init() {
        rec = Recorder();
        w = std::make_unique<Tfrmmain>(rec.MakeShell());
        QVERIFY(w->FormCreate());
    }
    void cleanup() { w.reset(); }

    void startState_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<QRect>("place");         // width or height -1: sized to its text
        QTest::addColumn<QVariantList>("extra");  // minimum, maximum, value / checked
        auto row = [](const char* name, const char* text, bool enabled, QRect place,
                      QVariantList extra = {}) {
            QTest::newRow(name) << QString(name) << QString(text) << enabled << place << extra;
        };
        row("sLabel1", "Input File:", true, {16, 16, -1, -1});
        row("sEdit1", "", true, {71, 13, 362, 21});
        row("btnselect", "Select File", true, {439, 13, 89, 22});
        row("sLabelFX1",
            "Left Click:Set Start time;Right Click:Set End time;Middle Click:Set Position", true,
            {3, 40, 530, 27});
        row("PB", "", false, {8, 70, 520, 148});
        row("btnplay", "", true, {7, 229, 33, 33});
        row("btnpause", "", true, {46, 229, 33, 33});
        row("btnstop", "", true, {85, 229, 33, 33});
        row("sGroupBox1", "", true, {127, 223, 402, 39});
        row("sLabel6", "Start time:", true, {17, 16, -1, -1});
        row("sedit", "0", true, {74, 13, 50, 21}, {0, 0, 0});
        row("sLabel7", "End time:", true, {143, 16, -1, -1});
        row("eedit", "0", true, {197, 13, 50, 21}, {0, 0, 0});
        row("sLabel8", "Select Lenth:", true, {265, 16, -1, -1});
        row("lengthedit", "0 sec", true, {334, 13, 50, 21});
        row("loopcheck", "Loop play select part", true, {7, 267, -1, -1}, {false});
        row("checkgain", "Gain", true, {154, 267, -1, -1}, {false});
        row("gaintrack", "", true, {230, 264, 120, 23}, {-12, 12, 0});
        row("fadeincheck", "Fade In", true, {8, 293, -1, -1}, {true});
        row("spinfadein", "5", true, {91, 293, 30, 21}, {1, 10, 5});
        row("sLabel2", "Sec", true, {127, 296, -1, -1});
        row("fadeoutcheck", "Fade Out", true, {8, 320, -1, -1}, {false});
        row("spinfadeout", "5", true, {91, 320, 30, 21}, {1, 10, 5});
        row("sLabel3", "Sec", true, {127, 323, -1, -1});
        row("chighpass", "High Pass", true, {154, 293, -1, -1}, {false});
        row("barhighcut", "", true, {230, 293, 120, 23}, {0, 10000, 5000});
        row("clowpass", "Low Pass", true, {154, 320, -1, -1}, {false});
        row("barlowcut", "", true, {230, 320, 120, 23}, {0, 10000, 5000});
        row("sLabel9", "OutFile:", true, {11, 344, -1, -1});
        row("outedit", "", true, {8, 360, 233, 21});
        row("sButton1", "Set Outfile Name", true, {252, 358, 89, 25});
        row("sGroupBox2", "", true, {356, 263, 173, 149});
        row("tagcheck", "Write Tag Information", true, {4, 1, -1, -1}, {false});
        row("titedit", "", false, {46, 23, 120, 21});
        row("artedit", "", false, {46, 47, 120, 21});
        row("albedit", "", false, {46, 72, 120, 21});
        row("genedit", "", false, {46, 97, 120, 21});
        row("yearedit", "", false, {46, 122, 120, 21});
        row("onebar", "0%", true, {8, 388, 233, 25}, {0, 100, 0});
        row("btnconvert", "Get\nRingtone", false, {253, 390, 89, 49});
        row("autocheck", "Automatically open output folder", true, {8, 419, -1, -1}, {false});
        row("btnhelp", "Help", true, {355, 414, 55, 25});
        row("btnabout", "About", true, {474, 414, 55, 25});
    }

    void startState() {
        QFETCH(QString, name);
        QFETCH(QString, text);
        QFETCH(bool, enabled);
        QFETCH(QRect, place);
        QFETCH(QVariantList, extra);
        auto* widget = w->findChild<QWidget*>(name);
        QVERIFY2(widget != nullptr, qPrintable(name));
        QCOMPARE(widget->isEnabled(), enabled);
        QCOMPARE(widget->pos(), place.topLeft());
        if (place.width() > 0) QCOMPARE(widget->size(), place.size());
        if (auto* label = qobject_cast<QLabel*>(widget)) QCOMPARE(label->text(), text);
        if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
            QCOMPARE(button->text(), text);
            if (extra.size() == 1) QCOMPARE(button->isChecked(), extra[0].toBool());
        }
        if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
            if (name != "outedit") QCOMPARE(edit->text(), text);
        }
        if (auto* spin = qobject_cast<QSpinBox*>(widget)) {
            QCOMPARE(spin->text(), text);
            QCOMPARE(QVariantList({spin->minimum(), spin->maximum(), spin->value()}), extra);
            QVERIFY(spin->findChild<QLineEdit*>()->isReadOnly());
        }
        if (auto* slider = qobject_cast<QSlider*>(widget)) {
            QCOMPARE(QVariantList({slider->minimum(), slider->maximum(), slider->value()}), extra);
            QCOMPARE(slider->tickPosition(), QSlider::NoTicks);
            QCOMPARE(slider->toolTip(), QString());  // no hint until the first change
        }
        if (auto* bar = qobject_cast<QProgressBar*>(widget)) {
            QCOMPARE(QVariantList({bar->minimum(), bar->maximum(), bar->value()}), extra);
            QCOMPARE(bar->text(), text);
        }
    }

    void windowItself() {
        QCOMPARE(w->objectName(), QString("frmmain"));
        QCOMPARE(w->windowTitle(), QString("Vantor Chimewright"));
        QCOMPARE(w->size(), QSize(537, 447));
        QCOMPARE(w->minimumSize(), w->maximumSize());
        QVERIFY(!(w->windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(w->windowFlags() & Qt::WindowMinimizeButtonHint);
        QCOMPARE(QString(Application::kTitle), QString("Pellow Chimewright"));
        QCOMPARE(w->btnplay->toolTip(), QString("Play"));
        QCOMPARE(w->btnpause->toolTip(), QString("Pause"));
        QCOMPARE(w->btnstop->toolTip(), QString("Stop"));
        for (const QIcon& icon : w->sAlphaImageList1)
            QVERIFY(!icon.isNull());
        QVERIFY(!w->PB->BackBitmap.isNull());
        QCOMPARE(w->PB->BackBitmap.size(), QSize(520, 148));
    }

    void captionsFitTheirPlaces() {
        const QStringList main = CaptionsOutOfPlace(w.get());
        QVERIFY2(main.isEmpty(), qPrintable(main.join("; ")));
        Tfrmabout about(w.get(), [](const QUrl&) {});
        const QStringList aboutWindow = CaptionsOutOfPlace(&about);
        QVERIFY2(aboutWindow.isEmpty(), qPrintable(aboutWindow.join("; ")));
    }

    void folderRoutines() {
        QCOMPARE(AdjustTrailingBackslash("", true), std::string());
        QCOMPARE(AdjustTrailingBackslash("/a", true), std::string("/a/"));
        QCOMPARE(AdjustTrailingBackslash("/a/", true), std::string("/a/"));
        QCOMPARE(AdjustTrailingBackslash("/a//", false), std::string("/a/"));
        QCOMPARE(AdjustTrailingBackslash("/a", false), std::string("/a"));
        QCOMPARE(TakeLeadingFolders(0, "a/b/"), std::string("a/"));
        QCOMPARE(TakeLeadingFolders(1, "a/b/"), std::string("a/b/"));
        QCOMPARE(TakeLeadingFolders(2, "a/b/"), std::string());
        for (int level : {0, 1, 2})
            QCOMPARE(TakeLeadingFolders(level, "abc"), std::string());

        const fs::path root = test::Scratch("force");
        fs::remove_all(root);
        fs::create_directories(root);
        const std::string deep = (root / "x" / "y" / "z").string();
        QVERIFY(ForceFolders(deep));
        QVERIFY(fs::is_directory(deep));
        QVERIFY(ForceFolders(deep + "/"));  // all there: nothing to do
        QVERIFY(!ForceFolders("/"));        // a bare root: nothing to create
        QVERIFY(!ForceFolders("relative/folder"));
        QVERIFY(!fs::exists("relative"));
        // A file in the way stops the creation there; the levels above stay.
        std::ofstream(root / "file") << "x";
        QVERIFY(!ForceFolders((root / "file" / "below").string()));
        QVERIFY(fs::is_directory(root));
    }

    void startUpMakesFoldersAndTheDefaultOutput() {
        const QString docs = QDir::homePath() + "/Documents";
        QCOMPARE(QString::fromStdString(w->DataFolder), docs + "/Corvane/Chimewright/");
        QCOMPARE(QString::fromStdString(w->OutputFolder), docs + "/Corvane/Chimewright/output/");
        QVERIFY(QDir(QString::fromStdString(w->OutputFolder)).exists());
        const QString output = docs + "/Corvane/Chimewright/output/Vantor.m4r";
        QCOMPARE(w->outedit->text(), output);
        QCOMPARE(w->outedit->toolTip(), output);
        QVERIFY(w->outedit->isReadOnly());
        QCOMPARE(QString::fromStdString(w->ExeFolder),
                 QCoreApplication::applicationDirPath() + "/");
        QCOMPARE(w->Timer1->interval(), 33);
        QVERIFY(!w->Timer1->isActive());
        QCOMPARE(w->SelStart.load(), Tfrmmain::kNotSet);
        QCOMPARE(w->SelEnd.load(), Tfrmmain::kNotSet);
        for (int i = 0; i < Tfrmmain::kColumns; ++i)
            QCOMPARE(w->Levels().Left(i), int16_t{0});
        QCOMPARE(w->Levels().ColumnsDone(), 0);
        QVERIFY(BASS_IsSilentDevice());  // the engine runs
        QCOMPARE(w->BytesPerColumn.load(), 0u);
    }

    void shutdownStopsTheTimerAndFreesTheEngine() {
        Open(Wav("w44-6.wav", 44100, 2, 6));
        const HSTREAM h = w->PreviewStream;
        QCOMPARE(BASS_ChannelIsActive(h), BASS_ACTIVE_PLAYING);
        QVERIFY(w->Timer1->isActive());
        w->FormDestroy();
        QVERIFY(!w->Timer1->isActive());
        QVERIFY(w->Scan().Closing());
        QVERIFY(!w->Scan().Running());
        QCOMPARE(w->BytesPerColumn, 0u);
        QCOMPARE(BASS_ChannelIsActive(h), DWORD{BASS_ACTIVE_STOPPED});
        QCOMPARE(BASS_ChannelGetLength(h, BASS_POS_BYTE), QWORD{-1});
        w->FormDestroy();  // once only, also when the window goes
    }

    void versionCheck_data() {
        QTest::addColumn<uint>("version");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("2.4.0.0") << 0x02040000u << true;
        QTest::newRow("2.4.17.3") << 0x02041103u << true;
        QTest::newRow("2.3") << 0x02030000u << false;
        QTest::newRow("2.5") << 0x02050000u << false;
    }

    void versionCheck() {
        QFETCH(uint, version);
        QFETCH(bool, accepted);
        w.reset();
        rec = Recorder();
        Tfrmmain fresh(rec.MakeShell());
        QCOMPARE(fresh.FormCreate(version), accepted);
        if (accepted) {
            QVERIFY(rec.fatal.isEmpty());
            return;
        }
        QCOMPARE(rec.fatal, QStringList{"An incorrect version of BASS.DLL was loaded"});
        // Nothing after the check ran: no pictures, no engine.
        QVERIFY(fresh.PB->BackBitmap.isNull());
        QVERIFY(!BASS_IsSilentDevice());
        QVERIFY(!fresh.outedit->text().isEmpty());  // the steps before it did run
    }

    void openByDialog() {
        const QString file = Wav("w44.wav", 44100, 2, 2.5);
        rec.nextFile.clear();
        w->btnselectClick();  // cancelled: nothing changes
        QCOMPARE(w->sEdit1->text(), QString());
        QCOMPARE(w->PreviewStream, 0u);
        Open(file);
        QCOMPARE(w->sEdit1->text(), file);
        QVERIFY(w->PreviewStream != 0);
        QCOMPARE(BASS_ChannelIsActive(w->PreviewStream), BASS_ACTIVE_PLAYING);
        QVERIFY(w->PB->isEnabled());
        QVERIFY(w->Timer1->isActive());
        QCOMPARE(w->sedit->maximum(), 2);
        QCOMPARE(w->eedit->maximum(), 2);
        QCOMPARE(w->sedit->value(), 0);
        QCOMPARE(w->lengthedit->text(), QString("0 Sec"));
        QCOMPARE(w->PreviewEffects.Format().Bits, 16);
        QCOMPARE(w->PreviewEffects.Format().Rate, 44100);
        QCOMPARE(w->PreviewEffects.Format().Channels, 2);
        // A second opening frees the first stream.
        const HSTREAM first = w->PreviewStream;
        Open(Wav("w44b.wav", 44100, 1, 1.5));
        QVERIFY(w->PreviewStream != first);
        QVERIFY(!BASS_ChannelIsActive(first));
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
    }

    void dropList_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("taken");
        const QString wav = Wav("w44.wav", 44100, 2, 2.5);
        const std::pair<const char*, bool> rows[] = {
            {"song.mp3", true},  {"song.MP3", true},  {"song.Wav", true},   {"song.aiff", true},
            {"song.fla", true},  {"song.mpp", true},  {"song.mp+", true},   {"song.m4b", true},
            {"song.umx", true},  {"song.aif", false}, {"song.alac", false}, {"song.mo3", false},
            {"song.m4r", false}, {"song", false},
        };
        for (const auto& [n, taken] : rows)
            QTest::newRow(n) << CopyAs(wav, n) << taken;
    }

    void dropList() {
        QFETCH(QString, name);
        QFETCH(bool, taken);
        const QString playing = Wav("w22.wav", 22050, 2, 2.5);
        Open(playing);
        const HSTREAM before = w->PreviewStream;
        w->audiodropDrop({name});
        w->WaitForOpening();
        if (taken) {
            QCOMPARE(w->sEdit1->text(), name);
            QVERIFY(w->PreviewStream != before);
            // A WAV file under any of these names still decodes.
            QCOMPARE(BASS_ChannelIsActive(w->PreviewStream), BASS_ACTIVE_PLAYING);
        } else {
            // Refused: the playing file is left alone.
            QCOMPARE(w->sEdit1->text(), playing);
            QCOMPARE(w->PreviewStream, before);
            QCOMPARE(BASS_ChannelIsActive(before), BASS_ACTIVE_PLAYING);
        }
    }

    void dropTakesTheFirstNameOnly() {
        const QString wav = Wav("w44.wav", 44100, 2, 2.5);
        const QString good = CopyAs(wav, "good.mp3");
        const QString refused = CopyAs(wav, "refused.aif");
        w->audiodropDrop({refused, good});
        w->WaitForOpening();
        QCOMPARE(w->sEdit1->text(), QString());
        QCOMPARE(w->PreviewStream, 0u);
        w->audiodropDrop({good, refused});
        w->WaitForOpening();
        QCOMPARE(w->sEdit1->text(), good);
        QVERIFY(w->PreviewStream != 0);

        // A real drop on the input field.
        const QString other = CopyAs(wav, "dropped.wav");
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(other), QUrl::fromLocalFile(good)});
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(w->sEdit1, &enter);
        QVERIFY(enter.isAccepted());
        // Shift proposes a move; the drop is taken as a copy so the source keeps its file.
        QDropEvent drop(QPointF(5, 5), Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton,
                        Qt::ShiftModifier);
        drop.setDropAction(Qt::MoveAction);
        QCoreApplication::sendEvent(w->sEdit1, &drop);
        QCOMPARE(w->sEdit1->text(), other);
        QVERIFY(drop.isAccepted());
        QCOMPARE(drop.dropAction(), Qt::CopyAction);
        // Plain text is not a file: refused.
        QMimeData text;
        text.setText("hello");
        QDragEnterEvent textEnter(QPoint(5, 5), Qt::CopyAction, &text, Qt::LeftButton,
                                  Qt::NoModifier);
        QCoreApplication::sendEvent(w->sEdit1, &textEnter);
        QVERIFY(!textEnter.isAccepted());
    }

    void commandLineTakesAnyExtension() {
        const QString aif = CopyAs(Wav("w44.wav", 44100, 2, 2.5), "named.aif");
        w->OpenNamed(aif);
        QVERIFY(w->WaitForOpening());
        QCOMPARE(w->sEdit1->text(), aif);
        QCOMPARE(BASS_ChannelIsActive(w->PreviewStream), BASS_ACTIVE_PLAYING);
    }

    void sliderRanges_data() {
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("highMax");
        QTest::addColumn<int>("highPos");
        QTest::addColumn<int>("lowPos");
        QTest::newRow("44100") << 44100 << 22050 << 11025 << 22050;
        QTest::newRow("22050") << 22050 << 11025 << 5512 << 11025;
        QTest::newRow("48000") << 48000 << 24000 << 12000 << 24000;
    }

    void sliderRanges() {
        QFETCH(int, rate);
        QFETCH(int, highMax);
        QFETCH(int, highPos);
        QFETCH(int, lowPos);
        Open(Wav("r" + std::to_string(rate) + ".wav", rate, 2, 1.5));
        QCOMPARE(w->barhighcut->minimum(), 0);
        QCOMPARE(w->barhighcut->maximum(), highMax);
        QCOMPARE(w->barhighcut->value(), highPos);
        QCOMPARE(w->barlowcut->maximum(), highMax);
        QCOMPARE(w->barlowcut->value(), lowPos);
        QCOMPARE(w->barhighcut->toolTip(), QString::number(highPos) + " Hz");
        // A second file of the same rate moves no slider: no change handler runs.
        QSignalSpy high(w->barhighcut, &QSlider::valueChanged);
        QSignalSpy low(w->barlowcut, &QSlider::valueChanged);
        Open(CopyAs(Wav("r" + std::to_string(rate) + ".wav", rate, 2, 1.5), "again.wav"));
        QVERIFY(w->PreviewStream != 0);
        QCOMPARE(high.count(), 0);
        QCOMPARE(low.count(), 0);
    }

    void spinMaximaAndColumnScale_data() {
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("channels");
        QTest::addColumn<double>("seconds");
        QTest::addColumn<int>("maximum");
        QTest::addColumn<uint>("bytesPerColumn");
        // Below 10.4 s the 0.02 s floor holds: 0.02 s of 44.1 kHz stereo is 3528 bytes.
        QTest::newRow("2.5 s") << 44100 << 2 << 2.5 << 2 << 3528u;
        QTest::newRow("0.6 s") << 44100 << 2 << 0.6 << 0 << 3528u;
        QTest::newRow("10.3 s") << 8000 << 1 << 10.3 << 10 << 320u;
        // 30 s of 8 kHz mono: 480000 bytes over 520 columns.
        QTest::newRow("30 s") << 8000 << 1 << 30.0 << 30 << 923u;
        QTest::newRow("11 s") << 8000 << 1 << 11.0 << 11 << 338u;
    }

    void spinMaximaAndColumnScale() {
        QFETCH(int, rate);
        QFETCH(int, channels);
        QFETCH(double, seconds);
        QFETCH(int, maximum);
        QFETCH(uint, bytesPerColumn);
        Open(Wav("s" + std::to_string(rate) + "-" + std::to_string(channels) + "-" +
                     std::to_string(seconds) + ".wav",
                 rate, channels, seconds));
        QVERIFY(w->PreviewStream != 0);
        QCOMPARE(w->sedit->maximum(), maximum);
        QCOMPARE(w->eedit->maximum(), maximum);
        QCOMPARE(w->BytesPerColumn.load(), bytesPerColumn);
    }

    void aSongThatCannotOpenIsReported_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("reason");
        const fs::path folder = test::Scratch("unopenable");
        fs::create_directories(folder / "a folder.mp3");
        std::ofstream(folder / "empty.mp3").close();
        std::ofstream(folder / "text.mp3") << "no sound in here";
        auto row = [&folder](const char* tag, const char* file, const char* reason) {
            QTest::newRow(tag) << QString::fromStdString((folder / file).string()) << reason;
        };
        row("missing", "no such file.mp3", "there is no such file");
        row("a folder", "a folder.mp3", "it is a folder");
        row("empty", "empty.mp3", "the file is empty");
        row("not a sound file", "text.mp3", "not a sound file that Chimewright can read");
    }
    void aSongThatCannotOpenIsReported() {
        QFETCH(QString, name);
        QFETCH(QString, reason);
        Open(Wav("w44.wav", 44100, 2, 2.5));
        const HSTREAM before = w->PreviewStream;
        Open(name);
        // One box that names the file and says why; the window has no song, as at start.
        QCOMPARE(rec.errors.size(), 1);
        QVERIFY2(rec.errors[0].contains(name) && rec.errors[0].contains(reason),
                 qPrintable(rec.errors[0]));
        QCOMPARE(w->sEdit1->text(), QString());
        QCOMPARE(w->PreviewStream, 0u);
        QCOMPARE(BASS_ChannelIsActive(before), BASS_ACTIVE_STOPPED);
        QVERIFY(!w->PB->isEnabled());
        QVERIFY(!w->Timer1->isActive());
        QCOMPARE(w->BytesPerColumn.load(), 0u);  // the box shows its background
        QCOMPARE(w->sedit->maximum(), 0);
        QVERIFY(!w->btnconvert->isEnabled());
        // Points set while nothing is open do not carry over to the next file.
        w->PBMouseDown(Qt::LeftButton, 300);
        w->PBMouseUp();
        Open(Wav("w44.wav", 44100, 2, 2.5));
        QCOMPARE(w->SelStart.load(), Tfrmmain::kNotSet);
        QCOMPARE(w->SelEnd.load(), Tfrmmain::kNotSet);
    }

    // The window stays alive while a song opens: its events run, Play waits for the song.
    void openingRunsOffTheWindowsThread() {
        const QString song = Wav("w44-120.wav", 44100, 2, 120);
        rec.nextFile = song;
        w->btnselectClick();
        // The opening has begun and the window's own work goes on.
        QVERIFY(w->Opening());
        QCOMPARE(w->PreviewStream, 0u);
        w->btnplayClick();
        QCOMPARE(rec.dialogs, 1);  // Play asks for no other song meanwhile
        QVERIFY(w->WaitForOpening());
        QCOMPARE(BASS_ChannelGetLength(w->PreviewStream, BASS_POS_BYTE), QWORD{120} * 44100 * 4);
        QCOMPARE(BASS_ChannelIsActive(w->PreviewStream), BASS_ACTIVE_PLAYING);
        // A second song asked for while the first opens is the one that opens.
        rec.nextFile = song;
        w->btnselectClick();
        Open(Wav("w22.wav", 22050, 2, 2.5));
        QCOMPARE(w->sEdit1->text(), Wav("w22.wav", 22050, 2, 2.5));
        QCOMPARE(w->eedit->maximum(), 2);
        QVERIFY(rec.errors.isEmpty());
    }

    void nonAsciiNamesOpenAndPlay() {
        const QString name = CopyAs(Wav("w44.wav", 44100, 2, 2.5),
                                    QString::fromUtf8("Grüße \"aus\" 'Köln' – ünï.wav"));
        Open(name);
        QCOMPARE(w->sEdit1->text(), name);
        QVERIFY(w->PreviewStream != 0);
        QVERIFY(test::Advance(50));
        QCOMPARE(BASS_ChannelGetPosition(w->PreviewStream, BASS_POS_BYTE),
                 BASS_ChannelSeconds2Bytes(w->PreviewStream, 0.05));
    }

    void playWithoutAFileOffersTheDialog() {
        int asked = 0;
        w.reset();
        rec = Recorder();
        Shell shell = rec.MakeShell();
        shell.chooseAudioFile = [&asked] {
            ++asked;
            return QString();
        };
        w = std::make_unique<Tfrmmain>(shell);
        QVERIFY(w->FormCreate());
        w->btnplay->click();
        QCOMPARE(asked, 1);
        QCOMPARE(w->PreviewStream, 0u);
        w->btnpause->click();  // no stream: nothing happens
        w->btnstop->click();
    }

    void stopPlaysFromTheStartPauseFromWhereItWas() {
        Open(Wav("w44-6.wav", 44100, 2, 6));
        const HSTREAM h = w->PreviewStream;
        auto seconds = [h] {
            return BASS_ChannelBytes2Seconds(h, BASS_ChannelGetPosition(h, BASS_POS_BYTE));
        };
        QVERIFY(test::Advance(300));
        w->PB->PlayColumn = 77;
        w->btnstop->click();
        QCOMPARE(BASS_ChannelIsActive(h), BASS_ACTIVE_STOPPED);
        QCOMPARE(seconds(), 0.0);
        QCOMPARE(w->PB->PlayColumn, 0);
        w->btnplay->click();
        QCOMPARE(BASS_ChannelIsActive(h), BASS_ACTIVE_PLAYING);
        QCOMPARE(seconds(), 0.0);
        QVERIFY(test::Advance(300));
        w->btnpause->click();
        QCOMPARE(BASS_ChannelIsActive(h), BASS_ACTIVE_PAUSED);
        QCOMPARE(seconds(), 0.3);
        QVERIFY(test::Advance(200));
        QCOMPARE(seconds(), 0.3);
        w->btnplay->click();
        QCOMPARE(BASS_ChannelIsActive(h), BASS_ACTIVE_PLAYING);
        QVERIFY(test::Advance(100));
        QCOMPARE(seconds(), 0.4);
        // Play while playing changes nothing; the space bar pauses and plays.
        w->btnplay->click();
        QCOMPARE(BASS_ChannelIsActive(h), BASS_ACTIVE_PLAYING);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        w->btnhelp->setFocus();
        QTest::keyClick(w->btnhelp, Qt::Key_Space);
        QCOMPARE(BASS_ChannelIsActive(h), BASS_ACTIVE_PAUSED);
        QVERIFY2(rec.opened.isEmpty(), "the space bar must not click the focused button");
        QTest::keyClick(w->btnhelp, Qt::Key_Space);
        QCOMPARE(BASS_ChannelIsActive(h), BASS_ACTIVE_PLAYING);
        // A click on a check box leaves the space bar to the player; a box reached with Tab
        // takes it.
        QTest::mouseClick(w->loopcheck, Qt::LeftButton);
        QVERIFY(w->loopcheck->isChecked());
        QVERIFY(w->btnhelp->hasFocus());
        QTest::keyClick(w->btnhelp, Qt::Key_Space);
        QCOMPARE(BASS_ChannelIsActive(h), BASS_ACTIVE_PAUSED);
        QVERIFY(w->loopcheck->isChecked());
        w->loopcheck->setFocus(Qt::TabFocusReason);
        QVERIFY(w->loopcheck->hasFocus());
        QTest::keyClick(w->loopcheck, Qt::Key_Space);
        QVERIFY(!w->loopcheck->isChecked());
        QCOMPARE(BASS_ChannelIsActive(h), BASS_ACTIVE_PAUSED);
        w->btnplay->click();
        // In a text field a space is a space.
        w->tagcheck->click();
        w->titedit->setEnabled(true);
        w->titedit->setFocus();
        QTest::keyClicks(w->titedit, "a b");
        QCOMPARE(w->titedit->text(), QString("a b"));
        QCOMPARE(BASS_ChannelIsActive(h), BASS_ACTIVE_PLAYING);
    }

    void theSpaceBarBeforeASongOpensTheDialog() {
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        QWidget* focused = QApplication::focusWidget();
        QVERIFY(focused != nullptr);
        // Whatever has the focus at start (the read-only input field), and a button.
        for (QWidget* target : {focused, static_cast<QWidget*>(w->btnhelp)}) {
            target->setFocus();
            const int before = rec.dialogs;
            QTest::keyClick(target, Qt::Key_Space);
            QCOMPARE(rec.dialogs, before + 1);
        }
        // After a song that would not open, too.
        rec.nextFile = test::Scratch("not a song.mp3").c_str();
        std::ofstream(rec.nextFile.toStdString()) << "no sound in here";
        w->btnselectClick();
        QVERIFY(!w->WaitForOpening());
        rec.nextFile.clear();
        const int before = rec.dialogs;
        QTest::keyClick(w->btnhelp, Qt::Key_Space);
        QCOMPARE(rec.dialogs, before + 1);
        QVERIFY(rec.opened.isEmpty());
    }

    void mouseOnTheWaveform() {
        Open(Wav("w8k-30.wav", 8000, 1, 30));
        const uint perColumn = w->BytesPerColumn;
        QCOMPARE(perColumn, 923u);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        QTest::mouseClick(w->PB, Qt::LeftButton, {}, QPoint(100, 50));
        QCOMPARE(w->SelStart.load(), int64_t{100} * perColumn);
        QCOMPARE(w->sedit->value(), 100 * 923 / 16000);
        QTest::mouseClick(w->PB, Qt::RightButton, {}, QPoint(400, 50));
        QCOMPARE(w->SelEnd.load(), int64_t{400} * perColumn);
        QCOMPARE(w->eedit->value(), 400 * 923 / 16000);
        QCOMPARE(w->lengthedit->text(), QString("17 sec"));
        QVERIFY(w->btnconvert->isEnabled());
        // A click at column 0 sets the start to the very beginning.
        QTest::mouseClick(w->PB, Qt::LeftButton, {}, QPoint(0, 50));
        QCOMPARE(w->SelStart.load(), int64_t{0});
        QCOMPARE(w->sedit->value(), 0);
        // Middle: the play position.
        QTest::mouseClick(w->PB, Qt::MiddleButton, {}, QPoint(260, 50));
        const QWORD heard = BASS_ChannelGetPosition(w->PreviewStream, BASS_POS_BYTE);
        QVERIFY(heard >= QWORD{260} * perColumn && heard < QWORD{260} * perColumn + 1600);
        // A drag of the start past the end, then out of the box: clamped to the last column.
        QTest::mousePress(w->PB, Qt::LeftButton, {}, QPoint(300, 50));
        QMouseEvent move(QEvent::MouseMove, QPointF(700, 50), w->PB->mapToGlobal(QPointF(700, 50)),
                         Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(w->PB, &move);
        QCOMPARE(w->SelStart.load(), int64_t{400} * perColumn);
        QCOMPARE(w->SelEnd.load(), int64_t{519} * perColumn);
        QCOMPARE(w->pointer.DragMode, DragModes::Start);
        QTest::mouseRelease(w->PB, Qt::LeftButton, {}, QPoint(700, 50));
        QCOMPARE(w->pointer.DragMode, DragModes::None);
    }

    void spinBoxesStepByWholeSecondsAndTakeNoTyping() {
        Open(Wav("w8k-30.wav", 8000, 1, 30));
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        QCOMPARE(w->sedit->maximum(), 30);
        // Not set yet: the box shows 0, and a step up sets the start to 1 s.
        w->sedit->stepBy(1);
        QCOMPARE(w->SelStart.load(), int64_t{16000});
        w->SelStart = 12 * 16000 + 11200;  // 12.7 s
        w->selection.SetSelectionStart(w->SelStart);
        QCOMPARE(w->sedit->value(), 12);
        w->sedit->setFocus();
        QTest::keyClick(w->sedit, Qt::Key_Up);
        QCOMPARE(w->SelStart.load(), int64_t{13} * 16000);
        QTest::keyClick(w->sedit, Qt::Key_Down);
        QTest::keyClick(w->sedit, Qt::Key_Down);
        QCOMPARE(w->SelStart.load(), int64_t{11} * 16000);
        // The wheel runs the same handlers.
        QWheelEvent wheel(QPointF(10, 10), w->sedit->mapToGlobal(QPointF(10, 10)), QPoint(),
                          QPoint(0, 120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(w->sedit, &wheel);
        QCOMPARE(w->SelStart.load(), int64_t{12} * 16000);
        // A click on an arrow steps once; held down, it repeats after 400 ms, then every 100 ms.
        const QPoint upArrow(w->sedit->width() - 4, 4);
        QTest::mouseClick(w->sedit, Qt::LeftButton, {}, upArrow);
        QCOMPARE(w->SelStart.load(), int64_t{13} * 16000);
        const QStyle* style = w->sedit->style();
        QCOMPARE(style->styleHint(QStyle::SH_SpinBox_ClickAutoRepeatThreshold, nullptr, w->sedit),
                 400);
        QCOMPARE(style->styleHint(QStyle::SH_SpinBox_ClickAutoRepeatRate, nullptr, w->sedit), 100);
        QTest::mousePress(w->sedit, Qt::LeftButton, {}, upArrow);
        QTest::qWait(1000);
        QTest::mouseRelease(w->sedit, Qt::LeftButton, {}, upArrow);
        const int64_t held = w->SelStart.load() / 16000 - 13;
        QVERIFY2(held >= 3 && held <= 9, qPrintable(QString::number(held)));
        w->selection.SetSelectionStart(12 * 16000);
        // Typing changes nothing.
        QTest::keyClicks(w->sedit, "7");
        QCOMPARE(w->sedit->value(), 12);
        QCOMPARE(w->SelStart.load(), int64_t{12} * 16000);
        // Down from 1 s reaches 0 s; from 0 nothing more; at the maximum up does nothing.
        w->selection.SetSelectionStart(16000);
        w->seditDownClick();
        QCOMPARE(w->SelStart.load(), int64_t{0});
        QCOMPARE(w->sedit->value(), 0);
        w->seditDownClick();
        QCOMPARE(w->SelStart.load(), int64_t{0});
        w->selection.SetSelectionEnd(30 * 16000);
        QCOMPARE(w->eedit->value(), 30);
        w->eeditUpClick();
        QCOMPARE(w->SelEnd.load(), int64_t{30} * 16000);
        w->eeditDownClick();
        QCOMPARE(w->SelEnd.load(), int64_t{29} * 16000);
    }

    void loopingPlaysTheSelectionOverAndOver() {
        Open(Wav("w44-6.wav", 44100, 2, 6));
        const HSTREAM h = w->PreviewStream;
        w->loopcheck->click();
        w->selection.SetSelectionStart(BASS_ChannelSeconds2Bytes(h, 2.0));
        w->selection.SetSelectionEnd(BASS_ChannelSeconds2Bytes(h, 2.5));
        BASS_ChannelSetPosition(h, BASS_ChannelSeconds2Bytes(h, 2.3), BASS_POS_BYTE);
        double highest = 0;
        double lowest = 10;
        int wraps = 0;
        double last = 2.3;
        for (double at : HeardPositions(h, 1300)) {
            if (at < last) ++wraps;
            highest = std::max(highest, at);
            lowest = std::min(lowest, at);
            last = at;
        }
        // From 2.3 s the end is heard after 0.2 s, then every 0.5 s.
        QCOMPARE(wraps, 3);
        QVERIFY(highest < 2.5);
        QVERIFY(lowest >= 2.0);
        // Off: playback runs on past the end point.
        w->loopcheck->click();
        QVERIFY(test::Advance(700));
        QVERIFY(BASS_ChannelBytes2Seconds(h, BASS_ChannelGetPosition(h, BASS_POS_BYTE)) > 2.6);
    }

    // The end sync that opening sets loops from the end of the file when no end is set.
    void loopingWithoutAnEndGoesBackFromTheEndOfTheFile() {
        Open(Wav("w44-2.wav", 44100, 2, 2));
        const HSTREAM h = w->PreviewStream;
        w->loopcheck->click();
        w->selection.SetSelectionStart(BASS_ChannelSeconds2Bytes(h, 0.5));
        BASS_ChannelSetPosition(h, BASS_ChannelSeconds2Bytes(h, 1.8), BASS_POS_BYTE);
        const std::vector<double> heard = HeardPositions(h, 700);
        QVERIFY(!heard.empty());
        const double lowest = *std::min_element(heard.begin(), heard.end());
        QCOMPARE(BASS_ChannelIsActive(h), BASS_ACTIVE_PLAYING);
        QVERIFY2(lowest >= 0.5 - 0.001 && lowest < 1.0, qPrintable(QString::number(lowest)));
    }

    void aboutWindowIsFreshEachTime() {
        QList<QPointer<Tfrmabout>> seen;
        for (int i = 0; i < 2; ++i) {
            QTimer::singleShot(0, this, [&seen] {
                auto* about = qobject_cast<QDialog*>(QApplication::activeModalWidget());
                auto* frm = dynamic_cast<Tfrmabout*>(about);
                QVERIFY(frm != nullptr);
                seen << frm;
                QCOMPARE(frm->windowTitle(), QString("About Vantor Chimewright"));
                QCOMPARE(frm->size(), QSize(359, 212));
                QCOMPARE(frm->sLabel1->text(), QString("Version:1.00"));
                QCOMPARE(frm->sButton1->geometry(), QRect(286, 171, 65, 25));
                QVERIFY(!frm->Image2->pixmap().isNull());
                QTest::mouseClick(frm->Label8, Qt::LeftButton);
                QTest::mouseClick(frm->Label9, Qt::LeftButton);
                QTest::mouseClick(frm->Label8, Qt::RightButton);  // opens nothing
                frm->sButton1->click();
            });
            w->btnaboutClick();
        }
        QCOMPARE(seen.size(), 2);
        // Each closed window was freed.
        QVERIFY(seen[0].isNull() && seen[1].isNull());
        QCOMPARE(rec.opened.size(), 4);
        QCOMPARE(rec.opened[0].scheme(), QString("https"));
        QCOMPARE(rec.opened[1].scheme(), QString("mailto"));
    }

    void helpOpensThePageBesideTheProgram() {
        w->btnhelpClick();
        QCOMPARE(rec.opened.size(), 1);
        QVERIFY(rec.opened[0].isLocalFile());
        const QString page = rec.opened[0].toLocalFile();
        QCOMPARE(page, QCoreApplication::applicationDirPath() + "/help.html");
        QVERIFY(QFile::exists(page));
    }

    void draggingTheFreeSurfaceMovesTheWindow_data() {
        QTest::addColumn<QPoint>("at");
        QTest::addColumn<bool>("moves");
        QTest::newRow("free surface") << QPoint(300, 350) << true;
        QTest::newRow("group box") << QPoint(250, 245) << false;
        QTest::newRow("enabled button") << QPoint(450, 20) << false;
        QTest::newRow("label") << QPoint(20, 20) << false;
        QTest::newRow("disabled waveform box") << QPoint(200, 150) << true;
        QTest::newRow("disabled export button") << QPoint(300, 420) << true;
        QTest::newRow("disabled tag field in its group") << QPoint(460, 290) << false;
    }

    // Pressed, moved and released through the window system, as a pointer would.
    void draggingTheFreeSurfaceMovesTheWindow() {
        QFETCH(QPoint, at);
        QFETCH(bool, moves);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        QWindow* window = w->windowHandle();
        QTest::mousePress(window, Qt::LeftButton, {}, at);
        QTest::mouseMove(window, at + QPoint(3, 0));
        QTest::mouseMove(window, at + QPoint(6, 1));
        QTest::mouseRelease(window, Qt::LeftButton, {}, at + QPoint(6, 1));
        // One move of the window system per press, however far the pointer goes.
        QCOMPARE(rec.moves, moves ? 1 : 0);
        // Without the button held nothing moves.
        QTest::mouseMove(window, at + QPoint(9, 2));
        QTest::mouseMove(window, QPoint(300, 350));
        QCOMPARE(rec.moves, moves ? 1 : 0);
        // The next press moves it again.
        QTest::mousePress(window, Qt::LeftButton, {}, at);
        QTest::mouseMove(window, at + QPoint(3, 0));
        QTest::mouseMove(window, at + QPoint(6, 1));
        QTest::mouseRelease(window, Qt::LeftButton, {}, at + QPoint(6, 1));
        QCOMPARE(rec.moves, moves ? 2 : 0);
    }

    void anErrorThatEscapesAHandlerIsShownAndTheProgramGoesOn() {
        static QStringList shown;
        shown.clear();
        auto* previous = Application::reportError;
        Application::reportError = [](const QString& text) { shown << text; };
        struct Throwing : QObject {
            bool event(QEvent*) override { throw std::runtime_error("it broke"); }
        } throwing;
        QEvent event(QEvent::User);
        QApplication::sendEvent(&throwing, &event);
        Application::reportError = previous;
        QCOMPARE(shown, QStringList{"it broke"});
        QVERIFY(w->isEnabled());
        // The box itself: the program's title, an error icon, the text.
        bool seen = false;
        CheckNextErrorBox(this, seen, "it broke");
        Application::reportError("it broke");
        QVERIFY(seen);
    }
};

int main(int argc, char** argv) {
    // The test device: playing songs move on only when a test moves its clock.
    return RunWindowTests<WindowTest>(argc, argv, "manual");
}

#include "window_test.moc"
