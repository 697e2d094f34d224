// The window's export: made as a user makes it (open, mark on the waveform, "Get Ringtone"),
// one at a time, cancelled by closing the window, reported when it fails; the output name,
// the tag fields and the length display.

#include <QMessageBox>
#include <QTemporaryDir>
#include <QtTest>
#include <filesystem>
#include <fstream>

#include "application.h"
#include "check.h"
#include "fixtures.h"
#include "mainwindow.h"
#include "window_testing.h"

using namespace chime;
namespace fs = std::filesystem;

namespace {

QString Song(double seconds) {
    return QString::fromStdString(
        test::Made("export-window-" + std::to_string(static_cast<int>(seconds)) + ".wav",
                   "-f lavfi -i \"" + std::string(test::kToneGraph) +
                       ":s=48000:d=" + std::to_string(seconds) + "\" -c:a pcm_s16le"));
}

fs::path EmptyFolder(const std::string& name) {
    const fs::path folder = test::Scratch("export window " + name);
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder;
}

}  // namespace

class ExportWindowTest : public QObject {
    Q_OBJECT

  private:
    QString nextFile;
    QString nextOutput;
    QStringList errors;
    QList<QUrl> opened;
    std::unique_ptr<Tfrmmain> w;

    // Opens the song and marks start and end by clicking on the waveform box.
    void OpenAndMark(const QString& song, int startColumn, int endColumn) {
        nextFile = song;
        w->btnselectClick();
        QVERIFY(w->WaitForOpening());
        QTest::mouseClick(w->PB, Qt::LeftButton, {}, QPoint(startColumn, 50));
        QTest::mouseClick(w->PB, Qt::RightButton, {}, QPoint(endColumn, 50));
        QVERIFY(w->btnconvert->isEnabled());
    }

    // Runs act every millisecond while an export runs, until the test's end.
    void WhileExporting(std::function<void()> act) {
        auto* timer = new QTimer(w.get());
        connect(timer, &QTimer::timeout, this, [this, act] {
            if (w && w->Exporting()) act();
        });
        timer->start(1);
    }

  private slots:
    void init() {
        nextFile.clear();
        nextOutput.clear();
        errors.clear();
        opened.clear();
        Shell s;
        s.chooseAudioFile = [this] { return nextFile; };
        s.chooseOutputFile = [this] { return nextOutput; };
        s.openUrl = [this](const QUrl& u) { opened << u; };
        s.startSystemMove = [] { return true; };
        s.showFatalError = [this](const QString& t) { errors << t; };
        s.showError = [this](const QString& t) { errors << t; };
        w = std::make_unique<Tfrmmain>(s);
        QVERIFY(w->FormCreate());
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    }
    void cleanup() { w.reset(); }

    void aRingtoneIsMadeAsAUserMakesIt() {
        // 60 s over 520 columns: column 53 is at 6.1 s, column 183 at 21.1 s.
        OpenAndMark(Song(60), 53, 183);
        QCOMPARE(w->sedit->value(), 6);
        QCOMPARE(w->eedit->value(), 21);
        const fs::path folder = EmptyFolder("made");
        const fs::path out = folder / "My Tone.m4r";
        w->outedit->setText(QString::fromStdString(out.string()));
        w->tagcheck->click();
        QTest::keyClicks(w->titedit, "Two \"Words\"");
        w->autocheck->click();
        QTest::mouseClick(w->btnconvert, Qt::LeftButton);
        QVERIFY2(errors.isEmpty(), qPrintable(errors.join("; ")));
        QCOMPARE(w->onebar->value(), 100);
        QVERIFY(!w->Exporting());
        RingtoneFacts facts;
        std::string error;
        QVERIFY2(ReadRingtone(out.string(), facts, error), error.c_str());
        QCOMPARE(facts.frames, int64_t{15} * 44100);
        QCOMPARE(facts.brand, std::string("M4A "));
        QCOMPARE(test::FilesIn(folder), std::vector<std::string>{"My Tone.m4r"});
        // The output's folder opened afterwards.
        QCOMPARE(opened,
                 QList<QUrl>{QUrl::fromLocalFile(QString::fromStdString(folder.string() + "/"))});
        // The preview played on all the while.
        QCOMPARE(BASS_ChannelIsActive(w->PreviewStream), BASS_ACTIVE_PLAYING);
    }

