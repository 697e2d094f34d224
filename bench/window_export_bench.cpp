// window_export_bench: the window's export (its button, with the window's events running
// between blocks) against the same export job driven as the command line drives it, in one
// process, on the same song and span (60 s to 90 s, 5 s fades). Prints a Markdown table of the
// medians.

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "job.h"
#include "mainwindow.h"

namespace {

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: window_export_bench SONG [RUNS]\n");
        return 2;
    }
    const QString song = QString::fromLocal8Bit(argv[1]);
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 15;
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    QApplication app(argc, argv);
    chime::Tfrmmain window;
    if (!window.FormCreate()) return 1;
    window.OpenNamed(song);
    window.WaitForOpening();
    if (window.PreviewStream == 0) {
        std::fprintf(stderr, "window_export_bench: cannot open %s\n", argv[1]);
        return 1;
    }
    window.selection.SetSelectionStart(BASS_ChannelSeconds2Bytes(window.PreviewStream, 60));
    window.selection.SetSelectionEnd(BASS_ChannelSeconds2Bytes(window.PreviewStream, 90));
    window.fadeincheck->setChecked(true);
    window.fadeoutcheck->setChecked(true);
    const QString output = home.filePath("window.m4r");
    window.outedit->setText(output);

    std::vector<double> byWindow, byJob;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer clock;
        clock.start();
        window.btnconvertClick();
        byWindow.push_back(clock.nsecsElapsed() / 1e9);

        chime::ExportRequest request;
        request.input = song.toStdString();
        request.output = home.filePath("job.m4r").toStdString();
        request.startSeconds = 60;
        request.endSeconds = 90;
        request.effects = window.EffectControls();
        clock.restart();
        chime::ExportJob job(request);
        if (job.Start()) {
            while (job.Step(50)) {
            }
        }
        byJob.push_back(clock.nsecsElapsed() / 1e9);
        if (job.GetState() != chime::ExportJob::State::Done) {
            std::fprintf(stderr, "window_export_bench: %s\n", job.Message().c_str());
            return 1;
        }
    }
    if (!QFileInfo::exists(output)) {
        std::fprintf(stderr, "window_export_bench: the window wrote no file\n");
        return 1;
    }
    std::printf("| In one process | Median |\n| --- | --- |\n");
    std::printf("| The window's export (its button, events between blocks) | %.3f s |\n",
                Median(byWindow));
    std::printf("| The same job driven as the command line drives it | %.3f s |\n", Median(byJob));
    return 0;
}