    void oneExportAtATimeAndTheWindowStaysAlive() {
        OpenAndMark(Song(60), 0, 500);
        const fs::path folder = EmptyFolder("one at a time");
        w->outedit->setText(QString::fromStdString((folder / "a.m4r").string()));
        int ticks = 0;
        bool clickedAgain = false;
        WhileExporting([&] {
            ++ticks;
            // A second click while the first export runs returns at once and starts nothing.
            if (clickedAgain) return;
            clickedAgain = true;
            w->outedit->setText(QString::fromStdString((folder / "b.m4r").string()));
            w->btnconvertClick();
            QVERIFY(w->Exporting());
        });
        w->btnconvert->click();
        QVERIFY(clickedAgain);
        QVERIFY2(ticks > 3, "the window's timers ran during the export");
        QVERIFY2(errors.isEmpty(), qPrintable(errors.join("; ")));
        QCOMPARE(test::FilesIn(folder), std::vector<std::string>{"a.m4r"});
    }

    void closingTheWindowCancelsTheExport() {
        OpenAndMark(Song(60), 0, 500);
        const fs::path folder = EmptyFolder("closed");
        std::ofstream(folder / "a.m4r") << "old";
        w->outedit->setText(QString::fromStdString((folder / "a.m4r").string()));
        bool closed = false;
        WhileExporting([&] {
            if (closed || w->onebar->value() < 10) return;
            closed = true;
            w->close();
        });
        w->btnconvert->click();
        QVERIFY(closed);
        QVERIFY(!w->Exporting());
        QVERIFY(!w->isVisible());
        QVERIFY2(errors.isEmpty(), "a cancel is not an error");
        QCOMPARE(test::FileText(folder / "a.m4r"), std::string("old"));
        QCOMPARE(test::FilesIn(folder), std::vector<std::string>{"a.m4r"});
        w.reset();  // and then it shuts down cleanly
    }

    void openingAnotherSongLetsTheExportFinish() {
        OpenAndMark(Song(60), 0, 261);  // 30.1 s
        const fs::path folder = EmptyFolder("reopened");
        w->outedit->setText(QString::fromStdString((folder / "a.m4r").string()));
        bool reopened = false;
        WhileExporting([&] {
            if (reopened) return;
            reopened = true;
            nextFile = Song(12);
            w->btnselectClick();
            QVERIFY(w->WaitForOpening());
        });
        w->btnconvert->click();
        QVERIFY(reopened);
        QVERIFY2(errors.isEmpty(), qPrintable(errors.join("; ")));
        RingtoneFacts facts;
        std::string error;
        QVERIFY2(ReadRingtone((folder / "a.m4r").string(), facts, error), error.c_str());
        QCOMPARE(facts.frames, int64_t{30} * 44100);
        QCOMPARE(w->eedit->maximum(), 12);  // the other song is open now
    }

    void aFailedExportIsReportedInAnErrorBox() {
        OpenAndMark(Song(12), 0, 400);
        const fs::path folder = EmptyFolder("failed");
        w->outedit->setText(QString::fromStdString((folder / "a.m4r").string()));
        w->encoderProgram = "/no/such/encoder";
        w->btnconvert->click();
        QCOMPARE(errors.size(), 1);
        QVERIFY2(errors[0].contains("was not found"), qPrintable(errors[0]));
        QVERIFY(test::FilesIn(folder).empty());
        // The box itself carries the program's title and an error icon.
        Shell s;
        s.chooseAudioFile = [this] { return nextFile; };
        s.showFatalError = [](const QString&) {};
        w = std::make_unique<Tfrmmain>(s);
        QVERIFY(w->FormCreate());
        OpenAndMark(Song(12), 0, 400);
        w->outedit->setText(QString::fromStdString((folder / "a.m4r").string()));
        w->encoderProgram = "/no/such/encoder";
        bool seen = false;
        CheckNextErrorBox(this, seen);
        w->btnconvert->click();
        QVERIFY(seen);
    }

    void theSaveDialogsNameGetsM4r_data() {
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<QString>("shown");
        QTest::newRow("no extension") << "/t/ring"
                                      << "/t/ring.m4r";
        QTest::newRow("mp3") << "/t/ring.mp3"
                             << "/t/ring.mp3.m4r";
        QTest::newRow("upper case") << "/t/RING.M4R"
                                    << "/t/RING.M4R";
        QTest::newRow("m4r.txt") << "/t/ring.m4r.txt"
                                 << "/t/ring.m4r.txt.m4r";
        QTest::newRow("cancelled") << ""
                                   << "unchanged";
    }
    void theSaveDialogsNameGetsM4r() {
        QFETCH(QString, chosen);
        QFETCH(QString, shown);
        const QString hint = w->outedit->toolTip();
        w->outedit->setText("unchanged");
        nextOutput = chosen;
        QTest::mouseClick(w->sButton1, Qt::LeftButton);
        QCOMPARE(w->outedit->text(), shown);
        QCOMPARE(w->outedit->toolTip(), hint);  // the hint keeps the default path
    }

    void writeTagInformationSwitchesTheFields() {
        QLineEdit* fields[] = {w->titedit, w->artedit, w->albedit, w->genedit, w->yearedit};
        for (QLineEdit* f : fields)
            QVERIFY(!f->isEnabled());
        QTest::mouseClick(w->tagcheck, Qt::LeftButton);
        for (QLineEdit* f : fields)
            QVERIFY(f->isEnabled());
        QTest::keyClicks(w->titedit, "kept");
        QTest::mouseClick(w->tagcheck, Qt::LeftButton);
        for (QLineEdit* f : fields)
            QVERIFY(!f->isEnabled());
        QCOMPARE(w->titedit->text(), QString("kept"));
    }

    void theLengthShowsItsWholeNumberAndThePhonesLimit_data() {
        QTest::addColumn<int>("seconds");
        QTest::addColumn<bool>("over");
        QTest::newRow("40 s") << 40 << false;
        QTest::newRow("41 s") << 41 << true;
        QTest::newRow("3593 s") << 3593 << true;
    }
    void theLengthShowsItsWholeNumberAndThePhonesLimit() {
        QFETCH(int, seconds);
        QFETCH(bool, over);
        OpenAndMark(Song(3600), 0, 1);
        w->selection.SetSelectionStart(0);
        w->selection.SetSelectionEnd(BASS_ChannelSeconds2Bytes(w->PreviewStream, seconds));
        const QString text = w->lengthedit->text();
        QVERIFY2(text.startsWith(QString::number(seconds)), qPrintable(text));
        // All of it fits in the box: nothing scrolled out of view.
        QVERIFY(w->lengthedit->fontMetrics().horizontalAdvance(text) <=
                w->lengthedit->contentsRect().width() - 8);
        QVERIFY(w->lengthedit->toolTip().startsWith(QString::number(seconds) + " sec"));
        QCOMPARE(w->lengthedit->toolTip().contains("iPhone"), over);
        QCOMPARE(w->lengthedit->property("overLimit").toBool(), over);
        QCOMPARE(w->lengthedit->palette().color(QPalette::Text) != QColor(70, 52, 19), over);
        // A new song starts plain.
        nextFile = Song(12);
        w->btnselectClick();
        QVERIFY(w->WaitForOpening());
        QCOMPARE(w->lengthedit->property("overLimit").toBool(), false);
    }
};

int main(int argc, char** argv) {
    return RunWindowTests<ExportWindowTest>(argc, argv);
}

#include "export_window_test.moc"
